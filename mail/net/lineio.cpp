// Writing and reading over an open LineConnection: data in slices, single
// reply lines and dot-terminated multi-line replies, each against its deadline.
#include "mail/net/lineconnection.h"

#include "mail/net/nmail.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <cstring>

namespace nmail {

bool LineConnection::writeData(const QByteArray &data) {
  if (broken_ || !socket_)
    return false;
  // Written in slices so that a large message never sits twice in memory
  // inside the socket and each slice's wait has its own deadline.
  constexpr qsizetype Slice = 256 * 1024;
  for (qsizetype off = 0; off < data.size(); off += Slice) {
    const qsizetype n = std::min(Slice, data.size() - off);
    if (socket_->write(data.constData() + off, n) != n) {
      failFromSocket(QStringLiteral("送信中"));
      return false;
    }
    while (socket_->bytesToWrite() > 0) {
      if (!waitSliced([this](int ms) { return socket_->waitForBytesWritten(ms); },
                      QDeadlineTimer(networkTimeoutMs()))) {
        failFromSocket(QStringLiteral("送信中"));
        return false;
      }
    }
  }
  return true;
}

bool LineConnection::writeLine(const QByteArray &line) {
  return writeData(line + "\r\n");
}

bool LineConnection::waitForData(const QDeadlineTimer &lineDeadline, const ReplyLimits *limits) {
  if (broken_ || !socket_)
    return false;
  // Asked before every read, not only when a wait begins: a server that
  // sends without a pause never lets the reader wait.
  if (stopped()) {
    interruptedWait_ = true;
    failFromSocket(QStringLiteral("受信中"));
    return false;
  }
  const bool replyDue = limits && limits->deadline < lineDeadline;
  if (replyDue && limits->deadline.hasExpired()) {
    fail(limits->tooSlow);
    return false;
  }
  if (socket_->bytesAvailable() == 0 &&
      !waitSliced([this](int ms) { return socket_->waitForReadyRead(ms); },
                  replyDue ? limits->deadline : lineDeadline)) {
    if (replyDue && timedOut_)
      fail(limits->tooSlow);
    else
      failFromSocket(QStringLiteral("受信中"));
    return false;
  }
  buffer_ += socket_->readAll();
  return true;
}

std::optional<QByteArray> LineConnection::readLine() {
  if (broken_)
    return std::nullopt;
  // The whole line within the time limit: a server that sends a byte now
  // and then must not hold the check for ever.
  const QDeadlineTimer lineDeadline(networkTimeoutMs());
  for (;;) {
    const qsizetype nl = buffer_.indexOf('\n', scanned_);
    if (nl >= 0) {
      QByteArray line = buffer_.left(nl);
      buffer_.remove(0, nl + 1);
      scanned_ = 0;
      if (line.endsWith('\r'))
        line.chop(1);
      return line;
    }
    scanned_ = buffer_.size();
    if (buffer_.size() > MaxReplyLine) {
      fail(QStringLiteral("サーバー %1 の応答の行が長すぎます（%2 バイト以上）。")
               .arg(endpoint_.label())
               .arg(MaxReplyLine));
      return std::nullopt;
    }
    if (!waitForData(lineDeadline))
      return std::nullopt;
  }
}

std::optional<QByteArray> LineConnection::readMultiLine(const ReplyLimits &limits) {
  QByteArray out;
  if (!readMultiLineInto(out, nullptr, limits))
    return std::nullopt;
  return out;
}

std::optional<qint64>
LineConnection::readMultiLine(const std::function<void(const QByteArray &)> &sink,
                              const ReplyLimits &limits) {
  QByteArray out;
  return readMultiLineInto(out, &sink, limits);
}

std::optional<qint64>
LineConnection::readMultiLineInto(QByteArray &out,
                                  const std::function<void(const QByteArray &)> *sink,
                                  const ReplyLimits &limits) {
  if (broken_)
    return std::nullopt;
  qint64 handedOver = 0;     // bytes already given to the sink, or dropped past keepBytes
  qsizetype pos = 0;         // start of the current line in buffer_
  qsizetype scan = scanned_; // where the search for its end goes on
  // Lines that end in CR LF and do not begin with a dot go into `out` as
  // they are: they are gathered here (from `kept` up to `pos`) and copied
  // together, instead of one line at a time.
  qsizetype kept = 0;
  auto keep = [&] {
    out.append(buffer_.constData() + kept, pos - kept);
    kept = pos;
  };
  auto handOver = [&] {
    if (limits.keepBytes < 0 || handedOver + out.size() <= limits.keepBytes)
      (*sink)(out);
    handedOver += out.size();
    out.resize(0); // keeps its capacity for the next piece
  };
  // Each line within the time limit, as for a single reply line.
  QDeadlineTimer lineDeadline(networkTimeoutMs());
  for (;;) {
    const char *data = buffer_.constData();
    const qsizetype size = buffer_.size();
    bool lineEnded = false;
    for (;;) {
      const void *found = scan < size ? std::memchr(data + scan, '\n', size_t(size - scan)) : nullptr;
      if (!found)
        break;
      const qsizetype nl = static_cast<const char *>(found) - data;
      lineEnded = true;
      const bool crlf = nl > pos && data[nl - 1] == '\r';
      const qsizetype len = (crlf ? nl - 1 : nl) - pos;
      if (crlf && !(len > 0 && data[pos] == '.')) {
        pos = scan = nl + 1; // as it is: gathered
        continue;
      }
      keep();
      const char *line = data + pos;
      pos = scan = kept = nl + 1;
      if (len == 1 && line[0] == '.') {
        buffer_.remove(0, pos);
        scanned_ = 0;
        if (sink && !out.isEmpty())
          handOver();
        return handedOver + out.size();
      }
      // A line that began with a dot was sent with one more in front; a line
      // that ended in LF alone ends in CR LF here.
      if (len > 0 && line[0] == '.')
        out.append(line + 1, len - 1);
      else
        out.append(line, len);
      out.append("\r\n", 2);
    }
    keep();
    if (lineEnded)
      lineDeadline.setRemainingTime(networkTimeoutMs());
    if (sink && out.size() >= SinkPiece)
      handOver();
    // Keep only the unfinished line; what was read is in `out` already.
    buffer_.remove(0, pos);
    scan = buffer_.size();
    pos = kept = 0;
    // Only what is held in memory is limited: a reply handed to a sink
    // (a mail written into its file) may be as large as the disk allows,
    // but a line without end is held whole until it ends.
    const qint64 held = sink ? buffer_.size() : handedOver + out.size() + buffer_.size();
    if (held > MaxMultiLine) {
      fail(QStringLiteral("サーバー %1 から届いたデータが大きすぎます（%2 MB 以上）。")
               .arg(endpoint_.label())
               .arg(MaxMultiLine / (1024 * 1024)));
      return std::nullopt;
    }
    if (limits.readBytes >= 0 && handedOver + out.size() + buffer_.size() > limits.readBytes) {
      fail(limits.tooLong);
      return std::nullopt;
    }
    if (!waitForData(lineDeadline, &limits))
      return std::nullopt;
  }
}

} // namespace nmail
