// The NMail operations: a table of open POP3 sessions behind small integer
// handles, the text of the last failure, and the buffers the program passes.
#include "mail/net/nmail.h"

#include "mail/mime/charset.h"
#include "mail/mime/diskflush.h"
#include "mail/net/endpoint.h"
#include "mail/mime/mime.h"
#include "mail/net/pop3client.h"
#include "mail/net/smtpclient.h"
#include "mail/net/transportthread.h"

#include "platform/core/filesync.h"
#include "platform/core/wait.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <map>
#include <memory>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nmail {

namespace {

constexpr int DefaultTimeoutMs = 30000;
constexpr int MaxSessions = 64;
constexpr int OptionBufferSize = 1;
// Longer than this waiting for a token (a sign-in in the browser), and the
// connection made before is replaced before the login.
constexpr qint64 StaleBeforeLoginMs = 10000;

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
std::map<int, std::unique_ptr<Session>> &sessions() {
  static std::map<int, std::unique_ptr<Session>> s;
  return s;
}

// What a fetch into a file brought back from the transport thread.
struct FetchedToFile {
  qint64 size = 0;
  QByteArray whole; // the message, when header() had brought it whole anyway
  bool inMemory = false;
  int fd = -1; // open for reading when the message is only in the file
  bool fileFailed = false;
};

// A mail fetched ahead into the file its caller named for it, waiting to be
// taken by the window's thread without a word to the transport thread. One
// at a time, under the lock: both threads touch it.
struct ReadyMail {
  int handle = 0;
  int number = 0;
  QString path;
  qint64 size = 0;
  QByteArray whole; // the mail, when it came whole into memory
  int fd = -1;      // open on the file otherwise
};
std::mutex readyLock;
std::optional<ReadyMail> readyMail;

void setReady(ReadyMail mail) {
  const std::lock_guard lock(readyLock);
  readyMail = std::move(mail);
}

bool holdsReady(int handle) {
  const std::lock_guard lock(readyLock);
  return readyMail && readyMail->handle == handle;
}

// The mail of `number` when it waits in the file `path`; it is the caller's then.
std::optional<FetchedToFile> takeReady(int handle, int number, const QString &path) {
  const std::lock_guard lock(readyLock);
  if (!readyMail || readyMail->handle != handle || readyMail->number != number ||
      readyMail->path != path)
    return std::nullopt;
  FetchedToFile f;
  f.size = readyMail->size;
  f.fd = readyMail->fd;
  f.inMemory = f.fd < 0;
  f.whole = std::move(readyMail->whole);
  readyMail.reset();
  return f;
}

// A mail of session `handle` (of any, with 0) that waits and that nobody will
// take: its file goes, and the mail stays on the server.
void dropReady(int handle) {
  const std::lock_guard lock(readyLock);
  if (!readyMail || (handle != 0 && readyMail->handle != handle))
    return;
  if (readyMail->fd >= 0)
    ::close(readyMail->fd);
  ::unlink(QFile::encodeName(readyMail->path).constData());
  readyMail.reset();
}

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

State &state() {
  static State s;
  return s;
}

// The account the provider gives now (none without one).
SmtpAccount currentAccount() {
  return state().accountProvider ? state().accountProvider() : SmtpAccount{};
}

void ensureMime() {
  if (!state().mimeStarted) {
    mime::initialize();
    state().mimeStarted = true;
  }
}

int failWith(const QString &text) {
  state().lastError = text;
  return -1;
}

// Writes `text` and a NUL into the buffer in place, as into a fixed buffer of
// `capacity` characters: what does not fit is cut, and a buffer that is too
// short grows only up to `capacity`.
void fill(QString &buffer, const QString &text, qsizetype capacity) {
  if (capacity <= 0)
    return;
  // The program cuts every buffer at its first NUL: one inside the text (a
  // stray byte in a mail) would silently drop everything after it.
  QString t = text.contains(QChar(0)) ? QString(text).remove(QChar(0)) : text;
  const qsizetype whole = t.size();
  t.truncate(capacity - 1);
  if (!t.isEmpty() && t.size() < whole && t.back().isHighSurrogate())
    t.chop(1); // never leave half a character in front of the NUL
  if (buffer.size() > t.size()) {
    buffer.replace(0, t.size(), t);
    buffer[t.size()] = QChar(0);
  } else {
    buffer = t + QChar(0);
  }
}

void fillText(QString &buffer, const QString &text) {
  fill(buffer, text, state().bufferSize);
}

QString noSessionText(int handle) {
  return QStringLiteral("サーバーとの接続は既に終わっています（接続 %1）。もう一度やり直して下さい。")
      .arg(handle);
}

void closeAllSessions() {
  // A session still open here never reached QUIT; ending it without one keeps
  // every mail on the server.
  for (auto &entry : sessions())
    entry.second->client.abort();
  sessions().clear();
  dropReady(0);
}

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

std::optional<bool> succeeded(bool ok) {
  return ok ? std::optional<bool>(true) : std::nullopt;
}

void fillHeaders(const mime::Headers &h, QString &subject, QString &date, QString &from,
                 QString &header) {
  fillText(subject, h.subject);
  fillText(date, h.date);
  fillText(from, h.from);
  fillText(header, h.raw);
}

// The endpoint of a server setting with the certificate the user chose to
// trust for it, unless the setting names one itself.
std::optional<Endpoint> endpointOf(const QString &server, Protocol protocol, QString *error) {
  auto endpoint = parseEndpoint(server, protocol, error);
  if (endpoint && endpoint->pinnedSha256.isEmpty() && state().pinProvider) {
    const QByteArray pin = state().pinProvider(endpoint->host, endpoint->port);
    if (pin.size() == 32)
      endpoint->pinnedSha256 = pin;
  }
  if (endpoint && !endpoint->implicitTls) {
    const PlaintextLoginPolicy &policy = state().plaintextPolicy;
    endpoint->plaintextLoginAgreed = policy.agreed && policy.agreed(endpoint->host, endpoint->port);
    endpoint->offeredTlsBefore =
        policy.offeredTlsBefore && policy.offeredTlsBefore(endpoint->host, endpoint->port);
  }
  return endpoint;
}

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
void noteTls(const Endpoint &endpoint, const TlsSeen &seen) {
  state().plaintextRefused = seen.plaintextRefusal;
  const PlaintextLoginPolicy &policy = state().plaintextPolicy;
  if (seen.offeredTls && !endpoint.offeredTlsBefore && policy.offersTls)
    policy.offersTls(endpoint.host, endpoint.port);
}

QList<QByteArray> envelopeOf(const QString &addresses) {
  QList<QByteArray> out;
  if (addresses.trimmed().isEmpty())
    return out;
  for (const QString &a : mime::envelopeAddresses(addresses))
    if (!a.trimmed().isEmpty())
      out.append(a.trimmed().toUtf8());
  return out;
}

} // namespace

QString newTextBuffer() {
  return QString(NMailBufferSize, QLatin1Char(' '));
}

QString cutAtNul(const QString &buffer) {
  const qsizetype nul = buffer.indexOf(QChar(0));
  return nul < 0 ? buffer : buffer.left(nul);
}

void setSmtpAccountProvider(std::function<SmtpAccount()> provider) {
  state().accountProvider = std::move(provider);
}

void setCertificatePinProvider(
    std::function<QByteArray(const QString &host, quint16 port)> provider) {
  state().pinProvider = std::move(provider);
}

void setPlaintextLoginPolicy(PlaintextLoginPolicy policy) {
  state().plaintextPolicy = std::move(policy);
}

std::optional<PlaintextRefusal> plaintextLoginRefused() {
  return state().plaintextRefused;
}

std::optional<ServerCertificate> rejectedCertificate() {
  return state().rejected;
}

QString fingerprintText(const QByteArray &sha256) {
  return QString::fromLatin1(sha256.toHex(':').toUpper());
}

void setNetworkTimeoutMs(int ms) {
  state().timeoutMs = ms > 0 ? ms : DefaultTimeoutMs;
}
void setMailBudgetMs(qint64 ms) {
  state().budgetMs = ms >= 0 ? ms : mime::MailBudgetMs;
}

int networkTimeoutMs() {
  return state().timeoutMs;
}

int NMailInitializeWinSock() {
  ensureMime();
  return 0;
}

int NMailSetOption(int option, int value) {
  // Option 1 is the size of the text buffers the program passes; the library
  // never writes more than that, and never more than NMailBufferSize.
  if (option == OptionBufferSize) {
    state().bufferSize = std::clamp(value, 1, NMailBufferSize);
    return 0;
  }
  return failWith(QStringLiteral("設定項目 %1 はありません。").arg(option));
}

int NMailEndWinSock() {
  // The program is ending: a send or receive still waiting gives up at once.
  setWaitsInterrupted(true);
  detail::setTransportThreadCleanup(closeAllSessions);
  detail::stopTransportThread();
  setWaitsInterrupted(false);
  state().lastRetrieved.reset();
  if (state().mimeStarted) {
    mime::shutdown();
    state().mimeStarted = false;
  }
  return 0;
}

int NMailPop3Connect(const QString &server) {
  state().rejected.reset();
  state().plaintextRefused.reset();
  QString error;
  auto endpoint = endpointOf(server, Protocol::Pop3, &error);
  if (!endpoint)
    return failWith(error);
  endpoint->tokenLogin = static_cast<bool>(currentAccount().accessToken);
  struct Opened {
    int handle = -1;
    QString error;
    std::optional<ServerCertificate> rejected;
    TlsSeen tls;
  };
  detail::setTransportThreadCleanup(closeAllSessions);
  Opened opened = detail::onTransportThread([&]() -> Opened {
    auto &open = sessions();
    if (open.size() >= MaxSessions)
      return {-1, QStringLiteral("同時に開ける接続は %1 までです。").arg(MaxSessions), {}, {}};
    auto s = std::make_unique<Session>();
    const bool connected = s->client.connectTo(*endpoint);
    const TlsSeen tls = tlsSeenBy(s->client);
    if (!connected)
      return {-1, s->client.errorText(), s->client.rejectedCertificate(), tls};
    int handle = 1;
    while (open.count(handle))
      ++handle;
    open.emplace(handle, std::move(s));
    return {handle, {}, {}, tls};
  });
  noteTls(*endpoint, opened.tls);
  if (opened.handle < 0) {
    state().rejected = opened.rejected;
    return failWith(opened.error);
  }
  return opened.handle;
}

namespace {

// The login with the account's access token; a token the server refuses is
// renewed once (it may have expired early, or been revoked while a new one
// can still be had).
int authenticateWithToken(int handle, const QString &id,
                          const std::function<AccessToken(bool renew)> &source) {
  for (int attempt = 0;; ++attempt) {
    QElapsedTimer waited;
    waited.start();
    const AccessToken token = source(attempt > 0);
    if (token.token.isEmpty())
      return failWith(token.error.isEmpty()
                          ? QStringLiteral("OAuth 2.0 のアクセストークンを取得できませんでした。")
                          : token.error);
    // The user may have signed in meanwhile, which takes longer than a
    // server keeps a connection that has not logged in: a fresh one then.
    const bool stale = waited.elapsed() > StaleBeforeLoginMs;
    bool refused = false;
    const auto count = withSession<int>(handle, [&](Pop3Client &client) -> std::optional<int> {
      if (stale && !client.reconnect())
        return std::nullopt;
      const auto n = client.authenticateWithToken(id, token.token);
      refused = !n && client.tokenRefused() && !client.isBroken();
      return n;
    });
    if (count.value)
      return *count.value;
    if (!refused || attempt > 0)
      return failWith(count.error);
  }
}

} // namespace

int NMailPop3Authenticate(int handle, const QString &id, const QString &password, int apop) {
  state().plaintextRefused.reset();
  const SmtpAccount account = currentAccount();
  if (account.accessToken)
    return authenticateWithToken(handle, id, account.accessToken);
  std::optional<PlaintextRefusal> refusal;
  const auto count = withSession<int>(handle, [&](Pop3Client &client) {
    const auto n = client.authenticate(id, password, apop != 0);
    if (!n)
      refusal = client.plaintextRefusal();
    return n;
  });
  if (!count.value) {
    state().plaintextRefused = refusal;
    return failWith(count.error);
  }
  return *count.value;
}

int NMailPop3GetMailStatus(int handle, int number, QString &subject, QString &date, QString &from,
                           QString &header, int /*flag*/) {
  const auto block = withSession<QByteArray>(
      handle, [&](Pop3Client &client) { return client.header(number); });
  if (!block.value) {
    fillHeaders({}, subject, date, from, header);
    return failWith(block.error);
  }
  ensureMime();
  fillHeaders(mime::decodeHeaders(*block.value), subject, date, from, header);
  return 0;
}

int NMailPop3GetMailSize(int handle, int number) {
  const auto answer =
      withSession<qint64>(handle, [&](Pop3Client &client) { return client.size(number); });
  if (!answer.value)
    return failWith(answer.error);
  const auto &size = answer.value;
  // The program makes a buffer one longer than this, and a buffer for a
  // size a server merely claims must not exhaust the memory: a size is told
  // up to the largest reply held in memory. A larger message is still
  // fetched whole into the file named for it (NMailPop3SetMailFile); the
  // receive takes the size for the text's buffer and the journal only, both
  // the same for the listing and for this call.
  return int(std::min<qint64>(*size, LineConnection::MaxMultiLine));
}

namespace {

// A new file (0600) that a message is written into, a piece at a time as it
// arrives, and that takes its name once the message is whole (publish()).
// It is made unnamed in its folder where the system can: making a file there
// then holds no lock on the folder, so the window's thread moving the mail
// before out of it never waits on this one; and a message cut short leaves
// nothing behind. Elsewhere it is made under its name at once.
struct MessageFile {
  explicit MessageFile(const QString &path) : name(QFile::encodeName(path)) {
    // The name is given through /proc (linkat by descriptor alone needs a
    // privilege a user has not).
    static const bool canName = ::access("/proc/self/fd", X_OK) == 0;
    const QByteArray folder = QFile::encodeName(QFileInfo(path).path());
    fd = canName ? ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600) : -1;
    unnamed = fd >= 0;
    if (!unnamed) {
      fd = ::open(name.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    } else {
      // Taken before anything is written: none may be there, as for a file
      // made under its name.
      struct stat st {};
      failed = ::lstat(name.constData(), &st) == 0 || errno != ENOENT;
    }
    failed = failed || fd < 0 || ::fchmod(fd, 0600) != 0;
  }
  void write(const QByteArray &piece) {
    failed = failed || !platform::writeWhole(fd, piece.constData(), piece.size());
    if (!failed) // the disk starts on it now; the flush before QUIT then waits less
      ::sync_file_range(fd, offset, piece.size(), SYNC_FILE_RANGE_WRITE);
    offset += piece.size();
  }
  // The whole message under its name; false (and failed) when it cannot take it.
  bool publish() {
    if (failed || !unnamed)
      return !failed;
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    failed =
        ::linkat(AT_FDCWD, self.constData(), AT_FDCWD, name.constData(), AT_SYMLINK_FOLLOW) != 0;
    unnamed = failed;
    return !failed;
  }
  // Closes and removes it: the message did not come whole.
  void discard() {
    if (fd >= 0) {
      ::close(fd);
      if (!unnamed)
        ::unlink(name.constData());
    }
    fd = -1;
  }
  QByteArray name;
  int fd = -1;
  bool unnamed = false;
  bool failed = false;
  qint64 offset = 0;
};

// RETR into the file `path`, a piece at a time as the message arrives; a
// message fetched ahead into that file is taken as it is, one fetched ahead
// into the same folder is moved there. On the transport thread.
std::optional<FetchedToFile> fetchToFile(Session &session, int handle, int number,
                                         const QString &path) {
  Pop3Client &client = session.client;
  if (auto ready = takeReady(handle, number, path)) {
    client.claim(number);
    return ready;
  }
  dropReady(handle); // fetched ahead for a call that never came
  if (session.ahead && session.ahead->number == number &&
      QFileInfo(session.ahead->path).path() == QFileInfo(path).path() &&
      ::rename(QFile::encodeName(session.ahead->path).constData(),
               QFile::encodeName(path).constData()) == 0) {
    FetchedToFile f;
    f.fd = session.ahead->fd;
    f.size = session.ahead->size;
    session.ahead.reset();
    client.claim(number);
    return f;
  }
  session.dropAhead();
  MessageFile file(path);
  FetchedToFile f;
  f.fd = file.fd;
  bool &failed = file.failed;
  auto sink = [&](const QByteArray &piece) { file.write(piece); };
  std::optional<qint64> size;
  if (client.holds(number)) {
    // A small mail came whole with its header: it is read from memory.
    auto whole = client.retrieve(number);
    if (whole) {
      sink(*whole);
      size = whole->size();
      f.whole = std::move(*whole);
      f.inMemory = true;
    }
  } else {
    size = client.retrieve(number, sink);
  }
  if (size)
    file.publish();
  if (size && !failed && f.inMemory) {
    ::close(f.fd);
    f.fd = -1;
  } else if (!size || failed) {
    file.discard();
    f.fd = -1;
  }
  if (!size)
    return std::nullopt;
  f.size = *size;
  f.fileFailed = failed;
  return f;
}

// The next mail comes over the line while this one is stored: a small one
// whole into memory (see Pop3Client::prefetch), a large one into a file in
// `folder` when one is given (the folder of this mail's file). With `named`,
// the file the caller named for the next mail, the mail goes into that file
// as well, small or large, and waits there, ready to be taken without a word
// to the transport thread: making the file is then off the caller's way too.
// On the transport thread.
void fetchAheadNow(int handle, int next, const QString &folder, const QString &named) {
  const auto it = sessions().find(handle);
  if (it == sessions().end())
    return;
  Session &session = *it->second;
  session.client.prefetch(next);
  if (session.ahead || holdsReady(handle))
    return;
  if (!named.isEmpty()) {
    MessageFile file(named);
    if (file.failed) {
      file.discard(); // the fetch asked for later meets what is in the way
      return;
    }
    // Out of the client: the window's thread takes it from here. Should the
    // file fail, the mail is fetched again when asked for.
    const std::optional<QByteArray> whole = session.client.takeHeld(next);
    std::optional<qint64> size;
    if (whole) {
      file.write(*whole);
      size = whole->size();
    } else {
      size =
          session.client.retrieveAhead(next, [&](const QByteArray &piece) { file.write(piece); });
    }
    if (!size || !file.publish()) {
      file.discard();
      return;
    }
    int fd = file.fd;
    if (whole) { // read from memory when taken
      ::close(fd);
      fd = -1;
    }
    setReady(ReadyMail{handle, next, named, *size, whole.value_or(QByteArray()), fd});
    return;
  }
  if (folder.isEmpty() || session.client.holds(next))
    return;
  static int counter = 0;
  const QString path = QStringLiteral("%1/.ahead.%2.%3").arg(folder).arg(::getpid()).arg(++counter);
  MessageFile file(path);
  const auto size =
      session.client.retrieveAhead(next, [&](const QByteArray &piece) { file.write(piece); });
  if (!size || !file.publish()) {
    file.discard(); // when asked for, the mail is fetched again
    return;
  }
  session.ahead = Ahead{next, path, file.fd, *size};
}

// fetchAheadNow, queued from within a job on the transport thread.
void fetchAhead(int handle, int next, const QString &folder = {}, const QString &named = {}) {
  detail::queueOnTransportThread(
      [handle, next, folder, named] { fetchAheadNow(handle, next, folder, named); });
}

// A mail in memory this small is read in place: a thread would cost more
// than the reading, which the limits of the HTML reader and of the text keep
// within milliseconds for such a mail, however it is built.
constexpr qsizetype ReadInPlaceBytes = 32 * 1024;

// Reads a fetched message (`job`: its text, or its attachments) within its
// budget, off the window's thread: the window's events run meanwhile.
void readAgainstBudget(const mime::Source &message, mime::Budget &budget,
                       const std::function<void()> &job) {
  budget.begin();
  if (!message.file && message.bytes.size() <= ReadInPlaceBytes)
    job();
  else
    platform::runAside(job);
  budget.end();
}

// The body is written into the caller's buffer of `bodyLength` characters,
// or, with `inPlace` false, replaces it with the text alone.
int getMail(int handle, int number, QString &subject, QString &date, QString &from,
            QString &header, QString &body, qsizetype bodyLength, bool inPlace) {
  if (!inPlace)
    body = QString();
  state().lastRetrieved.reset();
  state().fetched.reset();
  state().budget.reset();
  state().lastOverBudget = false;
  std::optional<State::MailFile> target;
  QString nextTarget;
  for (const State::MailFile &f : std::exchange(state().mailFiles, {})) {
    if (f.handle == handle && f.number == number)
      target = f;
    else if (f.handle == handle && f.number == number + 1)
      nextTarget = f.path;
  }
  if (!nextTarget.isEmpty())
    state().mailFiles.append(State::MailFile{handle, number + 1, nextTarget});
  auto failed = [&](const QString &text) {
    fillHeaders({}, subject, date, from, header);
    fill(body, QString(), bodyLength);
    return failWith(text);
  };
  mime::Source message;
  qint64 size = 0;
  if (target) {
    const QString folder = QFileInfo(target->path).path();
    std::optional<FetchedToFile> fetched = takeReady(handle, number, target->path);
    if (fetched) {
      // Fetched ahead whole into its file: taken without waiting on the
      // transport thread, which counts it as fetched and goes on to the next.
      detail::setTransportThreadCleanup(closeAllSessions);
      detail::postToTransportThread([handle, number, folder, nextTarget] {
        const auto it = sessions().find(handle);
        if (it == sessions().end())
          return;
        it->second->client.claim(number);
        fetchAheadNow(handle, number + 1, folder, nextTarget);
      });
    } else {
      auto answer = withSession<FetchedToFile>(handle, [&](Pop3Client &) {
        Session &session = *sessions().at(handle);
        auto f = fetchToFile(session, handle, number, target->path);
        if (f)
          fetchAhead(handle, number + 1, folder, nextTarget);
        return f;
      });
      if (!answer.value)
        return failed(answer.error);
      fetched = std::move(answer.value);
    }
    if (fetched->fileFailed) {
      failed(QStringLiteral("メールをファイル %1 に書き込めませんでした。").arg(target->path));
      return NMailMailFileError;
    }
    size = fetched->size;
    message =
        fetched->inMemory ? mime::Source(fetched->whole) : mime::Source::fromFile(fetched->fd);
  } else {
    const auto answer = withSession<QByteArray>(handle, [&](Pop3Client &client) {
      auto message = client.retrieve(number);
      if (message)
        fetchAhead(handle, number + 1);
      return message;
    });
    if (!answer.value)
      return failed(answer.error);
    size = answer.value->size();
    message = mime::Source(*answer.value);
  }
  ensureMime();
  auto budget = std::make_shared<mime::Budget>(state().budgetMs);
  mime::Headers headers;
  QString text;
  readAgainstBudget(message, *budget, [&] {
    headers = mime::decodeHeaders(mime::headerBlockOf(message));
    text = mime::readableBody(message, budget.get());
  });
  fillHeaders(headers, subject, date, from, header);
  fill(body, text, bodyLength);
  state().lastOverBudget = budget->exceeded();
  state().budget = std::move(budget);
  state().lastRetrieved = message;
  state().fetched = State::Fetched{handle, number, std::move(message), size};
  return 0;
}

} // namespace

int NMailPop3GetMail(int handle, int number, QString &subject, QString &date, QString &from,
                     QString &header, QString &body, int /*flag1*/, int /*flag2*/) {
  return getMail(handle, number, subject, date, from, header, body, body.size(), true);
}

int NMailPop3GetMailText(int handle, int number, QString &subject, QString &date, QString &from,
                         QString &header, QString &body, qsizetype bodyLength) {
  return getMail(handle, number, subject, date, from, header, body, bodyLength, false);
}

int NMailPop3SetMailFile(int handle, int number, const QString &path) {
  if (path.isEmpty())
    return failWith(QStringLiteral("メールを書き込むファイルの名前がありません。"));
  QList<State::MailFile> &files = state().mailFiles;
  files.removeIf(
      [&](const State::MailFile &f) { return f.handle == handle && f.number == number; });
  // The one asked for next and the one after it are all the fetch looks at.
  while (files.size() > 1)
    files.removeFirst();
  files.append(State::MailFile{handle, number, path});
  return 0;
}

qint64 NMailPop3GetMailFetchedSize(int handle, int number) {
  const auto &fetched = state().fetched;
  if (!fetched || fetched->handle != handle || fetched->number != number)
    return -1;
  return fetched->size;
}

int NMailPop3GetMailRaw(int handle, int number, QByteArray &raw) {
  const auto &fetched = state().fetched;
  if (!fetched || fetched->handle != handle || fetched->number != number) {
    raw.clear();
    return failWith(QStringLiteral("%1 通目のメールの内容を読み取れませんでした。もう一度受信して下さい。").arg(number));
  }
  raw = mime::wholeMessage(fetched->message);
  return 0;
}

int NMailSmtpGetSentMail(QByteArray &raw) {
  if (!state().lastSent) {
    raw.clear();
    return -1;
  }
  raw = *state().lastSent;
  return 0;
}

QByteArray lastSentMail() {
  QByteArray raw;
  NMailSmtpGetSentMail(raw);
  return raw;
}

int NMailAttachmentTakeJoinedMail(QByteArray &raw) {
  auto joined = mime::takeJoinedMail();
  raw = joined ? std::move(*joined) : QByteArray();
  return joined ? 0 : -1;
}

int NMailAttachmentTakeJoinedMailFile(QString &path) {
  auto joined = mime::takeJoinedMailFile();
  path = joined.value_or(QString());
  return joined ? 0 : -1;
}

bool NMailLastMailOverBudget() {
  return state().lastOverBudget;
}

bool holdsFetchedMail() {
  return state().lastRetrieved.has_value();
}

QString readableText(const QByteArray &message) {
  ensureMime();
  return mime::readableBody(message);
}

int NMailAttachmentFileFirst(int /*id*/, const QString & /*subject*/, const QString & /*date*/,
                             const QString & /*from*/, const QString & /*header*/,
                             const QString & /*body*/, const QString &folder,
                             const QString & /*workFile*/, const QString &messageText,
                             int /*flag*/) {
  // The message as it came from the server holds the attachments whole; the
  // text the program passes is what it shows, which is only a stand-in when
  // no message was fetched just before.
  const mime::Source message =
      state().lastRetrieved ? *state().lastRetrieved : mime::Source(messageText.toUtf8());
  // The fetched message goes on with what its text left of its budget.
  std::shared_ptr<mime::Budget> budget = state().lastRetrieved ? state().budget : nullptr;
  if (!budget)
    budget = std::make_shared<mime::Budget>(state().budgetMs);
  state().lastRetrieved.reset();
  state().budget.reset();
  mime::dropJoinedMail();
  QString dir = folder;
  while (dir.size() > 1 && (dir.endsWith(QLatin1Char('/')) || dir.endsWith(QLatin1Char('\\'))))
    dir.chop(1);
  ensureMime();
  int result = NMailAttachmentNone;
  readAgainstBudget(message, *budget,
                    [&] { result = mime::unpackAttachments(message, dir, budget.get()); });
  state().lastOverBudget = budget->exceeded();
  if (result == NMailAttachmentOpenError)
    state().lastError =
        QStringLiteral("添付ファイルをフォルダ %1 に書き込めませんでした。").arg(dir);
  return result;
}

int NMailAttachmentFileClose(int /*id*/) {
  return 0;
}

int NMailAttachmentFlush() {
  QString failed;
  if (!flushWrittenFiles(&failed))
    return failWith(
        QStringLiteral("添付ファイル %1 をディスクに書き込めたか確認できません。").arg(failed));
  return 0;
}

int NMailPop3DeleteMail(int handle, int number) {
  const auto removed = withSession<bool>(
      handle, [&](Pop3Client &client) { return succeeded(client.remove(number)); });
  return removed.value ? 0 : failWith(removed.error);
}

int NMailPop3DeleteMailLater(int handle, int number) {
  detail::setTransportThreadCleanup(closeAllSessions);
  detail::postToTransportThread([handle, number] {
    const auto it = sessions().find(handle);
    if (it != sessions().end())
      it->second->client.remove(number);
  });
  return 0;
}

int NMailPop3GetListing(int handle, QList<int> &sizes, QStringList &uidls) {
  sizes.clear();
  uidls.clear();
  struct Listing {
    QList<int> sizes;
    QStringList uidls;
  };
  const auto answer = withSession<Listing>(handle, [&](Pop3Client &client) {
    Listing l;
    const int count = client.messageCount();
    for (int n = 1; n <= count; ++n) {
      const auto size = client.size(n);
      if (!size && client.isBroken())
        return std::optional<Listing>();
      l.sizes.append(size ? int(std::min<qint64>(*size, LineConnection::MaxMultiLine)) : -1);
      const auto uid = client.uniqueId(n);
      if (!uid && client.isBroken())
        return std::optional<Listing>();
      l.uidls.append(uid ? QString::fromLatin1(*uid) : QString());
    }
    return std::optional<Listing>(std::move(l));
  });
  if (!answer.value)
    return failWith(answer.error);
  sizes = answer.value->sizes;
  uidls = answer.value->uidls;
  return int(sizes.size());
}

int NMailPop3GetMailUidl(int handle, int number, QString &uidl) {
  uidl.clear();
  const auto uid = withSession<QByteArray>(
      handle, [&](Pop3Client &client) { return client.uniqueId(number); });
  if (!uid.value)
    return failWith(uid.error);
  uidl = QString::fromLatin1(*uid.value);
  return 0;
}

int NMailPop3DeleteStoredMail(int handle, int number, const QString &uidl) {
  const QByteArray uid = uidl.toLatin1();
  const auto removed = withSession<bool>(
      handle, [&](Pop3Client &client) { return succeeded(client.removeStored(number, uid)); });
  return removed.value ? 0 : failWith(removed.error);
}

int NMailPop3Close(int handle) {
  detail::setTransportThreadCleanup(closeAllSessions);
  const auto closed = detail::onTransportThread([&]() -> Answer<bool> {
    const auto it = sessions().find(handle);
    if (it == sessions().end())
      return {std::nullopt, noSessionText(handle)};
    const bool ok = it->second->client.quit();
    const QString error = it->second->client.errorText();
    sessions().erase(it);
    dropReady(handle);
    return {succeeded(ok), error};
  });
  state().fetched.reset();
  state().mailFiles.removeIf([&](const State::MailFile &f) { return f.handle == handle; });
  return closed.value ? 0 : failWith(closed.error);
}

int NMailPop3Abandon(int handle) {
  detail::setTransportThreadCleanup(closeAllSessions);
  const auto abandoned = detail::onTransportThread([&]() -> Answer<bool> {
    const auto it = sessions().find(handle);
    if (it == sessions().end())
      return {std::nullopt, noSessionText(handle)};
    it->second->client.abort();
    sessions().erase(it);
    dropReady(handle);
    return {true, {}};
  });
  state().fetched.reset();
  state().mailFiles.removeIf([&](const State::MailFile &f) { return f.handle == handle; });
  return abandoned.value ? 0 : failWith(abandoned.error);
}

int NMailSmtpSendMail(const QString &server, const QString &to, const QString &cc,
                      const QString &bcc, const QString &from, const QString &subject,
                      const QString &body, const QString &header, const QString &attachments,
                      int /*flag*/) {
  state().rejected.reset();
  state().lastSent.reset();
  state().plaintextRefused.reset();
  QString error;
  auto endpoint = endpointOf(server, Protocol::Smtp, &error);
  if (!endpoint)
    return failWith(error);
  if (!cutAtNul(header).trimmed().isEmpty())
    return failWith(QStringLiteral("追加のヘッダーを付けて送ることはできません。"));

  mime::Outgoing mail;
  // Header values come from one-line fields; a line break in them would start
  // a header of the sender's choosing. The builder makes the subject one line.
  mail.from = charset::oneLine(from).trimmed();
  mail.to = charset::oneLine(to).trimmed();
  mail.subject = subject;
  mail.body = body;
  for (const QString &path : attachments.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
    const QString p = path.trimmed();
    if (p.isEmpty())
      continue;
    const QFileInfo info(p);
    if (!info.isFile() || !info.isReadable())
      return failWith(
          QStringLiteral("添付ファイル「%1」を読み込めません。ファイルがあるか確かめて下さい。")
              .arg(p));
    mail.attachments << p;
  }

  ensureMime();
  auto message = mime::buildMessage(mail, &error);
  if (!message)
    return failWith(error.isEmpty() ? QStringLiteral("メールを組み立てられませんでした。") : error);

  SmtpEnvelope envelope;
  envelope.from = envelopeOf(mail.from).value(0);
  envelope.to = envelopeOf(mail.to);
  const QString ccLine = charset::oneLine(cc).trimmed();
  envelope.to += envelopeOf(ccLine);
  envelope.to += envelopeOf(charset::oneLine(bcc));
  if (envelope.to.isEmpty())
    return failWith(
        mail.to.isEmpty()
            ? QStringLiteral("宛先のメールアドレスがありません。")
            : QStringLiteral("宛先「%1」からメールアドレスを読み取れません。").arg(mail.to));
  if (envelope.from.isEmpty())
    return failWith(
        mail.from.isEmpty()
            ? QStringLiteral("差出人のメールアドレスがありません。設定を確かめて下さい。")
            : QStringLiteral(
                  "差出人「%1」からメールアドレスを読み取れません。設定を確かめて下さい。")
                  .arg(mail.from));

  if (!ccLine.isEmpty()) {
    // The Cc header goes in front of the header block's end; only plain
    // ASCII address lists are written as they are.
    for (const QChar c : ccLine)
      if (c.unicode() > 0x7e)
        return failWith(QStringLiteral("Cc のアドレスには半角英数字だけを使って下さい。"));
    const qsizetype end = message->indexOf("\r\n\r\n");
    if (end < 0)
      return failWith(QStringLiteral("メールを組み立てられませんでした。"));
    message->insert(end + 2, "Cc: " + ccLine.toLatin1() + "\r\n");
  }

  SmtpCredentials credentials;
  const SmtpAccount account = currentAccount();
  credentials.user = account.userId;
  credentials.password = account.password;
  credentials.useToken = static_cast<bool>(account.accessToken);
  endpoint->tokenLogin = credentials.useToken;
  struct Sent {
    bool ok = false;
    QString error;
    std::optional<ServerCertificate> rejected;
    TlsSeen tls;
    bool tokenRefused = false;
  };
  Sent sent;
  // With a token: a refused one is renewed once and the mail sent again
  // (the server refused it before MAIL FROM, so nothing went twice).
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (credentials.useToken) {
      const AccessToken token = account.accessToken(attempt > 0);
      if (token.token.isEmpty())
        return failWith(token.error.isEmpty()
                            ? QStringLiteral("OAuth 2.0 のアクセストークンを取得できませんでした。")
                            : token.error);
      credentials.accessToken = token.token;
    }
    sent = detail::onTransportThread([&]() -> Sent {
      SmtpClient client;
      const bool ok = client.send(*endpoint, envelope, *message, credentials);
      return {ok, ok ? QString() : client.errorText(),
              ok ? std::nullopt : client.rejectedCertificate(), tlsSeenBy(client),
              client.tokenRefused()};
    });
    if (sent.ok || !sent.tokenRefused || !credentials.useToken)
      break;
  }
  noteTls(*endpoint, sent.tls);
  if (!sent.ok) {
    state().rejected = sent.rejected;
    return failWith(sent.error);
  }
  state().lastSent = std::move(*message);
  return 0;
}

int NMailGetMessage(int /*id*/, QString &buffer, int &length) {
  const qsizetype capacity = std::min<qsizetype>(length > 0 ? length : 0, state().bufferSize);
  fill(buffer, state().lastError, capacity);
  return int(std::min<qsizetype>(state().lastError.size(), std::max<qsizetype>(capacity - 1, 0)));
}

QString lastErrorText() {
  QString buffer = newTextBuffer();
  int length = NMailBufferSize;
  NMailGetMessage(0, buffer, length);
  return cutAtNul(buffer);
}

} // namespace nmail
