// A scripted loopback server for the protocol faults a real server will not
// produce. It listens on 127.0.0.1 port 0 and plays its script in its own
// thread with blocking socket calls, so the blocking client under test can
// run in the test's thread.
//
//   ScriptedServer server({"S: +OK ready <1.2@host>",
//                          "C: USER taro",
//                          "S: +OK",
//                          "C: PASS secret",
//                          "S: -ERR no"});
//   nmail::NMailPop3Connect(server.address());
//
// "S: text" sends a line, "C: text" expects one (a trailing '*' matches any
// rest of the line), "close" drops the connection, "silence" waits for the
// client to go away without saying anything.
//
//   ScriptedServer server(pop3Mailbox({mail1, mail2}));
//
// plays a POP3 mailbox that answers the client's commands in any order.
#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <thread>

class QTcpSocket;

namespace testsupport {

// The server's side of one connection, for scripts written as code.
class ScriptedServer;

class Peer {
public:
  Peer(QTcpSocket *socket, ScriptedServer *server);
  void send(const QByteArray &line); // CR LF appended
  // False once the client has gone away.
  bool sendRaw(const QByteArray &data);
  // The next line from the client without its CR LF; empty when the client
  // went away or stayed silent for 10 s (`ok` says which).
  QByteArray readLine(bool *ok = nullptr);
  // The lines of a DATA body up to "." as they came over the wire (still
  // dot-stuffed), CR LF kept.
  QByteArray readUntilDot();
  void close();
  // Waits until the client closes its side (at most `ms`).
  bool waitForClientClose(int ms = 10000);
  // Sends `greeting`, then hands each line of the client to `answer` until
  // it returns false or the client goes away: a server that answers
  // commands in any order.
  void answerCommands(const QByteArray &greeting,
                      const std::function<bool(const QByteArray &line)> &answer);

private:
  QTcpSocket *socket_;
  ScriptedServer *server_;
  QByteArray buffer_;
};

class ScriptedServer {
public:
  using Script = std::function<void(Peer &)>;

  // Plays `script` for each of `connections` clients in turn.
  explicit ScriptedServer(Script script, int connections = 1);
  explicit ScriptedServer(const QStringList &lines, int connections = 1);
  ~ScriptedServer();

  quint16 port() const { return port_; }
  QString address() const { return QStringLiteral("127.0.0.1:%1").arg(port_); }

  // Every line the client sent, in order.
  QStringList received() const;
  // Where the client did not say what the script expected.
  QStringList mismatches() const;
  // Blocks until the script has run to its end (or `ms` passed).
  bool waitDone(int ms = 20000);

  static Script fromLines(const QStringList &lines, ScriptedServer *owner);
  void record(const QByteArray &line);
  void mismatch(const QString &what);

private:
  void start(Script script, int connections);

  std::thread thread_;
  quint16 port_ = 0;
  mutable QMutex mutex_;
  QStringList received_;
  QStringList mismatches_;
  bool done_ = false;
};

// A POP3 mailbox for the faults of a server's answers rather than of its
// dialogue: it takes any login and answers STAT, LIST, TOP, RETR, DELE and
// QUIT for `messages` by number, until QUIT. An empty message answers RETR
// with -ERR; LIST gives every message the size `listedSize`, whatever it
// really holds. The messages are sent as they are (dot-stuffed, CR LF
// ended). Which were deleted is in the received lines ("DELE 2").
ScriptedServer::Script pop3Mailbox(QList<QByteArray> messages, qint64 listedSize = 200);
// The same mailbox, further shaped: it offers PIPELINING, or sends the reply
// to RETR n itself (the "+OK" line, the message and the "." line) through
// `retr`, for a message too large or too long-lasting to hold.
struct Pop3MailboxOptions {
  qint64 listedSize = 200;
  bool pipelining = false;
  std::function<void(Peer &, int number)> retr;
};
ScriptedServer::Script pop3Mailbox(QList<QByteArray> messages, Pop3MailboxOptions options);

} // namespace testsupport
