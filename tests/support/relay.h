// A man in the middle on loopback: a relay in front of a real server that
// does what an attacker on the network (or an old server) does, and notes
// every line the client sent before any TLS.
//
//   Relay relay(servers->pop3Port, Relay::StripTls);
//   settings::Pop3Server = relay.address();
//   …
//   EXPECT_FALSE(relay.clientSent("PASS"));
//
// StripTls deletes "STLS" from a POP3 CAPA reply and "STARTTLS" from an EHLO
// reply; OfferAuth also adds "AUTH PLAIN LOGIN" to the EHLO reply, as one
// harvesting passwords would. Without a mode it passes everything on, TLS
// included. Connections are served one after the other in a thread.
#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <atomic>
#include <thread>

namespace testsupport {

class Relay {
public:
  enum Mode { PassThrough = 0, StripTls = 1, OfferAuth = 2 };

  explicit Relay(int upstreamPort, int mode = PassThrough);
  ~Relay();
  Relay(const Relay &) = delete;
  Relay &operator=(const Relay &) = delete;

  void setMode(int mode) { mode_ = mode; }
  quint16 port() const { return port_; }
  QString address() const { return QStringLiteral("127.0.0.1:%1").arg(port_); }

  // The lines the client sent in the clear, in order, over every connection.
  QStringList clientLines() const;
  // Whether one of them began with `command` (case-insensitive).
  bool clientSent(const QString &command) const;
  int connections() const { return connections_; }

private:
  void serve(int listenFd);
  void relayOne(int client);
  void noteClientLines(QByteArray &pending, const QByteArray &data, bool *startsTls);
  QByteArray filterServerLines(QByteArray &pending, const QByteArray &data);

  int upstreamPort_;
  std::atomic<int> mode_;
  quint16 port_ = 0;
  int listenFd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
  mutable QMutex mutex_;
  QStringList lines_;
  QByteArray lastCommand_;
};

} // namespace testsupport
