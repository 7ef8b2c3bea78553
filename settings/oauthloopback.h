// The loopback listener that takes the browser's redirect at the end of a
// sign-in (RFC 8252: http://127.0.0.1:port/, on a port the system picks).
//
// Anything on this machine may send a request to that port: another
// program, a web page, a tab of an earlier sign-in. Only a request that
// carries this sign-in's `state` and a `code` or an `error` is taken; it is
// handed to the flow and the listener closes. Every other request gets an
// error page and the listener keeps waiting for the real one.
#pragma once

#include <QOAuthOobReplyHandler>
#include <QString>

class QTcpServer;
class QTcpSocket;

namespace settings::oauth {

class LoopbackReplyHandler final : public QOAuthOobReplyHandler {
  Q_OBJECT
public:
  explicit LoopbackReplyHandler(QObject *parent = nullptr);

  bool isListening() const;
  // "http://127.0.0.1:port/": the redirect_uri of the sign-in.
  QString callback() const override;
  // The `state` of the sign-in the listener waits for.
  void setExpectedState(const QString &state) { state_ = state; }
  void close();

  // The most read of one request, and how long a connection that says
  // nothing is kept.
  static constexpr qsizetype MaxRequestBytes = 16 * 1024;
  static constexpr int IdleConnectionMs = 10 * 1000;

private:
  void accept();
  void read(QTcpSocket *socket);
  void answer(QTcpSocket *socket, int status, const QString &text);

  QTcpServer *server_;
  quint16 port_ = 0; // kept once closed: the token request names it again
  QString state_;
};

} // namespace settings::oauth
