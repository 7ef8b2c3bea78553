#include "tests/support/relay.h"

#include <QHostAddress>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

namespace testsupport {

namespace {

// What one connection carries between its reads: the halves of lines not
// yet ended, the client's last command, and whether TLS has begun (after
// STLS / STARTTLS the bytes pass untouched).
struct Stream {
  QByteArray fromClient, fromServer, lastCommand, trickle;
  bool raw = false;
};

} // namespace

class Relay::Worker : public QObject {
public:
  Worker(Relay *relay, int upstreamPort) : relay_(relay), upstreamPort_(upstreamPort) {}

  void start() {
    server_ = new QTcpServer(this);
    server_->listen(QHostAddress::LocalHost, 0);
    port_ = server_->serverPort();
    connect(server_, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket *client = server_->nextPendingConnection())
        pair(client);
    });
  }

  quint16 port_ = 0;
  mutable QMutex mutex_;
  QStringList lines_;
  QSet<int> refused_; // DELE of these numbers goes out as "DELE 0"

private:
  // One connection of the program and its own connection to the server.
  void pair(QTcpSocket *client) {
    relay_->connections_.fetch_add(1);
    client->setParent(this);
    auto *upstream = new QTcpSocket(this);
    QPointer<QTcpSocket> c(client), u(upstream);
    auto *trickle = new QTimer(this);
    auto stream = std::make_shared<Stream>();

    connect(client, &QTcpSocket::readyRead, this, [this, c, u, stream] {
      if (!c || !u)
        return;
      QByteArray data = c->readAll();
      if (!stream->raw)
        data = noteClientLines(*stream, data);
      u->write(data);
    });
    connect(client, &QTcpSocket::disconnected, this, [u, trickle] {
      trickle->stop();
      if (u)
        u->disconnectFromHost();
    });
    connect(upstream, &QTcpSocket::disconnected, this, [c] {
      if (c)
        c->disconnectFromHost();
    });
    connect(trickle, &QTimer::timeout, this, [c, stream] {
      if (c && !stream->trickle.isEmpty()) {
        c->write(stream->trickle.left(1));
        stream->trickle.remove(0, 1);
      }
    });
    connect(upstream, &QTcpSocket::readyRead, this, [this, c, u, trickle, stream] {
      if (!c || !u)
        return;
      QByteArray data = u->readAll();
      if (!stream->raw && (relay_->mode_ != PassThrough || !stream->fromServer.isEmpty()))
        data = filterServerLines(*stream, data);
      passWithFault(c, u, trickle, *stream, data);
    });
    upstream->connectToHost(QHostAddress::LocalHost, quint16(upstreamPort_));
  }

  // Notes the client's whole lines and gives back what goes on to the
  // server: its bytes as they came, but for a DELE to be refused.
  QByteArray noteClientLines(Stream &stream, const QByteArray &data) {
    stream.fromClient += data;
    QByteArray out = data;
    qsizetype nl;
    while ((nl = stream.fromClient.indexOf('\n')) >= 0) {
      const QByteArray line = stream.fromClient.left(nl).trimmed();
      stream.fromClient.remove(0, nl + 1);
      stream.lastCommand = line.toUpper();
      if (stream.lastCommand == "STLS" || stream.lastCommand == "STARTTLS")
        stream.raw = true;
      QMutexLocker lock(&mutex_);
      lines_ << QString::fromUtf8(line);
      if (stream.lastCommand.startsWith("DELE ") &&
          refused_.contains(stream.lastCommand.mid(5).toInt())) {
        const qsizetype at = out.indexOf(line);
        if (at >= 0)
          out.replace(at, line.size(), "DELE 0");
      }
    }
    return out;
  }


  // Whole lines of the server, with the offers of the mode taken out or put in.
  QByteArray filterServerLines(Stream &stream, const QByteArray &data) {
    stream.fromServer += data;
    const int mode = relay_->mode_;
    QByteArray out;
    qsizetype nl;
    while ((nl = stream.fromServer.indexOf('\n')) >= 0) {
      QByteArray line = stream.fromServer.left(nl + 1);
      stream.fromServer.remove(0, nl + 1);
      const QByteArray bare = line.trimmed().toUpper();
      const bool ehloReply = stream.lastCommand.startsWith("EHLO") && bare.startsWith("250");
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

  // The server's bytes to the program, up to the fault and then as it says.
  void passWithFault(QTcpSocket *c, QTcpSocket *u, QTimer *trickle, Stream &stream,
                     QByteArray data) {
    const qint64 budget = relay_->budget_.load();
    const auto fault = Fault(relay_->fault_.load());
    if (budget < 0 || fault == Fault::None) {
      c->write(data);
      return;
    }
    // What still passes before the fault starts.
    const qint64 pass = std::min<qint64>(budget, data.size());
    if (pass > 0) {
      c->write(data.left(pass));
      relay_->budget_.fetch_sub(pass);
      data.remove(0, pass);
    }
    if (relay_->budget_.load() > 0)
      return;
    switch (fault) {
    case Fault::Cut:
      c->flush();
      c->disconnectFromHost();
      u->abort();
      break;
    case Fault::Silent:
      break; // the server's bytes go nowhere
    case Fault::Trickle:
      stream.trickle.append(data);
      if (!trickle->isActive())
        trickle->start(relay_->trickleMs_.load());
      break;
    case Fault::None:
      break;
    }
  }

  Relay *relay_;
  int upstreamPort_;
  QTcpServer *server_ = nullptr;
};

Relay::Relay(int upstreamPort, int mode)
    : mode_(mode), worker_(std::make_unique<Worker>(this, upstreamPort)) {
  QThread *thread = new QThread;
  thread->start();
  worker_->moveToThread(thread);
  QMetaObject::invokeMethod(worker_.get(), [w = worker_.get()] { w->start(); },
                            Qt::BlockingQueuedConnection);
}

Relay::~Relay() {
  QThread *thread = worker_->thread();
  // The sockets go with the worker on their own thread as it ends.
  worker_.release()->deleteLater();
  thread->quit();
  thread->wait();
  delete thread;
}

quint16 Relay::port() const {
  return worker_->port_;
}

void Relay::afterServerBytes(qint64 bytes, Fault fault) {
  fault_.store(int(fault));
  budget_.store(fault == Fault::None ? -1 : bytes);
}

void Relay::refuseDeletes(const QList<int> &numbers) {
  QMutexLocker lock(&worker_->mutex_);
  worker_->refused_ = QSet<int>(numbers.cbegin(), numbers.cend());
}

QStringList Relay::clientLines() const {
  QMutexLocker lock(&worker_->mutex_);
  return worker_->lines_;
}

bool Relay::clientSent(const QString &command) const {
  for (const QString &line : clientLines())
    if (line.startsWith(command, Qt::CaseInsensitive))
      return true;
  return false;
}

} // namespace testsupport
