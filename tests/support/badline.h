// A relay between the program and a real server, for the faults of a bad
// line: it passes every byte both ways until told to cut the connection, to
// fall silent or to pass the server's bytes one at a time. It listens on
// 127.0.0.1 port 0 and runs in a thread of its own.
//
//   BadLine relay(servers->pop3Port);
//   relay.afterServerBytes(200, BadLine::Fault::Cut);
//   settings::Pop3Server = relay.server();
#pragma once

#include <QString>

#include <atomic>
#include <memory>

namespace testsupport {

class BadLine {
public:
  enum class Fault {
    None,    // pass everything
    Cut,     // close both connections
    Silent,  // keep the connections open and pass nothing more from the server
    Trickle, // pass the server's bytes one at a time, `trickleMs` apart
  };

  explicit BadLine(int upstreamPort);
  ~BadLine();
  BadLine(const BadLine &) = delete;
  BadLine &operator=(const BadLine &) = delete;

  quint16 port() const;
  // "127.0.0.1:<port>", as a server setting.
  QString server() const;

  // The fault starts once this many more bytes of the server have passed to
  // the program (counted over every connection from now on).
  void afterServerBytes(qint64 bytes, Fault fault);
  void setTrickleMs(int ms) { trickleMs_ = ms; }

  // Connections the program opened through the relay so far.
  int connections() const { return connections_.load(); }

private:
  class Worker;
  friend class Worker;
  std::atomic<int> trickleMs_{1000};
  std::atomic<int> connections_{0};
  std::atomic<qint64> budget_{-1}; // server bytes before the fault; -1: no fault
  std::atomic<int> fault_{0};
  std::unique_ptr<Worker> worker_;
};

} // namespace testsupport
