#include "mail/net/pop3client.h"

#include <algorithm>
#include <utility>

namespace nmail {

namespace {

QString shown(const QByteArray &reply) {
  // The server's own words, kept short enough for a message box.
  QString text = QString::fromUtf8(reply).trimmed();
  if (text.size() > 300)
    text = text.left(300) + QStringLiteral("…");
  return text;
}

} // namespace

QString Pop3Client::serverSaid(const QByteArray &reply) const {
  return QStringLiteral("（サーバーの応答: %1）").arg(shown(reply));
}

std::optional<QByteArray> Pop3Client::exchange(const QByteArray &line, const QByteArray &logged) {
  // The replies of the RETR commands sent ahead come first.
  if (!readInFlight()) {
    setError(conn_.errorText());
    return std::nullopt;
  }
  qCDebug(lcTransport).noquote() << "POP3 C:" << logged;
  if (!conn_.writeLine(line)) {
    setError(conn_.errorText());
    return std::nullopt;
  }
  const auto reply = conn_.readLine();
  if (!reply) {
    setError(conn_.errorText());
    return std::nullopt;
  }
  qCDebug(lcTransport).noquote() << "POP3 S:" << *reply;
  return reply;
}

std::optional<QByteArray> Pop3Client::command(const QByteArray &line, const QString &what,
                                              bool secret) {
  const auto reply =
      exchange(line, secret ? line.left(line.indexOf(' ')) + " ********" : line);
  if (!reply)
    return std::nullopt;
  if (reply->startsWith("+OK"))
    return reply->mid(3).trimmed();
  if (reply->startsWith("-ERR")) {
    setError(QStringLiteral("%1に失敗しました。%2").arg(what, serverSaid(*reply)));
    return std::nullopt;
  }
  // Neither +OK nor -ERR: what follows can no longer be matched to our
  // commands, so the session is over.
  conn_.fail(QStringLiteral("サーバー %1 の応答が POP3 の形式ではありません%2。")
                 .arg(conn_.endpoint().label(), serverSaid(*reply)));
  setError(conn_.errorText());
  return std::nullopt;
}

bool Pop3Client::connectTo(const Endpoint &endpoint) {
  authenticated_ = false;
  count_ = 0;
  retrieved_.clear();
  handedOut_.clear();
  deleted_.clear();
  pendingDeletes_.clear();
  held_.clear();
  inFlight_.clear();
  pipelining_.reset();
  sizes_.reset();
  uids_.reset();
  greeting_.clear();
  offeredTls_ = false;
  plaintextRefusal_.reset();
  // A POP3 session belongs to a receive, which the user may stop.
  conn_.followStops();
  if (!conn_.open(endpoint)) {
    setError(conn_.errorText());
    return false;
  }
  const auto greeting = conn_.readLine();
  if (!greeting) {
    setError(conn_.errorText());
    conn_.abort();
    return false;
  }
  qCDebug(lcTransport).noquote() << "POP3 S:" << *greeting;
  if (!greeting->startsWith("+OK")) {
    setError(QStringLiteral("サーバー %1 は POP3 の接続を受け付けませんでした%2。")
                 .arg(endpoint.label(), serverSaid(*greeting)));
    conn_.abort();
    return false;
  }
  greeting_ = *greeting;
  if (conn_.isEncrypted())
    return true;

  // STLS is offered through CAPA; a server without CAPA answers -ERR and
  // the session stays as it is.
  const auto caps = capabilities();
  if (!caps) {
    conn_.abort();
    return false;
  }
  const bool offersStls = caps->contains("STLS");
  // What an unencrypted session offers is known now; after STLS it is
  // asked again when it matters (what came before may have been altered).
  if (!offersStls)
    pipelining_ = caps->contains("PIPELINING");
  error_.clear();
  offeredTls_ = offersStls;
  if (!offersStls && endpoint.tokenLogin) {
    // An access token opens the mailbox like a password; it goes over TLS
    // or not at all, and there is nothing to agree to.
    setError(QStringLiteral("サーバー %1 が暗号化（STLS）に対応していないため、接続をやめました。"
                            "OAuth 2.0 のアクセストークンは暗号化した接続でしか送りません。")
                 .arg(endpoint.label()));
    conn_.abort();
    return false;
  }
  if (!offersStls && !endpoint.pinnedSha256.isEmpty()) {
    // A pinned certificate says this server speaks TLS; a server that now
    // offers none may be someone in between, and the password would go out
    // in clear.
    setError(QStringLiteral("サーバー %1 が暗号化（STLS）に対応していないため、接続をやめました"
                            "（このサーバーの証明書を信頼すると記録してあります）。")
                 .arg(endpoint.label()));
    plaintextRefusal_ = PlaintextRefusal{endpoint.host, endpoint.port, true};
    conn_.abort();
    return false;
  }
  if (!offersStls && refuseClearPassword()) {
    conn_.abort();
    return false;
  }
  if (offersStls) {
    if (!command("STLS", QStringLiteral("暗号化（STLS）の開始")) || !conn_.startTls()) {
      if (error_.isEmpty() || conn_.isBroken())
        setError(conn_.errorText());
      conn_.abort();
      return false;
    }
  }
  return true;
}


bool Pop3Client::checkNumber(int number) {
  if (!authenticated_) {
    setError(QStringLiteral("サーバーにまだログインしていません。"));
    return false;
  }
  if (number < 1 || number > count_) {
    setError(QStringLiteral("メール番号 %1 はありません（サーバーにあるのは %2 通です）。")
                 .arg(number)
                 .arg(count_));
    return false;
  }
  return true;
}

std::optional<QByteArray> Pop3Client::header(int number) {
  if (!readInFlight(number))
    return std::nullopt;
  if (const auto it = held_.constFind(number); it != held_.constEnd()) {
    const QByteArray &whole = *it;
    const qsizetype end = whole.indexOf("\r\n\r\n");
    return end >= 0 ? whole.left(end + 4) : whole;
  }
  if (!checkNumber(number))
    return std::nullopt;
  const QByteArray n = QByteArray::number(number);
  if (!deleted_.contains(number)) {
    const auto octets = size(number);
    if (!octets && conn_.isBroken())
      return std::nullopt;
    if (octets && *octets <= WholeForHeader) {
      bool whole = false;
      auto message = fetchHeld(number, HeldBytes, &whole);
      if (!message)
        return std::nullopt;
      const qsizetype end = message->indexOf("\r\n\r\n");
      QByteArray block = end >= 0 ? message->left(end + 4) : *message;
      if (whole)
        held_.insert(number, std::move(*message));
      return block;
    }
  }
  if (command("TOP " + n + " 0", QStringLiteral("メール %1 のヘッダーの受信").arg(number)))
    return readBlock();
  if (conn_.isBroken())
    return std::nullopt;
  // TOP is optional in POP3: take the header from the message.
  bool whole = false;
  const auto message = fetchHeld(number, HeldBytes, &whole);
  if (!message)
    return std::nullopt;
  const qsizetype end = message->indexOf("\r\n\r\n");
  return end >= 0 ? message->left(end + 4) : *message;
}

std::optional<QList<QByteArray>> Pop3Client::capabilities() {
  if (!command("CAPA", QStringLiteral("CAPA")))
    return conn_.isBroken() ? std::nullopt : std::optional<QList<QByteArray>>(QList<QByteArray>());
  const auto caps = readBlock();
  if (!caps)
    return std::nullopt;
  QList<QByteArray> out;
  for (const QByteArray &cap : caps->split('\n'))
    out.append(cap.trimmed().toUpper());
  return out;
}

std::optional<QByteArray> Pop3Client::readBlock() {
  // However steadily its lines come, a listing must end: within four network
  // timeouts and 40 ms for every message of the maildrop (a UIDL line each,
  // at 2 KB a second).
  ReplyLimits limits;
  const qint64 ms = 4LL * networkTimeoutMs() + 40LL * count_;
  limits.deadline = QDeadlineTimer(ms);
  limits.tooSlow =
      QStringLiteral("サーバー %1 の応答が %2 秒以内に終わらなかったため、接続を切りました。")
          .arg(conn_.endpoint().label())
          .arg((ms + 999) / 1000);
  auto block = conn_.readMultiLine(limits);
  if (!block)
    setError(conn_.errorText());
  return block;
}

std::optional<qint64> Pop3Client::listedSize(int number) {
  if (sizes_)
    if (const auto it = sizes_->constFind(number); it != sizes_->constEnd())
      return *it;
  const QString error = error_;
  const auto octets = size(number);
  if (!octets && conn_.isBroken()) {
    setError(conn_.errorText());
    return std::nullopt;
  }
  error_ = error;
  return octets.value_or(0);
}

ReplyLimits Pop3Client::mailLimits(int number, qint64 listed) const {
  ReplyLimits limits;
  limits.keepBytes = keepBudget(listed);
  limits.readBytes = 2 * limits.keepBytes;
  const qint64 ms = 4LL * networkTimeoutMs() + listed * 1000 / SlowestBytesPerSecond;
  limits.deadline = QDeadlineTimer(ms);
  limits.tooLong = cutText(number, listed, true);
  limits.tooSlow =
      QStringLiteral("サーバー %1 からのメール %2 の受信が %3 秒以内に終わらなかったため、"
                     "受信をやめて接続を切りました。このメールはサーバーに残してあります。")
          .arg(conn_.endpoint().label())
          .arg(number)
          .arg((ms + 999) / 1000);
  return limits;
}

QString Pop3Client::cutText(int number, qint64 listed, bool disconnected) const {
  return QStringLiteral("サーバー %1 がメール %2 を、知らせた大きさ（%3 バイト）よりはるかに大きく"
                        "送ってきたため、%4。このメールはサーバーに残してあります。")
      .arg(conn_.endpoint().label())
      .arg(number)
      .arg(listed)
      .arg(disconnected ? QStringLiteral("受信をやめて接続を切りました")
                        : QStringLiteral("受信しませんでした"));
}

std::optional<qint64> Pop3Client::readMail(int number, qint64 listed,
                                           const std::function<void(const QByteArray &)> &sink) {
  const ReplyLimits limits = mailLimits(number, listed);
  const auto size = conn_.readMultiLine(sink, limits);
  if (!size) {
    setError(conn_.errorText());
    if (error_ == limits.tooLong || error_ == limits.tooSlow)
      beyondListing_ = number;
    return std::nullopt;
  }
  if (*size > limits.keepBytes) {
    beyondListing_ = number;
    // Read to its end, so the session is still in step; what was handed
    // over is not the whole mail.
    setError(cutText(number, listed, false));
    return std::nullopt;
  }
  return size;
}

std::optional<QByteArray> Pop3Client::readHeld(int number, qint64 listed, qint64 cap, bool *whole) {
  QByteArray message;
  qint64 total = 0;
  const auto size = readMail(number, listed, [&](const QByteArray &piece) {
    if (message.size() < cap)
      message.append(piece.left(cap - message.size()));
    total += piece.size();
  });
  if (!size)
    return std::nullopt;
  *whole = total <= cap;
  return message;
}

std::optional<qint64> Pop3Client::sendRetr(int number) {
  const auto listed = listedSize(number);
  if (!listed || !command("RETR " + QByteArray::number(number),
                          QStringLiteral("メール %1 の受信").arg(number)))
    return std::nullopt;
  return listed;
}

std::optional<QByteArray> Pop3Client::fetchHeld(int number, qint64 cap, bool *whole) {
  const auto listed = sendRetr(number);
  return listed ? readHeld(number, *listed, cap, whole) : std::nullopt;
}

std::optional<qint64> Pop3Client::fetchInto(int number,
                                            const std::function<void(const QByteArray &)> &sink) {
  const auto listed = sendRetr(number);
  return listed ? readMail(number, *listed, sink) : std::nullopt;
}

std::optional<qint64> Pop3Client::size(int number) {
  if (!checkNumber(number))
    return std::nullopt;
  if (deleted_.contains(number)) {
    setError(QStringLiteral("メール %1 は削除済みです。").arg(number));
    return std::nullopt;
  }
  if (!sizes_) {
    sizes_.emplace();
    if (command("LIST", QStringLiteral("メールの大きさの確認"))) {
      const auto listing = readBlock();
      if (!listing)
        return std::nullopt;
      for (const QByteArray &line : listing->split('\n')) {
        const QList<QByteArray> f = line.trimmed().split(' ');
        bool okN = false, okS = false;
        const int n = f.value(0).toInt(&okN);
        const qint64 octets = f.value(1).toLongLong(&okS);
        if (okN && okS && octets >= 0)
          sizes_->insert(n, octets);
      }
    } else if (conn_.isBroken()) {
      return std::nullopt;
    }
  }
  if (const auto it = sizes_->constFind(number); it != sizes_->constEnd())
    return *it;

  const auto reply = command("LIST " + QByteArray::number(number),
                             QStringLiteral("メール %1 の大きさの確認").arg(number));
  if (!reply)
    return std::nullopt;
  bool ok = false;
  const qint64 octets = reply->split(' ').value(1).toLongLong(&ok);
  if (!ok || octets < 0) {
    setError(QStringLiteral("メール %1 の大きさ（LIST）の応答が読めません%2。")
                 .arg(number)
                 .arg(serverSaid(*reply)));
    return std::nullopt;
  }
  return octets;
}

std::optional<QByteArray> Pop3Client::uniqueId(int number) {
  if (!checkNumber(number))
    return std::nullopt;
  if (!uids_) {
    uids_.emplace();
    if (command("UIDL", QStringLiteral("メールの識別子の確認（UIDL）"))) {
      const auto listing = readBlock();
      if (!listing)
        return std::nullopt;
      for (const QByteArray &line : listing->split('\n')) {
        const QList<QByteArray> f = line.trimmed().split(' ');
        bool ok = false;
        const int n = f.value(0).toInt(&ok);
        const QByteArray uid = f.value(1);
        // 1 to 70 printable characters; anything else is no id to go by.
        bool printable = ok && f.size() == 2 && !uid.isEmpty() && uid.size() <= 70;
        for (const char c : uid)
          printable = printable && c > 0x20 && c < 0x7f;
        if (printable)
          uids_->insert(n, uid);
      }
    } else if (conn_.isBroken()) {
      return std::nullopt;
    }
  }
  const auto it = uids_->constFind(number);
  if (it == uids_->constEnd()) {
    setError(
        QStringLiteral("サーバーはメール %1 の識別子（UIDL）を返しませんでした。").arg(number));
    return std::nullopt;
  }
  return *it;
}

std::optional<QByteArray> Pop3Client::retrieve(int number) {
  if (!checkNumber(number))
    return std::nullopt;
  if (!readInFlight(number)) {
    setError(conn_.errorText());
    return std::nullopt;
  }
  if (auto held = takeHeld(number)) {
    retrieved_.insert(number);
    return held;
  }
  bool whole = false;
  auto message = fetchHeld(number, LineConnection::MaxMultiLine, &whole);
  if (message && !whole) {
    setError(QStringLiteral(
                 "サーバー %1 から届いたメール %2 はメモリーに収まらないため、受信しませんでした"
                 "（%3 MB 以上）。")
                 .arg(conn_.endpoint().label())
                 .arg(number)
                 .arg(LineConnection::MaxMultiLine / (1024 * 1024)));
    return std::nullopt;
  }
  if (message)
    retrieved_.insert(number);
  return message;
}

qint64 Pop3Client::heldBytes() const {
  qint64 bytes = 0;
  for (const QByteArray &whole : held_)
    bytes += whole.size();
  for (const auto &sent : inFlight_)
    bytes += sent.second;
  return bytes;
}

bool Pop3Client::pipelining() {
  if (!pipelining_) {
    const auto caps = capabilities();
    if (!caps)
      return false;
    pipelining_ = caps->contains("PIPELINING");
  }
  return *pipelining_;
}

bool Pop3Client::readInFlight(int number) {
  const auto sent = [&](int n) {
    return std::any_of(inFlight_.cbegin(), inFlight_.cend(),
                       [n](const auto &s) { return s.first == n; });
  };
  if (number != 0 && !sent(number))
    return !conn_.isBroken();
  while (!inFlight_.isEmpty()) {
    const auto [n, listed] = inFlight_.takeFirst();
    const auto reply = conn_.readLine();
    if (!reply) {
      inFlight_.clear();
      return false;
    }
    qCDebug(lcTransport).noquote() << "POP3 S:" << *reply;
    if (reply->startsWith("+OK")) {
      // A message far larger than LIST said (a server that lies about its
      // sizes) is read to its end but not held: asked for, it is fetched
      // again into its file, and meets its budget there.
      const QString error = error_;
      bool whole = false;
      auto message = readHeld(n, listed, HeldBytes, &whole);
      if (!message && conn_.isBroken()) {
        inFlight_.clear();
        return false;
      }
      error_ = error;
      if (message && whole)
        held_.insert(n, std::move(*message));
    } else if (!reply->startsWith("-ERR")) {
      // Neither +OK nor -ERR: the replies can no longer be matched to the
      // commands, so the session is over.
      conn_.fail(QStringLiteral("サーバー %1 の応答が POP3 の形式ではありません%2。")
                     .arg(conn_.endpoint().label(), serverSaid(*reply)));
      inFlight_.clear();
      return false;
    }
    // A refused RETR holds nothing: the call that asks for the message
    // sends it again and meets the refusal itself.
    if (n == number)
      break;
  }
  return true;
}

void Pop3Client::prefetch(int number) {
  if (!authenticated_ || number < 1 || number > count_ || conn_.isBroken())
    return;
  const QString error = error_;
  // The program has moved on to `number`: what is held of the messages
  // before it (stored before, only to be deleted) is not asked for.
  for (auto it = held_.begin(); it != held_.end();)
    it = it.key() < number ? held_.erase(it) : std::next(it);
  auto wanted = [&](int n) {
    if (deleted_.contains(n) || retrieved_.contains(n) || handedOut_.contains(n) ||
        held_.contains(n) || skipped_.contains(n) ||
        std::any_of(inFlight_.cbegin(), inFlight_.cend(),
                    [n](const auto &s) { return s.first == n; }))
      return std::optional<qint64>();
    const auto octets = size(n);
    return octets && *octets <= WholeForHeader ? octets : std::nullopt;
  };
  if (!pipelining()) {
    bool whole = false;
    if (!holds(number) && wanted(number))
      if (auto message = fetchHeld(number, HeldBytes, &whole); message && whole)
        held_.insert(number, std::move(*message));
    error_ = error;
    return;
  }
  // The window ahead: what is held or under way from `number` on, topped up
  // with the RETR commands of the small messages that follow, in one write,
  // once half of it has been taken (a write waits until it is sent: one for
  // every few mails, not one for each). The message asked for itself is
  // always sent for.
  // The batch counts as under way only once it is written: a size asked
  // for meanwhile (LIST n, where the whole listing was refused) must not
  // wait for the replies of commands not yet sent.
  QByteArray batch;
  QList<std::pair<int, qint64>> batched;
  qint64 bytes = heldBytes();
  int ahead = int(held_.size() + inFlight_.size());
  const bool topUp = ahead <= AheadMails / 2 || wanted(number).has_value();
  for (int n = number; topUp && n <= count_ && n < number + 2 * AheadMails &&
                       ahead < AheadMails && bytes < AheadBytes && !conn_.isBroken();
       ++n) {
    const auto octets = wanted(n);
    if (!octets)
      continue;
    batch += "RETR " + QByteArray::number(n) + "\r\n";
    batched.append({n, *octets});
    bytes += *octets;
    ++ahead;
  }
  if (!batch.isEmpty()) {
    qCDebug(lcTransport).noquote() << "POP3 C:" << batch.trimmed().replace("\r\n", " / ");
    if (conn_.writeData(batch))
      inFlight_ += batched;
    else
      inFlight_.clear();
  }
  readInFlight(number);
  error_ = error;
}

std::optional<qint64>
Pop3Client::retrieve(int number, const std::function<void(const QByteArray &)> &sink) {
  if (!checkNumber(number))
    return std::nullopt;
  if (!readInFlight(number)) {
    setError(conn_.errorText());
    return std::nullopt;
  }
  if (holds(number)) {
    const auto message = retrieve(number);
    sink(*message);
    return message->size();
  }
  const auto size = fetchInto(number, sink);
  if (size)
    retrieved_.insert(number);
  return size;
}

std::optional<qint64>
Pop3Client::retrieveAhead(int number, const std::function<void(const QByteArray &)> &sink) {
  if (holds(number) || !authenticated_ || number < 1 || number > count_ ||
      deleted_.contains(number) || retrieved_.contains(number) || skipped_.contains(number) ||
      conn_.isBroken())
    return std::nullopt;
  const QString error = error_;
  std::optional<qint64> size;
  const auto octets = this->size(number);
  if (octets && *octets > WholeForHeader)
    size = fetchInto(number, sink);
  error_ = error;
  return size;
}

bool Pop3Client::remove(int number) {
  if (!checkNumber(number))
    return false;
  if (!retrieved_.contains(number)) {
    setError(QStringLiteral("メール %1 は受信できていないため、サーバーから削除しませんでした。")
                 .arg(number));
    return false;
  }
  if (conn_.isBroken()) {
    setError(conn_.errorText());
    return false;
  }
  if (!deleted_.contains(number)) {
    deleted_.insert(number);
    pendingDeletes_.append(number);
  }
  return true;
}

bool Pop3Client::sendDeletes() {
  const QList<int> numbers = std::exchange(pendingDeletes_, {});
  bool pipelining = false;
  if (numbers.size() > 1) {
    const auto caps = capabilities();
    if (!caps)
      return false;
    pipelining = caps->contains("PIPELINING");
  }
  // The replies of the RETR commands still under way come before the DELEs'.
  if (!readInFlight() || conn_.isBroken())
    return false;
  if (!pipelining) {
    // A DELE the server refuses leaves that mail on the server; the others
    // still go.
    for (const int n : numbers) {
      if (command("DELE " + QByteArray::number(n), QStringLiteral("メール %1 の削除").arg(n)))
        accepted_.insert(n);
      else if (conn_.isBroken())
        return false;
    }
    return true;
  }
  QByteArray batch;
  for (const int n : numbers)
    batch += "DELE " + QByteArray::number(n) + "\r\n";
  qCDebug(lcTransport).noquote() << "POP3 C: DELE ×" << numbers.size();
  if (!conn_.writeData(batch)) {
    setError(conn_.errorText());
    return false;
  }
  for (const int n : numbers) {
    const auto reply = conn_.readLine();
    if (!reply) {
      setError(conn_.errorText());
      return false;
    }
    if (!reply->startsWith("+OK") && !reply->startsWith("-ERR")) {
      conn_.fail(QStringLiteral("サーバー %1 の応答が POP3 の形式ではありません%2。")
                     .arg(conn_.endpoint().label(), serverSaid(*reply)));
      setError(conn_.errorText());
      return false;
    }
    if (reply->startsWith("-ERR"))
      setError(QStringLiteral("メール %1 の削除に失敗しました。%2").arg(n).arg(serverSaid(*reply)));
    else
      accepted_.insert(n);
  }
  return true;
}

bool Pop3Client::removeStored(int number, const QByteArray &uid) {
  const auto current = uniqueId(number);
  if (!current)
    return false;
  if (uid.isEmpty() || *current != uid) {
    setError(QStringLiteral("メール %1 の識別子が記録と違うため、サーバーから削除しませんでした。")
                 .arg(number));
    return false;
  }
  retrieved_.insert(number); // stored before: as safe to delete as one fetched now
  return remove(number);
}

bool Pop3Client::quit() {
  held_.clear();
  if (!conn_.isBroken() && !pendingDeletes_.isEmpty())
    sendDeletes();
  if (conn_.isBroken()) {
    setError(conn_.errorText() + QStringLiteral("サーバー上のメールは削除されずに残っています。"));
    conn_.abort();
    return false;
  }
  const bool ok = command("QUIT", QStringLiteral("接続の終了（QUIT）")).has_value();
  conn_.abort();
  if (ok)
    confirmed_ = accepted_;
  return ok;
}

} // namespace nmail
