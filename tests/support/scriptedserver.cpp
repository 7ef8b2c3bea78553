#include "tests/support/scriptedserver.h"

#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <future>

namespace testsupport {

Peer::Peer(QTcpSocket *socket, ScriptedServer *server) : socket_(socket), server_(server) {}

bool Peer::sendRaw(const QByteArray &data) {
  if (socket_->state() != QAbstractSocket::ConnectedState)
    return false;
  socket_->write(data);
  while (socket_->bytesToWrite() > 0 && socket_->state() == QAbstractSocket::ConnectedState)
    if (!socket_->waitForBytesWritten(10000))
      break;
  return socket_->state() == QAbstractSocket::ConnectedState && socket_->bytesToWrite() == 0;
}

void Peer::send(const QByteArray &line) {
  sendRaw(line + "\r\n");
}

QByteArray Peer::readLine(bool *ok) {
  for (;;) {
    const qsizetype nl = buffer_.indexOf('\n');
    if (nl >= 0) {
      QByteArray line = buffer_.left(nl);
      buffer_.remove(0, nl + 1);
      if (line.endsWith('\r'))
        line.chop(1);
      server_->record(line);
      if (ok)
        *ok = true;
      return line;
    }
    if (!socket_->waitForReadyRead(10000)) {
      if (ok)
        *ok = false;
      return {};
    }
    buffer_ += socket_->readAll();
  }
}

QByteArray Peer::readUntilDot() {
  QByteArray data;
  qsizetype from = 0;
  for (;;) {
    const qsizetype end = buffer_.indexOf("\r\n.\r\n", from);
    if (end >= 0) {
      data = buffer_.left(end + 2);
      buffer_.remove(0, end + 5);
      return data;
    }
    if (buffer_.startsWith(".\r\n")) {
      buffer_.remove(0, 3);
      return data;
    }
    from = std::max<qsizetype>(0, buffer_.size() - 4);
    if (!socket_->waitForReadyRead(10000))
      return buffer_;
    buffer_ += socket_->readAll();
  }
}

void Peer::close() {
  socket_->flush();
  socket_->abort();
}

bool Peer::waitForClientClose(int ms) {
  QDeadlineTimer deadline(ms);
  while (socket_->state() == QAbstractSocket::ConnectedState) {
    if (deadline.hasExpired())
      return false;
    if (socket_->waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))))
      buffer_ += socket_->readAll();
  }
  return true;
}

void Peer::answerCommands(const QByteArray &greeting,
                          const std::function<bool(const QByteArray &line)> &answer) {
  send(greeting);
  for (;;) {
    bool ok = false;
    const QByteArray line = readLine(&ok);
    if (!ok || !answer(line))
      return;
  }
}

ScriptedServer::ScriptedServer(Script script, int connections) {
  start(std::move(script), connections);
}

ScriptedServer::ScriptedServer(const QStringList &lines, int connections) {
  start(fromLines(lines, this), connections);
}

void ScriptedServer::start(Script script, int connections) {
  auto ready = std::make_shared<std::promise<quint16>>();
  auto portFuture = ready->get_future();
  thread_ = std::thread([this, script = std::move(script), connections, ready]() mutable {
    QTcpServer server;
    const bool listening = server.listen(QHostAddress::LocalHost, 0);
    ready->set_value(listening ? server.serverPort() : 0);
    if (listening) {
      for (int i = 0; i < connections; ++i) {
        if (!server.waitForNewConnection(20000)) {
          mismatch(QStringLiteral("no client connected"));
          break;
        }
        std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
        Peer peer(socket.get(), this);
        script(peer);
        if (socket->state() == QAbstractSocket::ConnectedState) {
          socket->flush();
          socket->waitForBytesWritten(2000);
          socket->disconnectFromHost();
          if (socket->state() != QAbstractSocket::UnconnectedState)
            socket->waitForDisconnected(2000);
        }
      }
    }
    QMutexLocker lock(&mutex_);
    done_ = true;
  });
  port_ = portFuture.get();
}

ScriptedServer::~ScriptedServer() {
  if (thread_.joinable())
    thread_.join();
}

void ScriptedServer::record(const QByteArray &line) {
  QMutexLocker lock(&mutex_);
  received_ << QString::fromUtf8(line);
}

void ScriptedServer::mismatch(const QString &what) {
  QMutexLocker lock(&mutex_);
  mismatches_ << what;
}

QStringList ScriptedServer::received() const {
  QMutexLocker lock(&mutex_);
  return received_;
}

QStringList ScriptedServer::mismatches() const {
  QMutexLocker lock(&mutex_);
  return mismatches_;
}

bool ScriptedServer::waitDone(int ms) {
  QDeadlineTimer deadline(ms);
  for (;;) {
    {
      QMutexLocker lock(&mutex_);
      if (done_)
        return true;
    }
    if (deadline.hasExpired())
      return false;
    QThread::msleep(10);
  }
}

ScriptedServer::Script ScriptedServer::fromLines(const QStringList &lines, ScriptedServer *owner) {
  return [lines, owner](Peer &peer) {
    for (const QString &step : lines) {
      if (step.startsWith(QStringLiteral("S: "))) {
        peer.send(step.mid(3).toUtf8());
      } else if (step.startsWith(QStringLiteral("C: "))) {
        bool ok = false;
        const QString got = QString::fromUtf8(peer.readLine(&ok));
        QString want = step.mid(3);
        const bool match =
            want.endsWith(QLatin1Char('*')) ? got.startsWith(want.chopped(1)) : got == want;
        if (!ok || !match) {
          owner->mismatch(
              QStringLiteral("expected \"%1\", got \"%2\"%3")
                  .arg(want, got, ok ? QString() : QStringLiteral(" (client silent or gone)")));
          return;
        }
      } else if (step == QLatin1String("close")) {
        peer.close();
        return;
      } else if (step == QLatin1String("silence")) {
        peer.waitForClientClose(30000);
        return;
      }
    }
  };
}

ScriptedServer::Script pop3Mailbox(QList<QByteArray> messages, qint64 listedSize) {
  return pop3Mailbox(std::move(messages), Pop3MailboxOptions{listedSize, false, {}});
}

ScriptedServer::Script pop3Mailbox(QList<QByteArray> messages, Pop3MailboxOptions options) {
  return [messages = std::move(messages), listedSize = options.listedSize, options](Peer &peer) {
    peer.answerCommands("+OK scripted", [&](const QByteArray &line) {
      const QList<QByteArray> words = line.split(' ');
      const QByteArray verb = words[0].toUpper();
      const int number = words.size() > 1 ? words[1].toInt() : 0;
      const bool known = number >= 1 && number <= messages.size();
      if (verb == "USER" || verb == "PASS" || verb == "NOOP" || verb == "RSET" ||
          (verb == "DELE" && known) || verb == "QUIT") {
        peer.send("+OK");
      } else if (verb == "STAT") {
        peer.send("+OK " + QByteArray::number(messages.size()) + " 400");
      } else if (verb == "LIST" && known) {
        peer.send("+OK " + QByteArray::number(number) + ' ' + QByteArray::number(listedSize));
      } else if (verb == "TOP" && known) {
        peer.sendRaw("+OK\r\nSubject: mail " + QByteArray::number(number) + "\r\n\r\n.\r\n");
      } else if (verb == "CAPA" && options.pipelining) {
        peer.sendRaw("+OK\r\nUSER\r\nPIPELINING\r\n.\r\n");
      } else if (verb == "RETR" && known && options.retr) {
        options.retr(peer, number);
      } else if (verb == "RETR" && known && !messages[number - 1].isEmpty()) {
        peer.sendRaw("+OK\r\n" + messages[number - 1] + ".\r\n");
      } else {
        peer.send("-ERR not here");
      }
      return verb != "QUIT";
    });
  };
}

} // namespace testsupport
