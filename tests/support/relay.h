// A relay on 127.0.0.1 in front of a real server, doing what a man in the
// middle or a bad line does to the stream, and noting every line the client
// sent before any TLS.
//
//   Relay relay(servers->pop3Port, Relay::StripTls);
//   settings::Pop3Server = relay.address();
//   …
//   EXPECT_FALSE(relay.clientSent("PASS"));
//
//   Relay line(servers->pop3Port);
//   line.afterServerBytes(200, Relay::Fault::Cut);
//
// StripTls deletes "STLS" from a POP3 CAPA reply and "STARTTLS" from an EHLO
// reply; OfferAuth also adds "AUTH PLAIN LOGIN" to the EHLO reply, as one
// harvesting passwords would. Without a mode it passes everything on, TLS
// included. A fault cuts the connection, falls silent or passes the server's
// bytes one at a time. It listens on port 0 and serves every connection at
// once, in a thread of its own.
#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

namespace testsupport {

class Relay {
public:
  enum Mode { PassThrough = 0, StripTls = 1, OfferAuth = 2 };
  enum class Fault {
    None,    // pass everything
    Cut,     // close both connections
    Silent,  // keep the connections open and pass nothing more from the server
    Trickle, // pass the server's bytes one at a time, `trickleMs` apart
  };

  explicit Relay(int upstreamPort, int mode = PassThrough);
  ~Relay();
  Relay(const Relay &) = delete;
  Relay &operator=(const Relay &) = delete;

  void setMode(int mode) { mode_ = mode; }
  quint16 port() const;
  // "127.0.0.1:<port>", as a server setting.
  QString address() const { return QStringLiteral("127.0.0.1:%1").arg(port()); }

  // The fault starts once this many more bytes of the server have passed to
  // the program (counted over every connection from now on).
  void afterServerBytes(qint64 bytes, Fault fault);
  void setTrickleMs(int ms) { trickleMs_ = ms; }

  // The server refuses the deletion of these messages: the relay turns
  // "DELE n" into "DELE 0", which the server answers "-ERR". Only in the
  // clear (with StripTls against a server that offers STLS).
  void refuseDeletes(const QList<int> &numbers);

  // The lines the client sent in the clear, in order, over every connection.
  QStringList clientLines() const;
  // Whether one of them began with `command` (case-insensitive).
  bool clientSent(const QString &command) const;
  // Connections the program opened through the relay so far.
  int connections() const { return connections_.load(); }

private:
  class Worker;
  friend class Worker;
  std::atomic<int> mode_;
  std::atomic<int> trickleMs_{1000};
  std::atomic<int> connections_{0};
  std::atomic<qint64> budget_{-1}; // server bytes before the fault; -1: no fault
  std::atomic<int> fault_{0};
  std::unique_ptr<Worker> worker_;
};

} // namespace testsupport
