// A server on 127.0.0.1 that answers one connection with the fuzz input, all
// at once, then reads what the client sends until it hangs up: the client
// under test reads its replies from a real socket, as it does in use.
#pragma once

#include <QByteArray>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace fuzz {

class LoopbackServer {
public:
  LoopbackServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
        ::listen(listener_, 4) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
      std::abort();
    port_ = ntohs(addr.sin_port);
  }
  quint16 port() const { return port_; }

  // Serves `replies` to the next connection, on a thread of its own.
  void serve(const QByteArray &replies) {
    thread_ = std::thread([this, replies] {
      const int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0)
        return;
      for (qsizetype sent = 0; sent < replies.size();) {
        const ssize_t n =
            ::send(fd, replies.constData() + sent, size_t(replies.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
          break;
        sent += n;
      }
      ::shutdown(fd, SHUT_WR);
      char sink[4096];
      pollfd p{fd, POLLIN, 0};
      while (::poll(&p, 1, 5000) > 0 && ::recv(fd, sink, sizeof sink, 0) > 0) {
      }
      ::close(fd);
    });
  }
  void finish() {
    if (thread_.joinable())
      thread_.join();
  }

private:
  int listener_ = -1;
  quint16 port_ = 0;
  std::thread thread_;
};

} // namespace fuzz
