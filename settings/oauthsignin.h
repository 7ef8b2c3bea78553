// The account's OAuth 2.0 access token: from the token command, or from the
// browser sign-in (authorization code with PKCE, the redirect to a loopback
// listener on 127.0.0.1) and its refresh token. The access token is held in
// memory only and renewed a minute before it expires; neither token is ever
// logged or shown.
//
// Everything runs on the window's thread and waits the way the program waits:
// a local event loop with a deadline, so the window keeps painting.
#pragma once

#include "settings/oauthsettings.h"

#include <QByteArray>
#include <QString>
#include <functional>

class QWidget;

namespace settings::oauth {

struct TokenResult {
  QByteArray token; // empty on failure
  QString error;    // Japanese
};

// The access token for a login. `renew`: the server refused the last one,
// get another. `mayAsk`: somebody clicked (not the scheduled check): when
// only a sign-in in the browser can help, the user is asked for it (and it
// runs while the login waits). Unattended, nothing opens and the failure
// says what to do.
TokenResult accessToken(bool renew, bool mayAsk);

// The sign-in in the browser for the account as saved: opens the provider's
// page through the program's browser seam and calls `done` once, with
// whether the account is signed in and what to tell the user; the tokens are
// kept at once. A second call while one runs ends the first as failed.
void signIn(std::function<void(bool ok, const QString &text)> done);
// The same for `provider` as the account dialog shows it, before anything
// is saved: the tokens wait for adoptSignIn() (the dialog's OK), and
// cancelSignIn() or the next sign-in drops them, so that the account stays
// as it was until the user confirms.
void signInFor(const Provider &provider, std::function<void(bool ok, const QString &text)> done);
// Keeps what the last signInFor() obtained, if anything; false when its
// refresh token could not be saved.
bool adoptSignIn();
// What to tell the user when adoptSignIn() could not save the refresh token.
QString refreshTokenNotSavedText();
bool signInRunning();
// Ends a running sign-in as failed and drops what a finished one obtained
// (the dialog closed).
void cancelSignIn();
// The access token held in memory goes, and so does a refusal remembered
// for the unattended check (the settings changed).
void forgetAccessToken();

// The longest a sign-in in the browser may take, and a token command.
inline constexpr int SignInTimeoutMs = 5 * 60 * 1000;
inline constexpr int CommandTimeoutMs = 30 * 1000;
inline constexpr int RefreshTimeoutMs = 30 * 1000;

} // namespace settings::oauth
