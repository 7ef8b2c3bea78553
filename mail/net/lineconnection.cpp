#include "mail/net/lineconnection.h"

#include "mail/net/nmail.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkProxy>
#include <QSslConfiguration>
#include <QSslError>

#include <QDeadlineTimer>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nmail {

Q_LOGGING_CATEGORY(lcTransport, "korvex.transport", QtWarningMsg)

namespace {

std::atomic<bool> interrupted{false};
// How often stopReceiving() was called: a connection that follows stops is
// stopped once the count differs from the one at its open().
std::atomic<unsigned> receiveStops{0};

// How long one slice of a wait may last: an interruption is noticed within it.
constexpr int WaitSliceMs = 50;

QString seconds(int ms) {
  return QString::number((ms + 999) / 1000);
}

QByteArray sha256Of(const QSslCertificate &cert) {
  return cert.isNull() ? QByteArray()
                       : QCryptographicHash::hash(cert.toDer(), QCryptographicHash::Sha256);
}

QString nameOf(const QSslCertificate &cert, bool issuer) {
  QStringList parts;
  const auto attributes = issuer ? cert.issuerInfoAttributes() : cert.subjectInfoAttributes();
  for (const QByteArray &attribute : attributes) {
    const QStringList values = issuer ? cert.issuerInfo(attribute) : cert.subjectInfo(attribute);
    for (const QString &v : values)
      parts << QString::fromLatin1(attribute) + QLatin1Char('=') + v;
  }
  return parts.join(QStringLiteral(", "));
}

// The addresses of a host name, or nothing when the lookup outlived the
// network timeout. The system resolver has no deadline of its own, so it
// runs in a thread of its own that is left to finish alone on a timeout.
// Not on the pool: a resolver stuck on an unanswering name server (tens of
// seconds, once per retried check) would hold a worker the whole time, keep
// the flushes and the index waiting behind it, and hold the program's end,
// which waits for the pool; a thread of its own is simply left behind.
std::optional<QList<QHostAddress>> resolve(const QString &host,
                                           const std::function<bool()> &stopped) {
  const QHostAddress literal(host);
  if (!literal.isNull())
    return QList<QHostAddress>{literal};
  auto result = std::make_shared<std::promise<QList<QHostAddress>>>();
  auto future = result->get_future();
  std::thread([result, host] {
    const QHostInfo info = QHostInfo::fromName(host);
    result->set_value(info.error() == QHostInfo::NoError ? info.addresses()
                                                         : QList<QHostAddress>());
  }).detach();
  // In slices, so that a stop is noticed while the resolver takes its time.
  const QDeadlineTimer deadline(networkTimeoutMs());
  while (future.wait_for(std::chrono::milliseconds(WaitSliceMs)) != std::future_status::ready) {
    if (stopped() || deadline.hasExpired())
      return std::nullopt;
  }
  return future.get();
}

// The TCP connection to one address: a non-blocking connect awaited in
// slices, so that a stop is noticed within one. (The socket's own
// waitForConnected can't be cut into slices: one that runs out drops the
// attempt.) 0 with the connected descriptor in `fd`; otherwise the error:
// ETIMEDOUT past the deadline, EINTR when stopped.
int connectInSlices(const QHostAddress &address, quint16 port, const QDeadlineTimer &deadline,
                    const std::function<bool()> &stopped, int *fd) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  if (address.protocol() == QAbstractSocket::IPv4Protocol) {
    auto *in = reinterpret_cast<sockaddr_in *>(&storage);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    in->sin_addr.s_addr = htonl(address.toIPv4Address());
    length = sizeof(sockaddr_in);
  } else {
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    std::memcpy(&in6->sin6_addr, &bytes, sizeof bytes);
    bool numeric = false;
    const uint scope = address.scopeId().toUInt(&numeric);
    in6->sin6_scope_id = numeric ? scope : ::if_nametoindex(address.scopeId().toLocal8Bit().constData());
    length = sizeof(sockaddr_in6);
  }
  const int s = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0)
    return errno;
  auto failWith = [s](int error) {
    ::close(s);
    return error;
  };
  if (::connect(s, reinterpret_cast<const sockaddr *>(&storage), length) != 0) {
    if (errno != EINPROGRESS)
      return failWith(errno);
    for (;;) {
      if (stopped())
        return failWith(EINTR);
      pollfd waiting{s, POLLOUT, 0};
      const int slice = int(std::clamp<qint64>(deadline.remainingTime(), 0, WaitSliceMs));
      const int ready = ::poll(&waiting, 1, slice);
      if (ready < 0 && errno != EINTR)
        return failWith(errno);
      if (ready > 0) {
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
          return failWith(errno);
        if (error != 0)
          return failWith(error);
        break;
      }
      if (deadline.hasExpired())
        return failWith(ETIMEDOUT);
    }
  }
  *fd = s;
  return 0;
}

} // namespace

// What keeps the user from trusting the certificate by their word: every
// fault but an issuer nobody vouches for (a self-signed certificate, a
// private authority). A name that is not the server's or an expired
// certificate is a reason to refuse, not a question. Empty when trusting
// it is the user's call.
QString untrustableReason(const QList<QSslError> &errors) {
  QStringList reasons;
  for (const QSslError &e : errors) {
    switch (e.error()) {
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::CertificateUntrusted:
      break;
    default:
      if (!reasons.contains(e.errorString()))
        reasons << e.errorString();
    }
  }
  return errors.isEmpty() ? QStringLiteral("証明書を確認できませんでした")
                          : reasons.join(QStringLiteral("; "));
}

void setWaitsInterrupted(bool value) {
  interrupted.store(value);
}

bool waitsInterrupted() {
  return interrupted.load();
}

void stopReceiving() {
  ++receiveStops;
}

bool LineConnection::stopped() const {
  return interrupted.load() || (followsStops_ && receiveStops.load() != stopsAtOpen_);
}

LineConnection::LineConnection() = default;

LineConnection::~LineConnection() {
  abort();
}

void LineConnection::fail(const QString &text) {
  if (!broken_)
    error_ = text;
  broken_ = true;
}

bool LineConnection::waitSliced(const std::function<bool(int)> &wait,
                                const QDeadlineTimer &deadline) {
  timedOut_ = false;
  for (;;) {
    if (stopped()) {
      interruptedWait_ = true;
      return false;
    }
    const int slice = int(std::clamp<qint64>(deadline.remainingTime(), 0, WaitSliceMs));
    if (wait(slice))
      return true;
    // Anything but a quiet slice (the peer closed, an error) ends the wait
    // with its own reason at once.
    if (socket_->state() != QAbstractSocket::ConnectedState)
      return false;
    if (deadline.hasExpired()) {
      timedOut_ = true;
      return false;
    }
  }
}

void LineConnection::failFromSocket(const QString &during) {
  const QString where = endpoint_.label();
  if (!socket_) {
    fail(QStringLiteral("サーバー %1 との接続がありません。").arg(where));
    return;
  }
  if (interruptedWait_) {
    fail(QStringLiteral("サーバー %1 との通信を中止しました（%2）。").arg(where, during));
    return;
  }
  const auto err = socket_->error();
  if ((timedOut_ || err == QAbstractSocket::SocketTimeoutError) &&
      socket_->state() != QAbstractSocket::UnconnectedState) {
    fail(QStringLiteral("サーバー %1 から %2 秒以内に応答がありませんでした（%3）。")
             .arg(where, seconds(networkTimeoutMs()), during));
  } else if (err == QAbstractSocket::RemoteHostClosedError ||
             socket_->state() == QAbstractSocket::UnconnectedState) {
    fail(QStringLiteral("サーバー %1 との接続が途中で切れました（%2）。").arg(where, during));
  } else {
    fail(QStringLiteral("サーバー %1 との通信に失敗しました（%2: %3）。")
             .arg(where, during, socket_->errorString()));
  }
}

bool LineConnection::open(const Endpoint &endpoint) {
  abort();
  stopsAtOpen_ = receiveStops.load();
  endpoint_ = endpoint;
  rejected_.reset();
  broken_ = false;
  timedOut_ = false;
  interruptedWait_ = false;
  error_.clear();
  buffer_.clear();
  scanned_ = 0;
  const QString where = endpoint_.label();
  if (stopped()) {
    fail(QStringLiteral("サーバー %1 への接続を中止しました。").arg(where));
    return false;
  }
  if (endpoint_.implicitTls && !QSslSocket::supportsSsl()) {
    fail(QStringLiteral("この環境では TLS（SSL）が使えないため、サーバー %1 に接続できません。")
             .arg(where));
    return false;
  }

  socket_ = std::make_unique<QSslSocket>();
  socket_->setProxy(QNetworkProxy::NoProxy);
  // A large mail arrives faster than its pieces reach the disk; the socket
  // holds at most this much of it, the rest waits in the kernel.
  socket_->setReadBufferSize(ReadBufferBytes);
  QObject::connect(socket_.get(), &QSslSocket::sslErrors, socket_.get(),
                   [this](const QList<QSslError> &errors) {
                     QStringList texts;
                     for (const QSslError &e : errors)
                       texts << e.errorString();
                     certificateProblem_ = texts.join(QStringLiteral("; "));
                   });

  const auto isStopped = [this] { return stopped(); };
  const auto addresses = resolve(endpoint_.host, isStopped);
  if (!addresses) {
    fail(QStringLiteral("サーバー %1 の名前を %2 秒以内に引けませんでした。")
             .arg(where, seconds(networkTimeoutMs())));
    return false;
  }
  if (addresses->isEmpty()) {
    fail(QStringLiteral("サーバー %1 が見つかりません。サーバー名を確かめて下さい。").arg(where));
    return false;
  }
  int error = 0;
  for (const QHostAddress &address : *addresses) {
    int fd = -1;
    error = connectInSlices(address, endpoint_.port, QDeadlineTimer(networkTimeoutMs()), isStopped,
                            &fd);
    if (error == 0) {
      if (socket_->setSocketDescriptor(fd, QAbstractSocket::ConnectedState)) {
        // One short command, one reply: don't let Nagle hold a command back
        // waiting for the server's delayed acknowledgement.
        socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        break;
      }
      ::close(fd);
      error = EBADF;
    }
    if (error == EINTR)
      break;
  }
  switch (error) {
  case 0:
    break;
  case EINTR:
    interruptedWait_ = true;
    fail(QStringLiteral("サーバー %1 への接続を中止しました。").arg(where));
    return false;
  case ECONNREFUSED:
    fail(QStringLiteral("サーバー %1 に接続できません（接続を拒否されました）。").arg(where));
    return false;
  case ETIMEDOUT:
    fail(QStringLiteral("サーバー %1 に %2 秒以内に接続できませんでした。")
             .arg(where, seconds(networkTimeoutMs())));
    return false;
  default:
    fail(QStringLiteral("サーバー %1 に接続できません（%2）。")
             .arg(where, QString::fromLocal8Bit(std::strerror(error))));
    return false;
  }
  if (endpoint_.implicitTls)
    return handshake();
  return true;
}

bool LineConnection::startTls() {
  if (broken_ || !socket_)
    return false;
  if (!QSslSocket::supportsSsl()) {
    fail(QStringLiteral(
             "この環境では TLS（SSL）が使えないため、サーバー %1 と暗号化通信ができません。")
             .arg(endpoint_.label()));
    return false;
  }
  // Anything the server sent before the handshake would be plaintext
  // injected into the encrypted session.
  if (!buffer_.isEmpty() || socket_->bytesAvailable() > 0) {
    fail(QStringLiteral("サーバー %1 が暗号化の開始前に余分なデータを送ってきました。")
             .arg(endpoint_.label()));
    return false;
  }
  return handshake();
}

bool LineConnection::handshake() {
  const QString where = endpoint_.label();
  const bool pinned = !endpoint_.pinnedSha256.isEmpty();
  QSslConfiguration conf = socket_->sslConfiguration();
  conf.setProtocol(QSsl::SecureProtocols);
  // A pinned certificate replaces the CA and host name checks; it is
  // compared below, after the handshake.
  conf.setPeerVerifyMode(pinned ? QSslSocket::QueryPeer : QSslSocket::VerifyPeer);
  socket_->setSslConfiguration(conf);
  socket_->setPeerVerifyName(endpoint_.host);
  certificateProblem_.clear();
  socket_->startClientEncryption();
  // In slices, like every other wait: a stop or the window closing is
  // noticed within one, not only at the end of the whole timeout.
  const QDeadlineTimer deadline(networkTimeoutMs());
  if (!waitSliced([this](int ms) { return socket_->waitForEncrypted(ms); }, deadline)) {
    if (interruptedWait_) {
      fail(QStringLiteral("サーバー %1 との暗号化（TLS）の開始を中止しました。").arg(where));
      return false;
    }
    const auto errors = socket_->sslHandshakeErrors();
    if (!errors.isEmpty() || !certificateProblem_.isEmpty()) {
      QSslCertificate cert = socket_->peerCertificate();
      for (const QSslError &e : errors)
        if (cert.isNull() && !e.certificate().isNull())
          cert = e.certificate();
      QString text = QStringLiteral("サーバー %1 の証明書を確認できませんでした（%2）。")
                         .arg(where, certificateProblem_.isEmpty() ? errors.first().errorString()
                                                                   : certificateProblem_);
      if (!cert.isNull()) {
        text +=
            QStringLiteral("この証明書の SHA-256 指紋: %1").arg(fingerprintText(sha256Of(cert)));
        rejectCertificate(cert, false);
        rejected_->refusal = untrustableReason(errors);
      }
      fail(text);
    } else if ((timedOut_ || socket_->error() == QAbstractSocket::SocketTimeoutError) &&
               socket_->state() != QAbstractSocket::UnconnectedState) {
      fail(QStringLiteral("サーバー %1 との暗号化（TLS）の開始が %2 秒以内に終わりませんでした。")
               .arg(where, seconds(networkTimeoutMs())));
    } else {
      fail(QStringLiteral("サーバー %1 と暗号化（TLS）通信を始められませんでした（%2）。")
               .arg(where, socket_->errorString()));
    }
    return false;
  }
  if (pinned) {
    const QSslCertificate cert = socket_->peerCertificate();
    const QByteArray digest = sha256Of(cert);
    if (digest != endpoint_.pinnedSha256) {
      const QString now = cert.isNull() ? QStringLiteral("なし") : fingerprintText(digest);
      if (endpoint_.pinFromSetting) {
        fail(QStringLiteral("サーバー %1 の証明書が設定された指紋と一致しません（この証明書の "
                            "SHA-256 指紋: %2）。")
                 .arg(where, now));
      } else {
        fail(QStringLiteral(
                 "警告：サーバー %1 の証明書が、信頼すると記録した証明書から変わっています。"
                 "第三者が通信に割り込んでいるおそれがあるため、接続をやめました。"
                 "ユーザーIDとパスワードは送っていません。\n"
                 "記録した証明書の SHA-256 指紋: %2\n今回の証明書の SHA-256 指紋: %3")
                 .arg(where, fingerprintText(endpoint_.pinnedSha256), now));
      }
      if (!cert.isNull())
        rejectCertificate(cert, true);
      return false;
    }
  }
  return true;
}

void LineConnection::rejectCertificate(const QSslCertificate &cert, bool changed) {
  ServerCertificate c;
  c.host = endpoint_.host;
  c.port = endpoint_.port;
  c.subject = nameOf(cert, false);
  c.issuer = nameOf(cert, true);
  c.effectiveDate = cert.effectiveDate();
  c.expiryDate = cert.expiryDate();
  c.sha256 = sha256Of(cert);
  c.changed = changed;
  rejected_ = c;
}

bool LineConnection::isEncrypted() const {
  return socket_ && socket_->isEncrypted();
}

QByteArray LineConnection::localAddressLiteral() const {
  if (!socket_)
    return "[127.0.0.1]";
  QHostAddress local = socket_->localAddress();
  bool mapped = false;
  const quint32 v4 = local.toIPv4Address(&mapped);
  if (mapped)
    local = QHostAddress(v4);
  if (local.protocol() == QAbstractSocket::IPv6Protocol)
    return "[IPv6:" + local.toString().toLatin1() + "]";
  return "[" + local.toString().toLatin1() + "]";
}

void LineConnection::abort() {
  if (socket_) {
    socket_->disconnect();
    socket_->abort();
    socket_.reset();
  }
}

} // namespace nmail
