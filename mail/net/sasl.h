// SASL XOAUTH2 and OAUTHBEARER (RFC 7628): the client's response that carries
// an OAuth 2.0 access token, and the server's JSON error challenge read for
// the user. Shared by the POP3 and SMTP clients.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

namespace nmail::sasl {

enum class TokenMechanism { OAuthBearer, XOAuth2 };

// The mechanism to use from those a server offers (upper-case names):
// OAUTHBEARER, the standard one, before XOAUTH2; nothing when neither.
std::optional<TokenMechanism> pickTokenMechanism(const QStringList &offered);
QByteArray mechanismName(TokenMechanism mechanism);

// Whether `token` may go into a SASL response as it is: the characters of a
// bearer token (RFC 6750 b64token), so that no separator can be slipped in.
bool isBearerToken(const QByteArray &token);

// The initial client response, before base64. OAUTHBEARER carries the
// server's host and port as RFC 7628 asks; XOAUTH2 is Google's older form.
QByteArray tokenResponse(TokenMechanism mechanism, const QByteArray &user, const QByteArray &token,
                         const QString &host, quint16 port);

// What the client answers to the error challenge before the server gives its
// final reply: %x01 for OAUTHBEARER ("AQ==" in base64), an empty line for
// XOAUTH2.
QByteArray errorChallengeAnswer(TokenMechanism mechanism);

// The server's base64 JSON error challenge ({"status":"invalid_token",…}),
// told in Japanese; empty when it holds no JSON status.
QString tokenRefusalText(const QByteArray &base64Challenge);

// The one wording of a refused token login, for the POP3 and the SMTP
// server alike: `server` is "POP3" or "SMTP".
QString tokenLoginFailedText(const QString &server, TokenMechanism mechanism);

} // namespace nmail::sasl
