// What the NMail face's files share: the open POP3 sessions, the state the
// calling thread keeps (the last failure, the message fetched last, the
// providers the program set), the text buffers' filling and the way a call
// runs on the transport thread. Only mail/net includes this.
#pragma once

#include "mail/mime/mime.h"
#include "mail/net/endpoint.h"
#include "mail/net/nmail.h"
#include "mail/net/pop3client.h"
#include "mail/net/transportthread.h"

#include <QFile>
#include <QList>
#include <QString>

#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>

#include <unistd.h>

namespace nmail::face {

inline constexpr int DefaultTimeoutMs = 30000;
inline constexpr int MaxSessions = 64;
inline constexpr int OptionBufferSize = 1;
// Longer than this waiting for a token (a sign-in in the browser), and the
// connection made before is replaced before the login.
inline constexpr qint64 StaleBeforeLoginMs = 10000;


// A large mail fetched into a file before it was asked for: the next one,
// while the window's thread reads and stores the one before.
struct Ahead {
  int number = 0;
  QString path;
  int fd = -1;
  qint64 size = 0;
};

struct Session {
  Pop3Client client;
  std::optional<Ahead> ahead;
  // A mail fetched ahead that nobody asked for goes (also when the session ends).
  void dropAhead() {
    if (!ahead)
      return;
    ::close(ahead->fd);
    ::unlink(QFile::encodeName(ahead->path).constData());
    ahead.reset();
  }
  ~Session() { dropAhead(); }
};

// Open sessions; touched only on the transport thread, where their sockets
// live.
std::map<int, std::unique_ptr<Session>> &sessions();

// A fetched message read for the program: its headers and its text, within
// the budget its attachments go on with.
struct ReadMail {
  mime::Source source;
  mime::Headers headers;
  QString text;
  std::shared_ptr<mime::Budget> budget;
  bool holdsFiles = true; // the unpack step may find attachments in it
};
// Reads `message` within a budget of `budgetMs`, off the window's thread
// (the caller has started MIME: ensureMime()).
std::shared_ptr<ReadMail> readMail(const mime::Source &message, qint64 budgetMs);

// A mail being read, or read already. A large mail fetched ahead into its
// file is read on a worker, so that the transport thread fetches the next one
// meanwhile and the server never waits on the reading.
using ReadingMail = std::shared_future<std::shared_ptr<ReadMail>>;
ReadingMail readMailOnWorker(const mime::Source &message, qint64 budgetMs);
ReadingMail readAlready(std::shared_ptr<ReadMail> read);

// What a fetch into a file brought back from the transport thread.
struct FetchedToFile {
  qint64 size = 0;
  QByteArray whole; // the message, when header() had brought it whole anyway
  bool inMemory = false;
  int fd = -1; // open for reading when the message is only in the file
  bool fileFailed = false;
  // The message already read (or being read), when that began while the one
  // before it was stored.
  ReadingMail read;
};

// A mail of session `handle` (of any, with 0) that was fetched ahead and that
// nobody will take: its file goes, and the mail stays on the server.
void dropReady(int handle);

// The rest is the calling thread's: the worker hands results back and the
// caller keeps them, so a call made while another one waits (a send during a
// receive) never sees the other's failure text.
struct State {
  QString lastError;
  // The message the last RETR brought (in memory, or its file), for the
  // attachment step that follows it; used once, then dropped.
  std::optional<mime::Source> lastRetrieved;
  // The same message for NMailPop3GetMailRaw, until the next fetch or the
  // end of its session.
  struct Fetched {
    int handle = 0;
    int number = 0;
    mime::Source message;
    qint64 size = 0;
  };
  std::optional<Fetched> fetched;
  // The budget of reading the fetched message, shared by its text and its
  // attachments; and whether the last message read went past its budget.
  std::shared_ptr<mime::Budget> budget;
  bool lastOverBudget = false;
  // Whether the unpack step may find files in lastRetrieved (its reading
  // found none).
  bool lastHoldsFiles = true;
  // Where the next fetches of messages write them (NMailPop3SetMailFile):
  // the one asked for now, and the next one, which the transport may fetch
  // into its file while this one is stored.
  struct MailFile {
    int handle = 0;
    int number = 0;
    QString path;
  };
  QList<MailFile> mailFiles;
  // The message of the last successful send, for NMailSmtpGetSentMail.
  std::optional<QByteArray> lastSent;
  int timeoutMs = DefaultTimeoutMs;
  qint64 budgetMs = mime::MailBudgetMs;
  int bufferSize = NMailBufferSize;
  std::function<SmtpAccount()> accountProvider;
  std::function<QByteArray(const QString &, quint16)> pinProvider;
  std::optional<ServerCertificate> rejected;
  PlaintextLoginPolicy plaintextPolicy;
  std::optional<PlaintextRefusal> plaintextRefused;
  bool mimeStarted = false;
};

State &state();
// The account the provider gives now (none without one).
SmtpAccount currentAccount();
void ensureMime();
// Keeps `text` as the last failure's; -1.
int failWith(const QString &text);
// Writes `text` and a NUL into the buffer in place, as into a fixed buffer of
// `capacity` characters.
void fill(QString &buffer, const QString &text, qsizetype capacity);
void fillText(QString &buffer, const QString &text);
QString noSessionText(int handle);
void closeAllSessions();
std::optional<bool> succeeded(bool ok);
void fillHeaders(const mime::Headers &h, QString &subject, QString &date, QString &from,
                 QString &header);
// Reads a fetched message (`job`: its text, or its attachments) within its
// budget, off the window's thread: the window's events run meanwhile.
void readAgainstBudget(const mime::Source &message, mime::Budget &budget,
                       const std::function<void()> &job);

// What a session's call brought back from the transport thread: the value,
// or the failure text.
template <class T> struct Answer {
  std::optional<T> value;
  QString error;
};

// Runs `call` with the session's client on the transport thread while this
// thread's events go on.
template <class T, class F> Answer<T> withSession(int handle, F &&call) {
  detail::setTransportThreadCleanup(closeAllSessions);
  return detail::onTransportThread([&]() -> Answer<T> {
    const auto it = sessions().find(handle);
    if (it == sessions().end())
      return {std::nullopt, noSessionText(handle)};
    Pop3Client &client = it->second->client;
    std::optional<T> value = call(client);
    QString error = value ? QString() : client.errorText();
    return {std::move(value), std::move(error)};
  });
}

// The TLS policy (tlspolicy.cpp).
// The endpoint of a server setting with the certificate the user chose to
// trust for it, unless the setting names one itself.
std::optional<Endpoint> endpointOf(const QString &server, Protocol protocol, QString *error);
// What a session showed about the server's TLS, carried back from the
// transport thread.
struct TlsSeen {
  std::optional<PlaintextRefusal> plaintextRefusal;
  bool offeredTls = false;
};
template <typename Client> TlsSeen tlsSeenBy(const Client &client) {
  return {client.plaintextRefusal(), client.offeredTls()};
}

// Keeps what a session showed about the server's TLS for the next time.
void noteTls(const Endpoint &endpoint, const TlsSeen &seen);

} // namespace nmail::face
