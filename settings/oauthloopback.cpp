#include "settings/oauthloopback.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <QVariantMap>

namespace settings::oauth {

namespace {

const char *const BufferProperty = "korvexRequest";

QString reasonPhrase(int status) {
  switch (status) {
  case 200: return QStringLiteral("OK");
  case 404: return QStringLiteral("Not Found");
  case 405: return QStringLiteral("Method Not Allowed");
  default: return QStringLiteral("Bad Request");
  }
}

} // namespace

LoopbackReplyHandler::LoopbackReplyHandler(QObject *parent)
    : QOAuthOobReplyHandler(parent), server_(new QTcpServer(this)) {
  if (server_->listen(QHostAddress::LocalHost, 0))
    port_ = server_->serverPort();
  connect(server_, &QTcpServer::newConnection, this, &LoopbackReplyHandler::accept);
}

bool LoopbackReplyHandler::isListening() const {
  return server_->isListening();
}

QString LoopbackReplyHandler::callback() const {
  return QStringLiteral("http://127.0.0.1:%1/").arg(port_);
}

void LoopbackReplyHandler::close() {
  server_->close();
}

void LoopbackReplyHandler::accept() {
  while (QTcpSocket *socket = server_->nextPendingConnection()) {
    socket->setParent(this);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
    // A connection that never finishes its request does not stay open.
    QTimer::singleShot(IdleConnectionMs, socket, [socket] { socket->abort(); });
  }
}

void LoopbackReplyHandler::read(QTcpSocket *socket) {
  QByteArray request = socket->property(BufferProperty).toByteArray();
  request += socket->read(MaxRequestBytes + 1 - request.size());
  socket->setProperty(BufferProperty, request);
  const qsizetype headerEnd = request.indexOf("\r\n\r\n");
  if (headerEnd < 0) {
    if (request.size() > MaxRequestBytes)
      answer(socket, 400, QStringLiteral("Korvex：要求が長すぎます。"));
    return;
  }
  disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
  // "GET /?code=…&state=… HTTP/1.1"
  const QList<QByteArray> line = request.left(request.indexOf("\r\n")).split(' ');
  if (line.size() != 3 || line[0] != "GET")
    return answer(socket, 405, QStringLiteral("Korvex：サインインの応答ではありません。"));
  const QUrl url = QUrl::fromEncoded(line[1]);
  if (!url.isValid() || url.path() != QLatin1String("/"))
    return answer(socket, 404, QStringLiteral("Korvex：サインインの応答ではありません。"));
  QVariantMap values;
  const QUrlQuery query(url.query());
  for (const auto &[key, value] : query.queryItems())
    values.insert(key, value);
  // Another program, a web page or an old tab: without this sign-in's state
  // the request says nothing about it, and the real redirect may still come.
  const bool answersThisSignIn =
      !state_.isEmpty() && values.value(QStringLiteral("state")).toString() == state_ &&
      (values.contains(QStringLiteral("code")) || values.contains(QStringLiteral("error")));
  if (!answersThisSignIn)
    return answer(socket, 400,
                  QStringLiteral("Korvex：このサインインの応答ではないため、受け付けませんでした。"));
  answer(socket, 200,
         QStringLiteral("Korvex：サインインの応答を受け取りました。このページは閉じて構いません。"));
  close();
  Q_EMIT callbackReceived(values);
}

void LoopbackReplyHandler::answer(QTcpSocket *socket, int status, const QString &text) {
  disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
  const QByteArray html = QByteArrayLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\">"
                                            "<title>Korvex</title></head><body><p>") +
                          text.toHtmlEscaped().toUtf8() + QByteArrayLiteral("</p></body></html>");
  socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status).toLatin1() +
                "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                QByteArray::number(html.size()) + "\r\nConnection: close\r\n\r\n" + html);
  socket->disconnectFromHost();
}

} // namespace settings::oauth
