#include "tests/support/badline.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

namespace testsupport {

class BadLine::Worker : public QObject {
public:
  Worker(BadLine *relay, int upstreamPort) : relay_(relay), upstreamPort_(upstreamPort) {}

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

private:
  // One connection of the program and its own connection to the server.
  void pair(QTcpSocket *client) {
    relay_->connections_.fetch_add(1);
    client->setParent(this);
    auto *upstream = new QTcpSocket(this);
    QPointer<QTcpSocket> c(client), u(upstream);
    auto *trickle = new QTimer(this);
    auto pending = std::make_shared<QByteArray>();

    connect(client, &QTcpSocket::readyRead, this, [c, u] {
      if (c && u)
        u->write(c->readAll());
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
    connect(trickle, &QTimer::timeout, this, [c, pending] {
      if (c && !pending->isEmpty()) {
        c->write(pending->left(1));
        pending->remove(0, 1);
      }
    });
    connect(upstream, &QTcpSocket::readyRead, this, [this, c, u, trickle, pending] {
      if (!c || !u)
        return;
      QByteArray data = u->readAll();
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
        pending->append(data);
        if (!trickle->isActive())
          trickle->start(relay_->trickleMs_.load());
        break;
      case Fault::None:
        break;
      }
    });
    upstream->connectToHost(QHostAddress::LocalHost, quint16(upstreamPort_));
  }

  BadLine *relay_;
  int upstreamPort_;
  QTcpServer *server_ = nullptr;
};

BadLine::BadLine(int upstreamPort) : worker_(std::make_unique<Worker>(this, upstreamPort)) {
  QThread *thread = new QThread;
  thread->start();
  worker_->moveToThread(thread);
  QMetaObject::invokeMethod(worker_.get(), [w = worker_.get()] { w->start(); },
                            Qt::BlockingQueuedConnection);
}

BadLine::~BadLine() {
  QThread *thread = worker_->thread();
  // The sockets go with the worker on their own thread as it ends.
  worker_.release()->deleteLater();
  thread->quit();
  thread->wait();
  delete thread;
}

quint16 BadLine::port() const {
  return worker_->port_;
}

QString BadLine::server() const {
  return QStringLiteral("127.0.0.1:%1").arg(port());
}

void BadLine::afterServerBytes(qint64 bytes, Fault fault) {
  fault_.store(int(fault));
  budget_.store(fault == Fault::None ? -1 : bytes);
}

} // namespace testsupport
