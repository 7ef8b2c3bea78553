// Fetching ahead: the next mail lives here. While the window's thread
// stores one mail, the transport fetches the next ones and reads them: small
// ones into files of their own that take their names when they are asked for
// (or the next one into the file named for it), waiting as ReadyMails that
// are taken without a word to the transport thread; a large one nobody asked
// for yet in the session's Ahead. getMail hands each over with its text read
// within its budget.
#include "mail/net/facestate.h"

#include "platform/core/filesync.h"
#include "platform/core/newfile.h"
#include "platform/core/privatefiles.h"
#include "platform/core/wait.h"

#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <list>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nmail {

using namespace face;

namespace {

// A mail fetched ahead and read, waiting to be taken by the window's thread
// without a word to the transport thread: in the file its caller named for
// it (`path`), or in a file of its own in `folder` that has no name yet
// (`unnamed`) and takes the one it is asked for under. Under the lock:
// both threads touch them.
struct ReadyMail {
  int handle = 0;
  int number = 0;
  QString path;
  qint64 size = 0;
  QByteArray whole; // the mail, when it came whole into memory
  ReadingMail read; // read or being read (its source holds the file then)
  QString folder;
  std::optional<platform::NewFile> unnamed;

  // Its file goes, and the mail stays on the server.
  void drop() {
    if (unnamed)
      unnamed->discard(); // a file without a name is gone with it
    else
      ::unlink(QFile::encodeName(path).constData());
  }
};
// Small mails read ahead at most. A mail waits here whole in memory only
// when it came within Pop3Client::HeldBytes, whatever its listed size: 4 MB
// together at most.
constexpr int ReadyMails = 8;
std::mutex readyLock;
std::list<ReadyMail> readyMails;

void setReady(ReadyMail mail) {
  const std::lock_guard lock(readyLock);
  readyMails.push_back(std::move(mail));
}

int readyCount(int handle) {
  const std::lock_guard lock(readyLock);
  return int(std::count_if(readyMails.begin(), readyMails.end(),
                           [&](const ReadyMail &m) { return m.handle == handle; }));
}

bool isReady(int handle, int number) {
  const std::lock_guard lock(readyLock);
  return std::any_of(readyMails.begin(), readyMails.end(), [&](const ReadyMail &m) {
    return m.handle == handle && m.number == number;
  });
}

// The mail of `number` when it waits in the file `path`, or in a file without
// a name in the folder of `path`, which takes that name now; it is the
// caller's then. Mails before it were passed by (stored before, only to be
// deleted), and go.
std::optional<FetchedToFile> takeReady(int handle, int number, const QString &path) {
  std::optional<ReadyMail> taken;
  {
    const std::lock_guard lock(readyLock);
    for (auto it = readyMails.begin(); it != readyMails.end();) {
      if (it->handle != handle || it->number > number) {
        ++it;
        continue;
      }
      if (it->number == number &&
          (it->unnamed ? it->folder == QFileInfo(path).path() : it->path == path))
        taken = std::move(*it);
      else
        it->drop();
      it = readyMails.erase(it);
    }
  }
  if (!taken)
    return std::nullopt;
  if (taken->unnamed) {
    const bool named = taken->unnamed->publishAs(path);
    taken->unnamed->discard();
    if (!named)
      return std::nullopt; // fetched again into that file, which meets what is in the way
  }
  FetchedToFile f;
  f.size = taken->size;
  f.inMemory = true;
  f.whole = std::move(taken->whole);
  f.read = std::move(taken->read);
  return f;
}

} // namespace

namespace face {

// The mails of session `handle` (of any, with 0) that wait and that nobody
// will take: their files go, and the mails stay on the server.
void dropReady(int handle) {
  const std::lock_guard lock(readyLock);
  for (auto it = readyMails.begin(); it != readyMails.end();) {
    if (handle != 0 && it->handle != handle) {
      ++it;
      continue;
    }
    it->drop();
    it = readyMails.erase(it);
  }
}

} // namespace face

namespace {

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
  // Made without a name where the system can: the window's thread moving the
  // mail before out of the folder never waits on it, and a message cut short
  // leaves nothing behind.
  platform::NewFile file(path);
  FetchedToFile f;
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
  const bool failed = file.failed();
  // The descriptor goes with a message read from its file; otherwise the
  // file is closed here (and removed unless it took its name).
  if (size && !failed && !f.inMemory)
    f.fd = file.release();
  if (!size)
    return std::nullopt;
  f.size = *size;
  f.fileFailed = failed;
  return f;
}

// Small mails from `next` on, fetched ahead into files without names in
// `folder` and read, while the window's thread stores the one before: as
// many as may wait. Stops at the first that did not come whole into memory
// (a large one, one refused): asked for, it is fetched then.
void readSmallAhead(Pop3Client &client, int handle, int next, const QString &folder,
                    qint64 budgetMs) {
  for (int n = next; n <= client.messageCount() && readyCount(handle) < ReadyMails; ++n) {
    if (isReady(handle, n) || client.skipped(n))
      continue;
    if (n != next)
      client.prefetch(n);
    if (!client.holds(n))
      return;
    platform::NewFile file = platform::NewFile::unnamedIn(folder);
    if (file.failed())
      return; // the mail stays held for the call that asks for it
    const std::optional<QByteArray> whole = client.takeHeld(n);
    if (!file.write(*whole)) {
      client.putBack(n, *whole);
      return;
    }
    ReadingMail read = readAlready(readMail(mime::Source(*whole), budgetMs));
    setReady(ReadyMail{handle, n, {}, whole->size(), *whole, std::move(read), folder,
                       std::move(file)});
  }
}

// The next mail comes over the line while this one is stored: a small one
// whole into memory (see Pop3Client::prefetch), a large one into a file in
// `folder` when one is given (the folder of this mail's file). With `named`,
// the file the caller named for the next mail, the mail goes into that file
// as well, small or large, and waits there, ready to be taken without a word
// to the transport thread: making the file is then off the caller's way too,
// and so is reading it (within `budgetMs`): the transport thread has nothing
// else to do until the next one is asked for.
// On the transport thread.
void fetchAheadNow(int handle, int next, const QString &folder, const QString &named,
                   qint64 budgetMs) {
  const auto it = sessions().find(handle);
  if (it == sessions().end())
    return;
  Session &session = *it->second;
  session.client.prefetch(next);
  if (session.ahead)
    return;
  if (!folder.isEmpty())
    readSmallAhead(session.client, handle, next, folder, budgetMs);
  if (isReady(handle, next))
    return;
  if (!named.isEmpty()) {
    platform::NewFile file(named);
    if (file.failed())
      return; // the fetch asked for later meets what is in the way
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
    if (!size || !file.publish())
      return; // the file goes with `file`
    // Read from memory when it came whole; from its file otherwise, on a
    // worker: the transport thread is free for the next one as soon as this
    // one is taken.
    const int fd = whole ? -1 : file.release();
    // The source takes the file over, and closes it when the mail is done.
    const mime::Source source = whole ? mime::Source(*whole) : mime::Source::fromFile(fd);
    ReadingMail read = whole ? readAlready(readMail(source, budgetMs))
                             : readMailOnWorker(source, budgetMs);
    setReady(ReadyMail{handle, next, named, *size, whole.value_or(QByteArray()),
                       std::move(read), {}, {}});
    return;
  }
  if (folder.isEmpty() || session.client.holds(next))
    return;
  static int counter = 0;
  const QString path = QStringLiteral("%1/.ahead.%2.%3").arg(folder).arg(::getpid()).arg(++counter);
  platform::NewFile file(path);
  const auto size =
      session.client.retrieveAhead(next, [&](const QByteArray &piece) { file.write(piece); });
  if (!size || !file.publish())
    return; // the file goes with `file`; when asked for, the mail is fetched again
  session.ahead = Ahead{next, path, file.release(), *size};
}

// fetchAheadNow, queued from within a job on the transport thread.
void fetchAhead(int handle, int next, const QString &folder = {}, const QString &named = {}) {
  const qint64 budgetMs = state().budgetMs;
  detail::queueOnTransportThread([handle, next, folder, named, budgetMs] {
    fetchAheadNow(handle, next, folder, named, budgetMs);
  });
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
  ensureMime(); // before the transport thread reads the next mail ahead
  const qint64 budgetMs = state().budgetMs;
  auto failed = [&](const QString &text) {
    fillHeaders({}, subject, date, from, header);
    fill(body, QString(), bodyLength);
    return failWith(text);
  };
  mime::Source message;
  bool beyond = false;            // the fetch went past the budget of the mail's listed size
  std::shared_ptr<ReadMail> read; // when the transport thread read it already
  qint64 size = 0;
  if (target) {
    const QString folder = QFileInfo(target->path).path();
    std::optional<FetchedToFile> fetched = takeReady(handle, number, target->path);
    if (fetched) {
      // Fetched ahead whole into its file: taken without waiting on the
      // transport thread, which counts it as fetched and goes on to the next.
      detail::setTransportThreadCleanup(closeAllSessions);
      detail::postToTransportThread([handle, number, folder, nextTarget, budgetMs] {
        const auto it = sessions().find(handle);
        if (it == sessions().end())
          return;
        it->second->client.claim(number);
        fetchAheadNow(handle, number + 1, folder, nextTarget, budgetMs);
      });
    } else {
      auto answer = withSession<FetchedToFile>(handle, [&](Pop3Client &client) {
        Session &session = *sessions().at(handle);
        auto f = fetchToFile(session, handle, number, target->path);
        if (f)
          fetchAhead(handle, number + 1, folder, nextTarget);
        beyond = client.beyondListing() == number;
        return f;
      });
      if (!answer.value) {
        const int result = failed(answer.error);
        return beyond ? NMailMailBeyondListing : result;
      }
      fetched = std::move(answer.value);
    }
    if (fetched->fileFailed) {
      failed(QStringLiteral("メールをファイル %1 に書き込めませんでした。").arg(target->path));
      return NMailMailFileError;
    }
    size = fetched->size;
    if (fetched->read.valid()) {
      // A read still going on a worker is waited for with the window's
      // events running.
      const ReadingMail reading = std::move(fetched->read);
      platform::runAndWait([&] { read = reading.get(); });
    } else {
      message =
          fetched->inMemory ? mime::Source(fetched->whole) : mime::Source::fromFile(fetched->fd);
    }
  } else {
    const auto answer = withSession<QByteArray>(handle, [&](Pop3Client &client) {
      auto message = client.retrieve(number);
      if (message)
        fetchAhead(handle, number + 1);
      beyond = client.beyondListing() == number;
      return message;
    });
    if (!answer.value) {
      const int result = failed(answer.error);
      return beyond ? NMailMailBeyondListing : result;
    }
    size = answer.value->size();
    message = mime::Source(*answer.value);
  }
  if (!read)
    read = readMail(message, budgetMs);
  message = read->source;
  fillHeaders(read->headers, subject, date, from, header);
  fill(body, read->text, bodyLength);
  state().lastOverBudget = read->budget->exceeded();
  state().budget = read->budget;
  state().lastHoldsFiles = read->holdsFiles;
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

} // namespace nmail
