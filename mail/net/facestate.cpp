#include "mail/net/facestate.h"

#include "platform/core/wait.h"
#include "platform/core/workers.h"

#include <QThreadPool>

namespace nmail::face {

std::map<int, std::unique_ptr<Session>> &sessions() {
  static std::map<int, std::unique_ptr<Session>> s;
  return s;
}

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
    platform::runAndWait(job);
  budget.end();
}

std::shared_ptr<ReadMail> readMail(const mime::Source &message, qint64 budgetMs) {
  auto read = std::make_shared<ReadMail>();
  read->source = message;
  read->budget = std::make_shared<mime::Budget>(budgetMs);
  readAgainstBudget(message, *read->budget, [&] {
    read->headers = mime::decodeHeaders(mime::headerBlockOf(message));
    read->text = mime::readableBody(message, read->budget.get(), &read->holdsFiles);
  });
  return read;
}

ReadingMail readMailOnWorker(const mime::Source &message, qint64 budgetMs) {
  auto promise = std::make_shared<std::promise<std::shared_ptr<ReadMail>>>();
  ReadingMail reading = promise->get_future().share();
  platform::workers().start(
      [promise, message, budgetMs] { promise->set_value(readMail(message, budgetMs)); });
  return reading;
}

ReadingMail readAlready(std::shared_ptr<ReadMail> read) {
  std::promise<std::shared_ptr<ReadMail>> promise;
  promise.set_value(std::move(read));
  return promise.get_future().share();
}

} // namespace nmail::face
