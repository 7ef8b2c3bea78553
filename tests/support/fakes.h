// Test doubles for the platform seams a test cannot drive for real. Each one
// installs itself for its lifetime and restores the production seam after.
#pragma once

#include "platform/browser.h"
#include "platform/core/clock.h"
#include "platform/core/dialup.h"
#include "platform/filedialogs.h"

#include <QDateTime>
#include <QList>
#include <QQueue>
#include <QUrl>

#include <atomic>

// A dial-up service: lists the connections it was given (as NetworkManager
// would, every kind) and records which ones were hung up.
class FakeDialUpBackend final : public platform::DialUpBackend {
public:
  FakeDialUpBackend();
  ~FakeDialUpBackend() override;

  QList<platform::DialUpConnection> connections;
  bool enumerationFails = false;
  // Handles whose hang-up reports failure.
  QStringList failingHandles;

  QStringList hungUp;   // handles, in call order
  int enumerations = 0;
  int lastMax = -1;

  bool enumerate(QList<platform::DialUpConnection> &out, int max) override;
  bool hangUp(const platform::DialUpConnection &connection) override;
};

// A clock that stands still until the test moves it, or (with `running`)
// follows real time from the set point so that waits can end.
class FakeClock final : public platform::ClockSource {
public:
  FakeClock();
  ~FakeClock() override;

  void setUtc(const QDateTime &utc) { utc_ = utc.toUTC(); }
  // The local time the clock display shows; by default UTC in local time.
  void setLocal(const QDateTime &local) { local_ = local; }
  void setMilliseconds(std::uint32_t ms) { ms_ = ms; }
  void advance(std::uint32_t ms);
  // Counter moves with real time from its current value.
  void setRunning(bool running);

  QDateTime utcNow() const override;
  QDateTime localNow() const override;
  std::uint32_t milliseconds() const override;

private:
  QDateTime utc_;
  QDateTime local_;
  std::atomic<std::uint32_t> ms_{0};
  bool running_ = false;
  qint64 runningSince_ = 0;
};

class FakeBrowser final : public platform::BrowserBackend {
public:
  FakeBrowser();
  ~FakeBrowser() override;

  bool result = true;
  QList<QUrl> opened;
  bool open(const QUrl &url) override;
};

// Next answers of the file and print dialogs; an empty queue answers as a
// cancel would (empty name, 0 copies).
class FakeFileDialogs final : public platform::FileDialogBackend {
public:
  FakeFileDialogs();
  ~FakeFileDialogs() override;

  void pushOpenFileName(const QString &name) { openNames.enqueue(name); }
  void pushSaveFileName(const QString &name) { saveNames.enqueue(name); }
  void pushPrintCopies(int copies) { copies_.enqueue(copies); }

  QQueue<QString> openNames;
  QQueue<QString> saveNames;
  QQueue<int> copies_;
  // What each dialog was asked: "open|title|filter", "save|…", "print".
  QStringList requests;

  // The folder the last open dialog was to start in.
  QString openFolder;
  QString openFileName(QWidget *parent, const QString &title, const QString &filter,
                       const QString &folder) override;
  QString saveFileName(QWidget *parent, const QString &title, const QString &filter) override;
  int printCopies(QWidget *parent) override;
  // As a user choosing "print to file": the printer writes a PDF to
  // `printFile` (when set); records "print|selection" or "print|all".
  QString printFile;
  // A page range the user typed into the dialog (0: none).
  int fromPage = 0, toPage = 0;
  int printDialog(QWidget *parent, QPrinter &printer, bool selection) override;
};
