// A blocking, line-oriented client connection over QSslSocket, shared by the
// POP3 and SMTP clients.
//
// Every wait (connect, TLS handshake, each reply line, each write) has its
// own deadline of networkTimeoutMs(); the waits use QSslSocket's waitFor* calls
// on the transport's own thread (transportthread.h), reads and writes in
// short slices so that a closed connection or an interruption ends them at
// once. Once a wait
// failed the connection counts as broken: the reply stream can no longer be
// trusted, and every later call fails at once with the same text.
#pragma once

#include "mail/net/endpoint.h"
#include "mail/net/nmail.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QLoggingCategory>
#include <QSslError>
#include <QSslSocket>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace nmail {

// Protocol traces (passwords masked); off unless enabled with
// QT_LOGGING_RULES="korvex.transport.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcTransport)

// Why a certificate the handshake refused cannot be trusted by the user's
// word (the reasons, joined), or empty when its one fault is an issuer
// nobody vouches for.
QString untrustableReason(const QList<QSslError> &errors);

// What one multi-line reply may bring, whatever the server announced for
// it: past `keepBytes` nothing more is handed over (the reply is read on,
// and its size, returned at its end, tells that it was cut); past
// `readBytes`, or when `deadline` passes, the connection is given up with
// `tooLong` or `tooSlow` as its error. -1: no such limit.
struct ReplyLimits {
  qint64 keepBytes = -1;
  qint64 readBytes = -1;
  QDeadlineTimer deadline{QDeadlineTimer::Forever};
  QString tooLong;
  QString tooSlow;
};

class LineConnection {
public:
  // The longest single reply line accepted; multi-line replies (a message)
  // may hold lines of any length.
  static constexpr qsizetype MaxReplyLine = 64 * 1024;
  // The largest multi-line reply held in memory, so a hostile server cannot
  // make the program swallow all memory. A reply handed to a sink has no
  // limit but its lines: each is held whole until it ends.
  static constexpr qsizetype MaxMultiLine = 256 * 1024 * 1024;

  LineConnection();
  ~LineConnection();
  LineConnection(const LineConnection &) = delete;
  LineConnection &operator=(const LineConnection &) = delete;

  // TCP, plus the TLS handshake for an endpoint with TLS from the first byte.
  bool open(const Endpoint &endpoint);
  // STLS / STARTTLS: the handshake on the open connection.
  bool startTls();

  bool writeLine(const QByteArray &line); // CR LF appended
  bool writeData(const QByteArray &data);
  // One reply line without its line break (LF alone is accepted too).
  std::optional<QByteArray> readLine();
  // The lines up to the terminating "." line, dot-unstuffed, each ending in
  // CR LF, as POP3 multi-line replies and SMTP DATA carry them.
  std::optional<QByteArray> readMultiLine(const ReplyLimits &limits = {});
  // The same reply handed to `sink` in pieces of about SinkPiece bytes as it
  // arrives, so that a large one is never held whole: its size, or nothing.
  std::optional<qint64> readMultiLine(const std::function<void(const QByteArray &)> &sink,
                                      const ReplyLimits &limits = {});
  static constexpr qsizetype SinkPiece = 1024 * 1024;
  // What the socket takes from the kernel ahead of the reader.
  static constexpr qint64 ReadBufferBytes = 512 * 1024;

  // Closes without a goodbye (the server keeps its state as on a dropped line).
  void abort();
  // From now on the connection's waits also end at stopReceiving(): the
  // user's 中止 of a receive.
  void followStops() { followsStops_ = true; }
  bool isEncrypted() const;
  // Our end of the connection as an SMTP address literal, e.g. "[127.0.0.1]".
  QByteArray localAddressLiteral() const;
  bool isBroken() const { return broken_; }
  const Endpoint &endpoint() const { return endpoint_; }
  // Japanese text of the last failure.
  QString errorText() const { return error_; }
  // The certificate the last handshake refused, if one was refused.
  const std::optional<ServerCertificate> &rejectedCertificate() const { return rejected_; }
  // Marks the connection broken with the given text (a protocol violation
  // seen by the client).
  void fail(const QString &text);

private:
  // More bytes before `lineDeadline` (the end of the time the line in hand
  // may take) and, when `limits` are given, before their deadline (past it
  // the connection fails with their text).
  bool waitForData(const QDeadlineTimer &lineDeadline, const ReplyLimits *limits = nullptr);
  // Whether the waits are to end now: the window is closing, or the user
  // stopped the receive this connection belongs to.
  bool stopped() const;
  // Runs `wait` (a waitFor… call taking milliseconds) in short slices until
  // it succeeds, the connection ends, the deadline passes or the waits are
  // interrupted; false for the last three.
  bool waitSliced(const std::function<bool(int)> &wait, const QDeadlineTimer &deadline);
  bool handshake();
  // The reply into `out`; with a sink, `out` is handed over and emptied
  // whenever it holds SinkPiece bytes. The size of the whole reply.
  std::optional<qint64> readMultiLineInto(QByteArray &out,
                                          const std::function<void(const QByteArray &)> *sink,
                                          const ReplyLimits &limits);
  void failFromSocket(const QString &during);
  void rejectCertificate(const QSslCertificate &cert, bool changed);

  std::unique_ptr<QSslSocket> socket_;
  Endpoint endpoint_;
  QByteArray buffer_;
  qsizetype scanned_ = 0; // bytes of buffer_ already searched for a line break
  bool broken_ = false;
  bool timedOut_ = false;        // the last sliced wait ran out of time
  bool interruptedWait_ = false; // the last sliced wait was interrupted
  bool followsStops_ = false;
  unsigned stopsAtOpen_ = 0; // stopReceiving() calls made before open()
  QString error_;
  QString certificateProblem_; // set by the sslErrors handler
  std::optional<ServerCertificate> rejected_;
};

} // namespace nmail
