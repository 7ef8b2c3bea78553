// The OAuth 2.0 servers of tests/servers/oauthservers.sh as a test sees them:
// an authorization server, a Dovecot and a Postfix that take access tokens
// only. A test registered with korvex_test(... OAUTH) runs after the CTest
// fixture started them; the script wrote the ports to
// $KORVEX_OAUTH_SERVERS_DIR/env.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>

namespace testsupport {

struct IssuedTokens {
  QByteArray accessToken;
  QByteArray refreshToken;
  int expiresIn = 0;
};

class OAuthServers {
public:
  static std::optional<OAuthServers> load();
  static QString loadError();

  QString dir;
  QString tokenUrl; // the authorization server, "http://127.0.0.1:port"
  QString clientId; // the client id it knows
  int pop3Port = 0; // STLS; Dovecot sees a remote client (SASL only after STLS)
  int pop3sPort = 0;
  int submissionPort = 0; // STARTTLS required, then AUTH OAUTHBEARER/XOAUTH2
  QString certSha256;
  QString domain;
  QString maildirRoot;
  QString script;

  // "127.0.0.1:port#sha256=…": the server setting with its certificate pinned.
  QString pop3Server() const;
  QString pop3sServer() const;
  QString submissionServer() const;
  QString address(const QString &user) const { return user + QLatin1Char('@') + domain; }

  // Tokens for `user` without the browser (the server's test switch); a
  // `length` pads the access token to that many characters.
  std::optional<IssuedTokens> issue(const QString &user, int length = 0) const;
  // The access token expires now on the server; its holder does not know.
  bool expire(const QByteArray &accessToken) const;
  // Revokes an access or refresh token (a refresh token takes its access
  // tokens along).
  bool revoke(const QByteArray &token) const;
  // Lifetime of the access tokens the server issues from now on.
  bool setAccessTokenLifetime(int seconds) const;
  // The server's counters: "requests" holds "authorize",
  // "authorization_code", "refresh_token" and "token_errors".
  QJsonObject state() const;
  int requests(const QString &what) const;

  bool seed(const QString &user, const QByteArray &message) const;
  bool clear(const QString &user) const;
  int messageCount(const QString &user) const;
  bool waitForMessages(const QString &user, int count, int timeoutMs = 15000) const;

  // One form POST to the authorization server: the status and the body.
  std::pair<int, QByteArray> post(const QString &path, const QByteArray &form) const;
};

} // namespace testsupport
