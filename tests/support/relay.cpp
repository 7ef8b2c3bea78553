#include "tests/support/relay.h"

#include <QMutexLocker>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

int connectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(quint16(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
    return fd;
  if (fd >= 0)
    ::close(fd);
  return -1;
}

bool sendAll(int fd, const QByteArray &data) {
  qsizetype off = 0;
  while (off < data.size()) {
    const ssize_t n = ::send(fd, data.constData() + off, size_t(data.size() - off), MSG_NOSIGNAL);
    if (n <= 0)
      return false;
    off += n;
  }
  return true;
}

} // namespace

Relay::Relay(int upstreamPort, int mode) : upstreamPort_(upstreamPort), mode_(mode) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 4) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
    return;
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { serve(listenFd_); });
}

Relay::~Relay() {
  stop_ = true;
  if (thread_.joinable())
    thread_.join();
  if (listenFd_ >= 0)
    ::close(listenFd_);
}

QStringList Relay::clientLines() const {
  QMutexLocker lock(&mutex_);
  return lines_;
}

bool Relay::clientSent(const QString &command) const {
  for (const QString &line : clientLines())
    if (line.startsWith(command, Qt::CaseInsensitive))
      return true;
  return false;
}

void Relay::serve(int listenFd) {
  while (!stop_) {
    pollfd p{listenFd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0)
      continue;
    const int client = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
      continue;
    ++connections_;
    relayOne(client);
    ::close(client);
  }
}

void Relay::relayOne(int client) {
  const int server = connectTo(upstreamPort_);
  if (server < 0)
    return;
  bool raw = false; // after STLS / STARTTLS: bytes pass untouched
  QByteArray fromClient, fromServer;
  char buf[16384];
  while (!stop_) {
    pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    if (::poll(fds, 2, 50) <= 0)
      continue;
    bool closed = false;
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t n = ::recv(client, buf, sizeof buf, 0);
      if (n <= 0) {
        closed = true;
      } else {
        const QByteArray data(buf, n);
        bool startsTls = false;
        if (!raw)
          noteClientLines(fromClient, data, &startsTls);
        raw = raw || startsTls;
        closed = !sendAll(server, data);
      }
    }
    if (!closed && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      const ssize_t n = ::recv(server, buf, sizeof buf, 0);
      if (n <= 0) {
        closed = true;
      } else {
        const QByteArray data(buf, n);
        closed = !sendAll(client, raw ? data : filterServerLines(fromServer, data));
      }
    }
    if (closed)
      break;
  }
  ::close(server);
}

void Relay::noteClientLines(QByteArray &pending, const QByteArray &data, bool *startsTls) {
  pending += data;
  qsizetype nl;
  while ((nl = pending.indexOf('\n')) >= 0) {
    const QByteArray line = pending.left(nl).trimmed();
    pending.remove(0, nl + 1);
    const QByteArray upper = line.toUpper();
    if (upper == "STLS" || upper == "STARTTLS")
      *startsTls = true;
    QMutexLocker lock(&mutex_);
    lines_ << QString::fromUtf8(line);
    lastCommand_ = upper;
  }
}

QByteArray Relay::filterServerLines(QByteArray &pending, const QByteArray &data) {
  pending += data;
  const int mode = mode_;
  QByteArray out;
  qsizetype nl;
  while ((nl = pending.indexOf('\n')) >= 0) {
    QByteArray line = pending.left(nl + 1);
    pending.remove(0, nl + 1);
    const QByteArray bare = line.trimmed().toUpper();
    QByteArray command;
    {
      QMutexLocker lock(&mutex_);
      command = lastCommand_;
    }
    const bool ehloReply = command.startsWith("EHLO") && bare.startsWith("250");
    if (mode & StripTls) {
      if (bare == "STLS" || bare == "250-STARTTLS")
        continue;
      if (bare == "250 STARTTLS")
        line = "250 8BITMIME\r\n";
    }
    if ((mode & OfferAuth) && ehloReply && bare.size() > 3 && bare.at(3) == ' ')
      out += "250-AUTH PLAIN LOGIN\r\n";
    out += line;
  }
  return out;
}

} // namespace testsupport
