// The real mail servers of tests/servers/mailservers.sh, as a test sees them.
//
// A test registered with korvex_test(... SERVERS) runs after the CTest
// fixture started Dovecot and Postfix; the script wrote the ports and
// accounts to $KORVEX_SERVERS_DIR/env. MailServers reads that file and offers
// typed access plus the maildir helpers (seed, clear, count, wait).
//
//   auto servers = testsupport::MailServers::load();
//   ASSERT_TRUE(servers) << testsupport::MailServers::loadError();
//   servers->clear("alice");
//   servers->seed("alice", rawMessage);
//   nmail::NMailPop3Connect(servers->pop3Server());
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace testsupport {

struct MailUser {
  QString name; // POP3 user ID and SASL login
  QString password;
  QString address; // name@DOMAIN: Postfix delivers it into this user's maildir
};

class MailServers {
public:
  // The servers of $KORVEX_SERVERS_DIR, or nothing (loadError() says why).
  static std::optional<MailServers> load();
  static QString loadError();

  QString dir;            // KORVEX_SERVERS_DIR
  QString host;           // always 127.0.0.1
  int pop3Port = 0;       // USER/PASS, APOP, STLS
  int pop3sPort = 0;      // TLS from the first byte
  int smtpPort = 0;       // no auth, no TLS
  int submissionPort = 0; // STARTTLS required, then AUTH PLAIN/LOGIN
  int smtpsPort = 0;      // TLS from the first byte, then AUTH PLAIN/LOGIN
  QString caCert;         // the servers' self-signed certificate (PEM)
  QString certSha256;     // SHA-256 of that certificate (DER), lower-case hex
  QString domain;         // mail to <user>@domain is delivered locally
  QString maildirRoot;    // <maildirRoot>/<user>/Maildir
  QString script;         // tests/servers/mailservers.sh
  QList<MailUser> users;
  // popa3d: one system user whose mailbox is an mbox.
  int popa3dPort = 0;
  MailUser popa3dUser;
  QString popa3dMbox; // /var/mail/<user>

  // The server settings as a user would type them: "127.0.0.1:port", and
  // "pop3s://127.0.0.1:port" for TLS from the first byte on a free port.
  QString pop3Server() const;
  QString pop3sServer() const;
  QString smtpServer() const;
  QString submissionServer() const;
  QString smtpsServer() const; // "smtps://127.0.0.1:port"
  QString popa3dServer() const; // "127.0.0.1:port", plain POP3

  // Replaces popa3d's mailbox with these messages, in this order (an mbox:
  // "From " lines between them, body lines starting "From " quoted).
  bool setPopa3dMailbox(const QList<QByteArray> &messages) const;
  // Messages in popa3d's mailbox now.
  int popa3dMessageCount() const;

  MailUser user(const QString &name) const; // empty when unknown

  // Drops one raw message into the user's maildir (as the server would have
  // stored it: LF or CR LF line ends both work). False when the script failed.
  bool seed(const QString &user, const QByteArray &message) const;
  // Many at once, listed by the server in this order.
  bool seed(const QString &user, const QList<QByteArray> &messages) const;
  // Empties the user's maildir.
  bool clear(const QString &user) const;
  // Messages in the user's maildir now (new and cur).
  int messageCount(const QString &user) const;
  // The raw messages in the user's maildir, oldest first.
  QList<QByteArray> messages(const QString &user) const;
  // Waits (at most timeoutMs) until the maildir holds at least `count`
  // messages: Postfix delivers a little after the SMTP session ended.
  bool waitForMessages(const QString &user, int count, int timeoutMs = 15000) const;

private:
  bool runScript(const QStringList &args) const;
  QString maildir(const QString &user) const;
};

} // namespace testsupport
