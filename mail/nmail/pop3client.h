// A blocking POP3 client: one object is one session with one server.
#pragma once

#include "mail/nmail/lineconnection.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <optional>

namespace nmail {

class Pop3Client {
public:
  // TCP (+ TLS from the first byte), the greeting, and STLS when the server
  // offers it. False with errorText() on any failure.
  bool connectTo(const Endpoint &endpoint);
  // USER/PASS, or APOP with the greeting's timestamp; then STAT.
  // The number of messages, or nothing on failure.
  std::optional<int> authenticate(const QString &user, const QString &password, bool apop);
  // TOP n 0: the header block.
  std::optional<QByteArray> header(int number);
  // LIST n: the size in octets.
  std::optional<qint64> size(int number);
  // UIDL n: the server's unique id of the message, or nothing when the
  // server has no UIDL (optional in POP3) or does not list the message.
  std::optional<QByteArray> uniqueId(int number);
  // RETR n: the whole message, dot-unstuffed, CR LF line ends.
  std::optional<QByteArray> retrieve(int number);
  // DELE n. Refused for a message that was not retrieved whole in this
  // session: deleting what the program never stored would lose it.
  bool remove(int number);
  // DELE n for a message the program stored in an earlier session that
  // ended before QUIT: only when the server's unique id of n is `uid`.
  bool removeStored(int number, const QByteArray &uid);
  // QUIT: the server applies the deletions now. Without it (a dropped line)
  // every mail stays on the server.
  bool quit();
  // Ends the session without QUIT: nothing is deleted on the server.
  void abort() { conn_.abort(); }

  QString errorText() const { return error_; }
  const std::optional<ServerCertificate> &rejectedCertificate() const {
    return conn_.rejectedCertificate();
  }
  const QByteArray &greeting() const { return greeting_; }
  bool isAuthenticated() const { return authenticated_; }
  bool isEncrypted() const { return conn_.isEncrypted(); }

private:
  // One command, one "+OK"/"-ERR" line. The +OK text, or nothing (error set).
  std::optional<QByteArray> command(const QByteArray &line, const QString &what,
                                    bool secret = false);
  bool checkNumber(int number);
  void setError(const QString &text) { error_ = text; }
  QString serverSaid(const QByteArray &reply) const;

  LineConnection conn_;
  QByteArray greeting_;
  bool authenticated_ = false;
  int count_ = 0;
  QSet<int> retrieved_;
  QSet<int> deleted_;
  // Sizes of the whole maildrop from one LIST: the receive routine asks for
  // every size twice, and one round trip for all beats two per mail.
  std::optional<QHash<int, qint64>> sizes_;
  // Unique ids of the whole maildrop from one UIDL; empty when unsupported.
  std::optional<QHash<int, QByteArray>> uids_;
  QString error_;
};

} // namespace nmail
