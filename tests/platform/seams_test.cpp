// The small seams: instance lock, twips, clipboard, browser, file dialogs
// and load-on-first-touch windows.
#include "platform/browser.h"
#include "platform/clipboard.h"
#include "platform/core/singleinstance.h"
#include "platform/filedialogs.h"
#include "platform/forms.h"
#include "platform/twips.h"

#include "tests/support/fakes.h"
#include "tests/support/programfolder.h"

#include <QApplication>
#include <QDir>
#include <QLockFile>
#include <QPointer>
#include <QProcess>
#include <QScreen>
#include <QSysInfo>
#include <QWidget>

#include <gtest/gtest.h>

using namespace platform;

TEST(InstanceLock, StaleLockIsTakenOverAndALiveOneBlocks) {
  TempProgramFolder folder;
  // A lock left by a copy that was killed: its process is gone.
  QProcess gone;
  gone.start(QStringLiteral("true"));
  ASSERT_TRUE(gone.waitForFinished(5000));
  const qint64 deadPid = gone.processId() ? gone.processId() : 999999;
  ASSERT_TRUE(folder.writeBytes(folder.file(QStringLiteral(".korvex.lock")),
                                QByteArray::number(deadPid) + "\nkorvex\n" + QSysInfo::machineHostName().toUtf8() + "\n"));
  EXPECT_TRUE(acquireInstanceLock());
  EXPECT_TRUE(acquireInstanceLock()); // asking again while holding it
  EXPECT_TRUE(folder.readBytes(folder.file(QStringLiteral(".korvex.lock")))
                  .startsWith(QByteArray::number(QCoreApplication::applicationPid()) + '\n'));

  QLockFile second(folder.file(QStringLiteral(".korvex.lock")));
  EXPECT_FALSE(second.tryLock(0));
}

TEST(Twips, ConvertWithTheLogicalDpi) {
  const double dpi = QGuiApplication::primaryScreen()->logicalDotsPerInchX();
  EXPECT_EQ(twipsToPixelsX(1440), qRound(dpi));
  EXPECT_NEAR(pixelsToTwipsX(twipsToPixelsX(7200)), 7200, 1440 / dpi);
  EXPECT_EQ(twipsToPixelsY(0), 0);
  QWidget w;
  setTwipsGeometry(&w, 1440, 720, 2880, 1440);
  const double dpiY = QGuiApplication::primaryScreen()->logicalDotsPerInchY();
  EXPECT_EQ(w.geometry(), QRect(qRound(dpi), qRound(dpiY / 2), qRound(2 * dpi), qRound(dpiY)));
  setTwipsGeometry(nullptr, 0, 0, 1, 1); // no crash
}

TEST(Clipboard, PlainTextRoundTrip) {
  setClipboardText(QString::fromUtf16(u"宛先 a@example.com"));
  EXPECT_EQ(clipboardText(), QString::fromUtf16(u"宛先 a@example.com"));
  clearClipboard();
  EXPECT_EQ(clipboardText(), QString());
}

TEST(Browser, OnlyWebPagesAndTheHelpPageAreOpened) {
  FakeBrowser browser;
  TempProgramFolder folder;
  const QUrl web(QStringLiteral("https://korvex.example/"));
  EXPECT_TRUE(openInBrowser(web));
  EXPECT_FALSE(openInBrowser(QUrl(QStringLiteral("file:///etc/passwd"))));
  EXPECT_FALSE(openInBrowser(QUrl()));
  EXPECT_FALSE(openHelpPage()); // not there
  ASSERT_TRUE(QDir(folder.path()).mkdir(QStringLiteral("help")));
  ASSERT_TRUE(folder.writeBytes(folder.file(QStringLiteral("help/index.html")), "<h1>Korvex</h1>"));
  EXPECT_TRUE(openHelpPage());
  browser.result = false;
  EXPECT_FALSE(openInBrowser(QUrl(QStringLiteral("http://korvex.example/a"))));
  EXPECT_EQ(browser.opened, (QList<QUrl>{web, QUrl::fromLocalFile(folder.file(QStringLiteral("help/index.html"))),
                                         QUrl(QStringLiteral("http://korvex.example/a"))}));
}

TEST(FileDialogs, NextAnswersThenCancel) {
  FakeFileDialogs dialogs;
  dialogs.pushOpenFileName(QStringLiteral("/tmp/a.txt"));
  dialogs.pushPrintCopies(2);
  EXPECT_EQ(openFileName(nullptr, QStringLiteral("開く"), QStringLiteral("*.txt")), QStringLiteral("/tmp/a.txt"));
  EXPECT_EQ(openFileName(nullptr, QStringLiteral("開く"), QString()), QString());
  EXPECT_EQ(saveFileName(nullptr, QStringLiteral("保存"), QString()), QString());
  EXPECT_EQ(printCopies(nullptr), 2);
  EXPECT_EQ(printCopies(nullptr), 0);
  EXPECT_EQ(dialogs.requests.first(), QString::fromUtf16(u"open|開く|*.txt"));
  EXPECT_EQ(dialogs.requests.size(), 5);
}

namespace {
class ProbeForm : public QWidget {
public:
  static inline int loads = 0;
  void Form_Load() { ++loads; }
};
} // namespace

TEST(Forms, LoadOnFirstTouchAndAnewAfterUnload) {
  ProbeForm::loads = 0;
  FormSlot<ProbeForm> slot;
  EXPECT_FALSE(slot.loaded());
  ProbeForm *first = slot.get();
  EXPECT_EQ(slot.get(), first);
  EXPECT_EQ(ProbeForm::loads, 1);
  EXPECT_FALSE(first->isVisible()); // touched, not shown
  slot.unload();
  EXPECT_FALSE(slot.loaded());
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  slot.show();
  EXPECT_EQ(ProbeForm::loads, 2);
  EXPECT_TRUE(slot.get()->isVisible());
  // The close box unloads too.
  slot.get()->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_FALSE(slot.loaded());
}

// Regression: a window touched right after its close box was used (before
// the deletion came round) was the closing one, and what was written into it
// vanished with it.
TEST(Forms, ClosedWindowIsNotTouchedAgainBeforeItGoes) {
  ProbeForm::loads = 0;
  FormSlot<ProbeForm> slot;
  QPointer<ProbeForm> closing = slot.show();
  closing->close();
  EXPECT_FALSE(slot.loaded());
  ProbeForm *fresh = slot.show();
  EXPECT_NE(fresh, closing.data());
  EXPECT_EQ(ProbeForm::loads, 2);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(closing.isNull());
  EXPECT_TRUE(slot.loaded());
  EXPECT_EQ(slot.get(), fresh);
  EXPECT_TRUE(fresh->isVisible());
  slot.unload();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
