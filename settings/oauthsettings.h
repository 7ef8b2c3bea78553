// How the account signs in: the password (iniIdPass.ini, as ever), OAuth 2.0
// in the browser, or a token command. The OAuth settings live in a file of
// their own in the data folder (oauth.ini), so iniIdPass.ini keeps its three
// keys and the Windows program still reads the folder; the refresh token of
// the browser sign-in has a file of its own (0600).
//
// The providers' endpoints, scopes and client ids come from the presets file
// shipped beside the program (oauth-presets.ini); the account's own values
// (the client id a user registered, or a whole provider of their own) come
// first.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

namespace settings::oauth {

enum class Method { Password, Browser, Command };

struct Provider {
  QString key;  // the preset's section name; "custom" for the user's own
  QString name; // as the account dialog lists it
  QString authorizationUrl;
  QString tokenUrl;
  QString scope; // space-separated
  QString clientId;
  QString clientSecret; // some providers want one even for installed programs
};

struct AccountSettings {
  Method method = Method::Password;
  QString preset; // Provider::key
  // Empty: the preset's value.
  QString clientId;
  QString clientSecret;
  QString authorizationUrl;
  QString tokenUrl;
  QString scope;
  // The token command: a program and its arguments (an argument with blanks
  // in double quotes), run without a shell, whose first line of standard
  // output is the access token.
  QString command;
};

QString settingsPath();     // ★MAilData/oauth.ini
QString refreshTokenPath(); // ★MAilData/oauth-refresh-token
QString presetsPath();      // oauth-presets.ini beside the program

AccountSettings load();
bool save(const AccountSettings &account);
// The account signs in with a token (in the browser or by command).
bool signsInWithToken();

// The presets of the file beside the program, in its order, then "custom".
QList<Provider> presets();
// The account's provider: its preset with the account's own values over it.
Provider provider(const AccountSettings &account);
// Why the provider cannot be used for a sign-in, or empty. Tokens go to an
// endpoint over https only (http only on this machine's loopback).
QString providerProblem(const Provider &provider);

// The refresh token is kept with the token endpoint and client id it was
// issued for, and only ever sent back there.
struct StoredRefreshToken {
  QString tokenUrl;
  QString clientId;
  QByteArray token;
};
std::optional<StoredRefreshToken> readRefreshToken();
bool writeRefreshToken(const StoredRefreshToken &stored);
bool removeRefreshToken();

} // namespace settings::oauth
