// A blocking POP3 client: one object is one session with one server.
#pragma once

#include "mail/net/lineconnection.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <algorithm>
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
  // AUTH OAUTHBEARER (or XOAUTH2) with an OAuth 2.0 access token, when the
  // server's CAPA lists it under SASL; only over TLS. Then STAT.
  std::optional<int> authenticateWithToken(const QString &user, const QByteArray &token);
  // Connects again to the server of the last connectTo() (the session went
  // idle too long before its login, e.g. while the user signed in).
  bool reconnect() {
    const Endpoint endpoint = conn_.endpoint();
    abort();
    return connectTo(endpoint);
  }
  // The last authenticateWithToken() failed because the server refused the
  // token itself; the session is still open for another try.
  bool tokenRefused() const { return tokenRefused_; }
  // The header block. A mail up to WholeForHeader octets comes whole with
  // RETR and is kept for the retrieve() of the same number that follows, so
  // the two calls cost one round trip; a larger one takes TOP n 0.
  std::optional<QByteArray> header(int number);
  static constexpr qint64 WholeForHeader = 256 * 1024;
  // LIST n: the size in octets.
  std::optional<qint64> size(int number);
  // UIDL n: the server's unique id of the message, or nothing when the
  // server has no UIDL (optional in POP3) or does not list the message.
  std::optional<QByteArray> uniqueId(int number);
  // RETR n: the whole message, dot-unstuffed, CR LF line ends.
  std::optional<QByteArray> retrieve(int number);
  // Fetches message `number` ahead while the program stores the one before:
  // one up to WholeForHeader octets comes whole with RETR and is kept for the
  // header() or retrieve() of its number. Nothing happens for a message
  // already fetched, deleted or larger; a failure is left for that later call
  // to meet, and sets no error text now. A server that offers PIPELINING
  // gets the RETR commands of the small messages after it as well, up to
  // AheadMails of them and AheadBytes in all, so that their replies are
  // under way while the program stores: each message then costs no round
  // trip of its own. Their replies are read as their messages are asked for,
  // and before any other command.
  void prefetch(int number);
  static constexpr int AheadMails = 16;
  static constexpr qint64 AheadBytes = 1024 * 1024;
  // What LIST says is a hint the server gives: a reply held in memory
  // (fetched ahead, or brought whole with its header) that grows past this
  // is read to its end and dropped, whatever was listed, and the message is
  // fetched again into its file when it is asked for. Holding costs at most
  // this much a message.
  static constexpr qint64 HeldBytes = 2 * WholeForHeader;
  // The budget of a message's reply against the size LIST gave it (0 when
  // the server listed none). A server counting LF line ends where it sends
  // CR LF, or adding a header as it sends, comes well within four times
  // the listed size or 16 MB over it; past that the message is dropped and
  // stays on the server, and its fetch fails. The rest of the reply is read
  // and thrown away up to twice that budget, so that the session goes on
  // with the next message; a reply longer still ends the session without
  // QUIT. The whole reply may take 4 network timeouts (2 minutes) and a
  // second for every 2 KB listed: a line slower than that (dial-up comes
  // at 5 KB/s and more) is not the mail's, and an endless trickle of lines,
  // each within the timeout, ends.
  static qint64 keepBudget(qint64 listed) {
    return std::max(4 * listed, listed + 16 * 1024 * 1024);
  }
  static constexpr qint64 SlowestBytesPerSecond = 2 * 1024;
  // RETR n as above, handed to `sink` in pieces as it arrives instead of
  // being held whole (the reply of a large mail). Its size, or nothing.
  std::optional<qint64> retrieve(int number, const std::function<void(const QByteArray &)> &sink);
  // RETR n ahead of the call that asks for it, into `sink` as above, for a
  // message larger than WholeForHeader that is not yet fetched or deleted:
  // nothing is done for another one. The message counts as fetched (and may
  // be deleted) only once claim(n) hands it over. A failure sets no error
  // text now; the later call meets it.
  std::optional<qint64> retrieveAhead(int number,
                                      const std::function<void(const QByteArray &)> &sink);
  void claim(int number) { retrieved_.insert(number); }
  // Messages the program will not ask for (left on the server, or only to
  // be deleted): never fetched ahead.
  void skip(const QSet<int> &numbers) { skipped_ = numbers; }
  bool skipped(int number) const { return skipped_.contains(number); }
  // Whether header() or prefetch() brought message n whole: retrieve(n)
  // then costs nothing.
  bool holds(int number) const { return held_.contains(number); }
  // Takes the message prefetch() brought whole for `number` out of the
  // client; it does not count as fetched until claim(number), and prefetch()
  // does not fetch it again meanwhile.
  std::optional<QByteArray> takeHeld(int number) {
    const auto it = held_.find(number);
    if (it == held_.end())
      return std::nullopt;
    QByteArray whole = std::move(*it);
    held_.erase(it);
    handedOut_.insert(number);
    return whole;
  }
  // Holds a message takeHeld() gave out again (its taker could not keep it).
  void putBack(int number, QByteArray whole) {
    handedOut_.remove(number);
    held_.insert(number, std::move(whole));
  }
  // DELE n, queued: a server deletes only at QUIT, so the DELE commands go
  // out just before it, all at once when the server offers PIPELINING.
  // Refused for a message that was not retrieved whole in this session:
  // deleting what the program never stored would lose it.
  bool remove(int number);
  // DELE n for a message the program stored in an earlier session that
  // ended before QUIT: only when the server's unique id of n is `uid`.
  bool removeStored(int number, const QByteArray &uid);
  // The queued DELE commands, then QUIT: the server applies the deletions
  // now. Without it (a dropped line) every mail stays on the server.
  bool quit();
  // The messages the server deleted: their DELE was accepted and the QUIT
  // that applies it answered. Empty until quit() succeeded.
  const QSet<int> &deletedAtQuit() const { return confirmed_; }
  // Ends the session without QUIT: nothing is deleted on the server.
  void abort() {
    pendingDeletes_.clear();
    held_.clear();
    inFlight_.clear();
    conn_.abort();
  }

  QString errorText() const { return error_; }
  // The message whose last reply went past its budget (see keepBudget), or 0.
  int beyondListing() const { return beyondListing_; }
  // The number of messages STAT gave at login.
  int messageCount() const { return count_; }
  bool isBroken() const { return conn_.isBroken(); }
  const std::optional<ServerCertificate> &rejectedCertificate() const {
    return conn_.rejectedCertificate();
  }
  const QByteArray &greeting() const { return greeting_; }
  bool isAuthenticated() const { return authenticated_; }
  bool isEncrypted() const { return conn_.isEncrypted(); }
  // The server offered STLS in the last connectTo().
  bool offeredTls() const { return offeredTls_; }
  // Set when connectTo() stopped because the password would go out
  // unencrypted.
  const std::optional<PlaintextRefusal> &plaintextRefusal() const { return plaintextRefusal_; }

private:
  // CAPA's lines, trimmed and in capitals: none from a server without CAPA,
  // nothing (the error set) when the connection broke.
  std::optional<QList<QByteArray>> capabilities();
  // A multi-line reply (a listing, CAPA, a header), or nothing with the
  // connection's error set.
  std::optional<QByteArray> readBlock();
  // RETR of `number` (the listed size, or nothing with the error set),
  // and its reply within its budget (see keepBudget): handed to `sink` in
  // pieces (its size returned), or held in memory up to `cap` bytes (the
  // reply, or its first `cap` bytes with `whole` false: the rest was read
  // and dropped). Nothing, with the error set, when the fetch failed.
  std::optional<qint64> sendRetr(int number);
  std::optional<qint64> fetchInto(int number, const std::function<void(const QByteArray &)> &sink);
  std::optional<QByteArray> fetchHeld(int number, qint64 cap, bool *whole);
  // The same for the reply of a RETR sent already.
  std::optional<qint64> readMail(int number, qint64 listed,
                                 const std::function<void(const QByteArray &)> &sink);
  std::optional<QByteArray> readHeld(int number, qint64 listed, qint64 cap, bool *whole);
  ReplyLimits mailLimits(int number, qint64 listed) const;
  // Why a reply past its budget was not kept: read to its end, or the
  // connection given up.
  QString cutText(int number, qint64 listed, bool disconnected) const;
  // The size LIST gave `number`, 0 when it gave none; nothing, with the
  // error set, when asking broke the connection.
  std::optional<qint64> listedSize(int number);
  // One command, one "+OK"/"-ERR" line. The +OK text, or nothing (error set).
  // Sends one line (logged as `logged`) and reads the reply line; nothing,
  // with the error set, when the connection failed.
  std::optional<QByteArray> exchange(const QByteArray &line, const QByteArray &logged);
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
  QSet<int> handedOut_; // taken out by takeHeld(), not yet claimed
  QSet<int> deleted_;
  QSet<int> skipped_;
  QList<int> pendingDeletes_;
  QSet<int> accepted_;  // DELE answered +OK
  QSet<int> confirmed_; // accepted_, once QUIT was answered
  bool sendDeletes();
  // Messages fetched whole ahead (by header() or prefetch()), for the
  // retrieve() of their numbers.
  QHash<int, QByteArray> held_;
  // Messages whose RETR went out ahead and whose reply is still to be read,
  // in the order they were sent, with the size LIST gave.
  QList<std::pair<int, qint64>> inFlight_;
  // Whether the server offers PIPELINING (asked once per login).
  std::optional<bool> pipelining_;
  bool pipelining();
  // Reads the replies of the RETR commands sent ahead, up to and including
  // that of `number` (all of them with 0). False when the connection broke.
  bool readInFlight(int number = 0);
  qint64 heldBytes() const;
  // Sizes of the whole maildrop from one LIST: the receive routine asks for
  // every size twice, and one round trip for all beats two per mail.
  std::optional<QHash<int, qint64>> sizes_;
  // Unique ids of the whole maildrop from one UIDL; empty when unsupported.
  std::optional<QHash<int, QByteArray>> uids_;
  QString error_;
  int beyondListing_ = 0;
  bool offeredTls_ = false;
  std::optional<PlaintextRefusal> plaintextRefusal_;
  // Neither logged in already nor broken; otherwise false with the error set.
  bool readyForLogin();
  // Unencrypted and not agreed: USER, PASS and APOP stay unsent.
  bool refuseClearPassword();
  // The session's count after a successful login.
  std::optional<int> statAfterLogin();
  bool tokenRefused_ = false;
};

} // namespace nmail
