// What the receive tests share: the real Dovecot fixture, the main window as
// the receive routine sees it, mails to seed, and fsync/fdatasync as the
// program calls them, seen (and failed) by the test.
#pragma once

#include "mail/receive.h"
#include "mail/store/history.h"
#include "mail/tyakuform.h"
#include "mail/net/nmail.h"
#include "mail/store/searchindex.h"
#include "settings/config.h"
#include "settings/idpassform.h"
#include "tests/support/messageboxdouble.h"
#include "tests/support/programfolder.h"
#include "tests/support/servers.h"

#include <QCoreApplication>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace receivetest {

using namespace mail;
using testsupport::MailServers;

inline const QString User = QStringLiteral("alice");

// Every path flushed (fsync or fdatasync) since the last call, taken.
QStringList flushedSince();
// Every path flushed since flushedSince() last took them, left in place.
QStringList flushedSoFar();
// Every flush of a path containing `part` fails with EIO (none when empty);
// with "dir:" before it, of a folder only.
void failFlushesOf(const QString &part);
// The first flush of a path containing `part` fails with EIO and the later
// ones succeed: Linux reports a failed write-back once, to the first sync
// that asks, and marks it seen.
void failFirstFlushOf(const QString &part);
// Does to the files and folders whose flush failed what a failed write-back
// does to them: each file goes back to what it held at its last flush that
// succeeded (empty when it never had one), each folder loses the names made
// since. Without `lose`, only forgets them.
void loseUnflushedWrites(bool lose = true);
// Takes every file and folder under `root` as on the disk now (another
// process, a killed check, may have flushed them).
void diskHoldsNow(const QString &root);

// The main window as the routine sees it.
class FakeHost final : public ReceiveHost {
public:
  QWidget window;
  QStringList helpTexts;
  QStringList statusTexts;
  int restored = 0;
  bool hangUpModeOn = false;
  int hangUps = 0;
  bool runningSeen = false;
  int nestedRunsAttempted = 0;

  QWidget *hostWindow() override { return &window; }
  void setHelpText(const QString &text) override {
    helpTexts.append(text);
    runningSeen = receiveRunning();
    // A second check that fires meanwhile must not start beside this one.
    if (nestedRunsAttempted++ == 0)
      ReceiveMail(*this);
  }
  // Called with each status text as it is set (a test stops the run there).
  std::function<void(const QString &)> onStatus;
  void setStatusText(const QString &text) override {
    statusTexts.append(text);
    if (onStatus)
      onStatus(text);
  }
  void restoreWindow() override { ++restored; }
  bool hangUpMode() const override { return hangUpModeOn; }
  void hangUp() override { ++hangUps; }
};


QByteArray plainMail(const QByteArray &subject, const QByteArray &body);
// A server without TLS (a scripted one, popa3d) is logged in to in the clear
// only by the user's agreement, kept in the data folder as a user's would be.
void agreeToPlainLogin(quint16 port);

// The text of a record's own mail kept whole.
QByteArray originalOfRecord(int record);

// A receive in a child process (this test binary's ReceiveChild.Run) on the
// program folder `folder` against `server`, killed (SIGKILL) as soon as
// `killWhen` says so, or where it flushes the history with `dieAtFlush`.
// Whether it ended killed rather than at its end.
bool killedReceive(const QString &folder, const QString &server, bool dieAtFlush,
                   const std::function<bool()> &killWhen);

class Receive : public ::testing::Test {
protected:
  std::optional<TempProgramFolder> folder;
  MessageBoxDouble boxes;
  FakeHost host;
  std::optional<MailServers> servers;

  static void SetUpTestSuite() {
    nmail::NMailInitializeWinSock();
    nmail::NMailSetOption(1, 8192);
    nmail::setNetworkTimeoutMs(10000);
  }

  void SetUp() override {
    servers = MailServers::load();
    ASSERT_TRUE(servers) << MailServers::loadError().toStdString();
    folder.emplace();
    ASSERT_TRUE(folder->isValid());
    ASSERT_TRUE(servers->clear(User));
    settings::Pop3Server = pop3Setting();
    settings::UseApop = 0;
    setAccount(User, servers->user(User).password);
    HistoryMode = HistoryModeNone;
  }

  void TearDown() override {
    mail::search::waitForUpdates();
    forms::tyakuForm().unload();
    forms::idPassForm().unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (servers)
      servers->clear(User);
  }

  void setAccount(const QString &id, const QString &password) {
    ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME"), id));
    ASSERT_TRUE(settings::WriteAccountKey(QStringLiteral("NAME2"), password));
  }

  // Seeds the mails one at a time and lets Dovecot number each before the
  // next arrives, so the server order is the seeding order.
  void seedInOrder(const QList<QByteArray> &mails) {
    for (const QByteArray &m : mails) {
      ASSERT_TRUE(servers->seed(User, m));
      const int h = nmail::NMailPop3Connect(pop3Setting());
      ASSERT_NE(h, -1) << nmail::lastErrorText().toStdString();
      nmail::NMailPop3Authenticate(h, User, servers->user(User).password, 0);
      nmail::NMailPop3Close(h);
    }
  }

  // The server as a user would set it, with the test certificate pinned.
  QString pop3Setting() const {
    return servers->pop3Server() + QStringLiteral("#sha256=") + servers->certSha256;
  }

  QList<MailRecord> received() { return readHistory(History::Received); }
  TyakuForm *viewer() { return forms::tyakuForm().get(); }
};


} // namespace receivetest
