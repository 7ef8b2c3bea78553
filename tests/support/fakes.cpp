#include "tests/support/fakes.h"

#include <QPrinter>

#include <QElapsedTimer>
#include <QTimeZone>

FakeDialUpBackend::FakeDialUpBackend() { platform::setDialUpBackend(this); }
FakeDialUpBackend::~FakeDialUpBackend() { platform::setDialUpBackend(nullptr); }

bool FakeDialUpBackend::enumerate(QList<platform::DialUpConnection> &out, int max) {
  ++enumerations;
  lastMax = max;
  if (enumerationFails)
    return false;
  for (const auto &c : std::as_const(connections)) {
    if (out.size() >= max)
      break;
    out.append(c);
  }
  return true;
}

bool FakeDialUpBackend::hangUp(const platform::DialUpConnection &connection) {
  hungUp.append(connection.handle);
  return !failingHandles.contains(connection.handle);
}

namespace {
qint64 realMs() {
  QElapsedTimer t;
  t.start();
  return t.msecsSinceReference();
}
} // namespace

FakeClock::FakeClock()
    : utc_(QDateTime(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC)) {
  platform::setClockSource(this);
}
FakeClock::~FakeClock() { platform::setClockSource(nullptr); }

void FakeClock::advance(std::uint32_t ms) {
  ms_ = ms_ + ms;
  utc_ = utc_.addMSecs(ms);
  if (local_.isValid())
    local_ = local_.addMSecs(ms);
}

void FakeClock::setRunning(bool running) {
  if (running_ == running)
    return;
  if (running) {
    runningSince_ = realMs();
  } else {
    ms_ = milliseconds();
  }
  running_ = running;
}

QDateTime FakeClock::utcNow() const { return utc_; }
QDateTime FakeClock::localNow() const { return local_.isValid() ? local_ : utc_.toLocalTime(); }
std::uint32_t FakeClock::milliseconds() const {
  if (!running_)
    return ms_;
  return std::uint32_t(ms_ + std::uint32_t(realMs() - runningSince_));
}

FakeBrowser::FakeBrowser() { platform::setBrowserBackend(this); }
FakeBrowser::~FakeBrowser() { platform::setBrowserBackend(nullptr); }

bool FakeBrowser::open(const QUrl &url) {
  opened.append(url);
  return result;
}

FakeFileDialogs::FakeFileDialogs() { platform::setFileDialogBackend(this); }
FakeFileDialogs::~FakeFileDialogs() { platform::setFileDialogBackend(nullptr); }

QString FakeFileDialogs::openFileName(QWidget *, const QString &title, const QString &filter,
                                      const QString &folder) {
  openFolder = folder;
  requests.append(QStringLiteral("open|") + title + u'|' + filter);
  return openNames.isEmpty() ? QString() : openNames.dequeue();
}
QString FakeFileDialogs::saveFileName(QWidget *, const QString &title, const QString &filter) {
  requests.append(QStringLiteral("save|") + title + u'|' + filter);
  return saveNames.isEmpty() ? QString() : saveNames.dequeue();
}
int FakeFileDialogs::printDialog(QWidget *, QPrinter &printer, bool selection) {
  requests.append(selection ? QStringLiteral("print|selection") : QStringLiteral("print|all"));
  if (!printFile.isEmpty()) {
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(printFile);
  }
  if (fromPage > 0) {
    printer.setPrintRange(QPrinter::PageRange);
    printer.setFromTo(fromPage, toPage);
  }
  const int copies = copies_.isEmpty() ? 0 : copies_.dequeue();
  if (copies > 0)
    printer.setCopyCount(copies);
  return copies;
}

int FakeFileDialogs::printCopies(QWidget *) {
  requests.append(QStringLiteral("print"));
  return copies_.isEmpty() ? 0 : copies_.dequeue();
}
