// A blocking SMTP client: one call of send() is one whole session.
#pragma once

#include "mail/net/lineconnection.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace nmail {

struct SmtpEnvelope {
  QByteArray from;      // bare address for MAIL FROM (may be empty: "<>")
  QList<QByteArray> to; // bare addresses for RCPT TO
};

struct SmtpCredentials {
  QString user;
  QString password;
  // Set for an account that signs in with an OAuth 2.0 access token
  // (OAUTHBEARER or XOAUTH2) instead of the password: then nothing goes out
  // without TLS.
  bool useToken = false;
  QByteArray accessToken;
};

class SmtpClient {
public:
  // EHLO (HELO when refused), STARTTLS when offered, AUTH when offered and
  // credentials are given (CRAM-MD5, else PLAIN, else LOGIN; none of them
  // offered: no AUTH, the server decides at MAIL/RCPT), MAIL FROM,
  // RCPT TO for each recipient, DATA (dot-stuffed), QUIT.
  // `message` has CR LF line ends and is not yet dot-stuffed.
  bool send(const Endpoint &endpoint, const SmtpEnvelope &envelope, const QByteArray &message,
            const SmtpCredentials &credentials);
  QString errorText() const { return error_; }
  const std::optional<ServerCertificate> &rejectedCertificate() const {
    return conn_.rejectedCertificate();
  }

  // The server offered STARTTLS in the last send().
  bool offeredTls() const { return offeredTls_; }
  // The last send() failed because the server refused the access token.
  bool tokenRefused() const { return tokenRefused_; }
  // Set when send() stopped because the password would go out unencrypted.
  const std::optional<PlaintextRefusal> &plaintextRefusal() const { return plaintextRefusal_; }

  // Whether an address may go into MAIL FROM / RCPT TO as it is.
  static bool isSafeAddress(const QByteArray &address);
  // The message as DATA carries it: a leading dot doubled, bare CR or LF
  // made CR LF, and the final CR LF "." CR LF.
  static QByteArray dotStuff(const QByteArray &message);

private:
  struct Reply {
    int code = 0;
    QList<QByteArray> lines; // text after the code, one per reply line
  };
  std::optional<Reply> readReply();
  std::optional<Reply> command(const QByteArray &line, bool secret = false);
  bool expect(const std::optional<Reply> &reply, int wantedClass, const QString &what);
  bool hello();
  bool authenticate(const SmtpCredentials &credentials);
  bool authenticateWithToken(const QStringList &offered, const SmtpCredentials &credentials);
  void quitQuietly();
  QString serverSaid(const Reply &reply) const;

  LineConnection conn_;
  QStringList extensions_; // EHLO lines, upper-case
  QString authNote_;       // AUTH was offered in mechanisms we don't speak
  QString error_;
  bool offeredTls_ = false;
  bool tokenRefused_ = false;
  std::optional<PlaintextRefusal> plaintextRefusal_;
};

} // namespace nmail
