// The main window driven as the user drives it: start-up, the check-time
// list, the check cycle, the connection mode, the help box and shut-down.
#include "main/lib/mainform.h"

#include "compose/writeform.h"
#include "mail/store/history.h"
#include "mail/tyakuform.h"
#include "main/lib/checktime.h"
#include "main/lib/helptexts.h"
#include "platform/core/paths.h"
#include "platform/core/profile.h"
#include "platform/core/recordfile.h"
#include "platform/core/sound.h"
#include "settings/config.h"
#include "settings/friendform.h"
#include "settings/idpassform.h"
#include "settings/keepform.h"
#include "settings/optionform.h"
#include "settings/servercopies.h"
#include "settings/setform.h"
#include "tests/main/mainwindowfixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QEnterEvent>
#include <QFile>
#include <QGroupBox>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <gtest/gtest.h>

#include <memory>

#include <sys/stat.h>

using platform::MsgAnswer;
using platform::MsgButtons;
using platform::MsgIcon;

namespace {

const QString kTimeFile = QStringLiteral("Qlmdata90.data");

QByteArray fileBytes(const QString &path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList trimmedEntries(const QListWidget *list) {
  QStringList out;
  for (int i = 0; i < list->count(); ++i)
    out.append(list->item(i)->text().trimmed());
  return out;
}

QString optionValue() {
  return platform::getPrivateProfileString(
      QStringLiteral("EXEINI"), QStringLiteral("NAME"), QStringLiteral("<missing>"), 1256,
      QDir(platform::dataFolder()).filePath(QStringLiteral("option.ini")));
}

class MainFormTest : public MainWindowTest {
protected:
  void SetUp() override {
    ASSERT_TRUE(folder.isValid());
    clock.setUtc(QDateTime(QDate(2024, 5, 1), QTime(0, 5, 0), Qt::UTC)); // 9:05 in Japan
  }

  void TearDown() override {
    form.reset();
    forms::optionForm().unload();
    forms::writeForm().unload();
    forms::setForm().unload();
    forms::keepForm().unload();
    forms::friendForm().unload();
    MainWindowTest::TearDown();
    EXPECT_EQ(boxes.pendingAnswers(), 0);
  }

  // A POP3 server in qelmar.ini keeps the server dialog out of the way.
  void givePop3Server() {
    settings::Pop3Server = QStringLiteral("127.0.0.1");
    ASSERT_TRUE(settings::SaveServerSettings());
    settings::Pop3Server.clear();
  }

  void writeTimes(const QStringList &times) {
    for (int i = 0; i < times.size(); ++i)
      ASSERT_EQ(korvex::putCheckTimeRecord(i + 1, times[i]), korvex::CheckTimeError::None);
  }

  // Loads the window; the timers that the test drives by hand are stopped.
  void load(bool stopTimers = true) {
    form = std::make_unique<MainForm>();
    form->receiveMail = [this](mail::ReceiveHost &host) {
      ++receives;
      EXPECT_EQ(&host, static_cast<mail::ReceiveHost *>(form.get()));
      if (duringReceive)
        duringReceive();
    };
    form->endProgram = [this] { ++ended; };
    form->Form_Load();
    if (stopTimers) {
      form->Timer2->stop();
      form->Timer3->stop();
      form->Timer4->stop();
    }
  }

  void setJapanTime(int utcHour, int minute) {
    clock.setUtc(QDateTime(QDate(2024, 5, 1), QTime(utcHour, minute, 30), Qt::UTC));
    form->Timer4_Timer();
  }

  void registerTime(const QString &hour, const QString &minute) {
    form->Text6->setText(hour);
    form->Text7->setText(minute);
    QTest::mouseClick(form->Command2, Qt::LeftButton);
  }

  FakeBrowser browser;
  int receives = 0;
  int ended = 0;
  std::function<void()> duringReceive;
};

// ---- Start-up -------------------------------------------------------------------

TEST_F(MainFormTest, FirstStartWritesPermanentConnectionAndOpensTheServerDialog) {
  load();
  EXPECT_TRUE(form->Option1->isChecked());
  EXPECT_FALSE(form->Option2->isChecked());
  EXPECT_EQ(optionValue(), QStringLiteral("0"));
  // No POP3 server yet: the server dialog is open beside the main window.
  ASSERT_TRUE(forms::optionForm().loaded());
  EXPECT_TRUE(forms::optionForm().get()->isVisible());
  // The compose window was loaded hidden, its fortune box unticked.
  ASSERT_TRUE(forms::writeForm().loaded());
  EXPECT_FALSE(forms::writeForm().get()->isVisible());
  EXPECT_FALSE(forms::writeForm().get()->Check1->isChecked());
  // Help box hidden and empty, check off, the files opened.
  EXPECT_FALSE(form->Text1->isVisibleTo(form.get()));
  EXPECT_TRUE(form->Text1->toPlainText().isEmpty());
  EXPECT_FALSE(form->Option3->isChecked());
  EXPECT_EQ(form->Command1->text(), QStringLiteral("チェック開始"));
  EXPECT_EQ(form->Command1->palette().color(QPalette::Button), QColor(224, 224, 224));
  EXPECT_TRUE(QFile::exists(folder.dataFile(kTimeFile)));
  EXPECT_TRUE(boxes.boxes().isEmpty());
}

TEST_F(MainFormTest, WithAPop3ServerNoDialogOpens) {
  givePop3Server();
  load();
  EXPECT_EQ(settings::Pop3Server, QStringLiteral("127.0.0.1"));
  EXPECT_FALSE(forms::optionForm().loaded());
}

TEST_F(MainFormTest, WindowCaptionBorderAndSize) {
  givePop3Server();
  load();
  EXPECT_EQ(form->windowTitle(), QStringLiteral("Korvex　Ver 2.15"));
  EXPECT_FALSE(form->windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(form->minimumSize(), form->maximumSize());
  // Working fields never show.
  form->show();
  for (QWidget *w :
       {static_cast<QWidget *>(form->Text10), static_cast<QWidget *>(form->Text5),
        static_cast<QWidget *>(form->Option3), static_cast<QWidget *>(form->Command10)})
    EXPECT_FALSE(w->isVisible()) << w->objectName().toStdString();
  // Every control is found by its name.
  for (const char *name :
       {"Command1", "Command2",  "Command3",  "Command4",  "Command5",  "Command6",  "Command7",
        "Command8", "Command9",  "Command10", "Command11", "Command12", "Command13", "Text1",
        "Text2",    "Text3",     "Text5",     "Text6",     "Text7",     "Text10",    "Text11",
        "Text12",   "List1",     "Option1",   "Option2",   "Option3",   "Frame1",    "Frame2",
        "Frame3",   "Label9",    "Label14",   "TreeView1", "Picture1",  "Timer2",    "Timer3",
        "Timer4",   "ImageList1"})
    EXPECT_NE(form->findChild<QObject *>(QString::fromLatin1(name)), nullptr) << name;
}

struct OptionCase {
  const char *stored;
  bool hangUp;
  const char *written;
};

class ConnectionModeAtStart : public MainFormTest,
                              public ::testing::WithParamInterface<OptionCase> {};

TEST_P(ConnectionModeAtStart, SelectsByTheStoredNumberAndWritesItBack) {
  const OptionCase c = GetParam();
  ASSERT_TRUE(folder.writeBytes(folder.dataFile(QStringLiteral("option.ini")),
                                QByteArray("[EXEINI]\r\nNAME=") + c.stored + "\r\n"));
  givePop3Server();
  load();
  EXPECT_EQ(form->Option2->isChecked(), c.hangUp);
  EXPECT_EQ(form->Option1->isChecked(), !c.hangUp);
  EXPECT_EQ(form->hangUpMode(), c.hangUp);
  EXPECT_EQ(optionValue(), QString::fromLatin1(c.written));
}

INSTANTIATE_TEST_SUITE_P(Values, ConnectionModeAtStart,
                         ::testing::Values(OptionCase{"1", true, "1"}, OptionCase{"-1", true, "1"},
                                           OptionCase{"2", true, "1"}, OptionCase{"0", false, "0"},
                                           OptionCase{"abc", false, "0"},
                                           OptionCase{"", false, "0"}));

TEST_F(MainFormTest, ClickingHangUpModeIsKeptForTheNextStart) {
  givePop3Server();
  load();
  form->show();
  QTest::mouseClick(form->Option2, Qt::LeftButton, {}, QPoint(8, form->Option2->height() / 2));
  EXPECT_TRUE(form->Option2->isChecked());
  EXPECT_EQ(optionValue(), QStringLiteral("1"));
  form.reset();
  load();
  EXPECT_TRUE(form->Option2->isChecked());
  form->show();
  QTest::mouseClick(form->Option1, Qt::LeftButton, {}, QPoint(8, form->Option1->height() / 2));
  EXPECT_EQ(optionValue(), QStringLiteral("0"));
}

TEST_F(MainFormTest, HangUpDropsEveryDialUpConnectionInEitherMode) {
  dialUp.connections = {{QStringLiteral("a"), QStringLiteral("ppp0"), QStringLiteral("pppoe")},
                        {QStringLiteral("b"), QStringLiteral("modem"), QStringLiteral("gsm")}};
  givePop3Server();
  load();
  EXPECT_FALSE(form->hangUpMode());
  QTest::mouseClick(form->Command13, Qt::LeftButton);
  EXPECT_EQ(dialUp.hungUp, (QStringList{QStringLiteral("a"), QStringLiteral("b")}));
  // The receive routine's hang-up is the same command.
  form->hangUp();
  EXPECT_EQ(dialUp.hungUp.size(), 4);
}

TEST_F(MainFormTest, MissingDataFolderIsSaidOnceAndTheProgramRunsOn) {
  ASSERT_TRUE(QDir(folder.dataPath()).removeRecursively());
  givePop3Server(); // qelmar.ini lives in the program folder, not the data folder
  boxes.pushAnswer(MsgAnswer::Ok);
  load();
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("★MAilData")));
  EXPECT_EQ(form->List1->count(), 0);
  EXPECT_EQ(form->TreeView1->model()->rowCount(), 2);

  // Registering cannot succeed, and must not look as if it did.
  boxes.clear();
  boxes.pushAnswer(MsgAnswer::Ok);
  registerTime(QStringLiteral("9"), QStringLiteral("05"));
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("★MAilData")));
  EXPECT_EQ(form->List1->count(), 0);
  EXPECT_EQ(form->Text6->text(), QStringLiteral("9"));
  EXPECT_EQ(form->Text7->text(), QStringLiteral("05"));
  EXPECT_FALSE(QDir(folder.dataPath()).exists());
}

TEST_F(MainFormTest, AWindowsDataFolderBesideAnEmptyOneIsUsedAndTwoWithDataAreNamed) {
  // The build lays out an empty "★MAilData"; the Windows program's folder
  // is copied beside it as "★MailData" with three received mails.
  const QString copied = folder.path() + QStringLiteral(u"/★MailData");
  ASSERT_TRUE(QDir().mkdir(copied));
  QByteArray three;
  for (const char *subject : {"one", "two", "three"}) {
    mail::MailRecord r;
    r.Subject = QString::fromLatin1(subject);
    three += mail::encodeMailRecord(r);
  }
  ASSERT_TRUE(folder.writeBytes(copied + QStringLiteral("/QLMDATA2.DATA"), three));
  givePop3Server();
  load();
  EXPECT_TRUE(boxes.boxes().isEmpty());
  const QAbstractItemModel *m = form->TreeView1->model();
  ASSERT_EQ(m->rowCount(), 2);
  EXPECT_EQ(m->rowCount(m->index(0, 0)), 3); // "着信履歴" and its three mails
  // Nothing is written into the empty twin.
  EXPECT_TRUE(QDir(folder.dataPath()).isEmpty());
  form.reset();

  // When both hold data, the start says so and names both.
  mail::MailRecord other;
  other.Subject = QStringLiteral("elsewhere");
  ASSERT_TRUE(folder.writeBytes(folder.dataFile(QStringLiteral("qlmdata5.data")),
                                mail::encodeMailRecord(other)));
  boxes.pushAnswer(MsgAnswer::Ok);
  load();
  ASSERT_EQ(boxes.boxes().size(), 1);
  const QString text = boxes.boxes()[0].text;
  EXPECT_TRUE(text.contains(QDir::toNativeSeparators(copied))) << text.toStdString();
  EXPECT_TRUE(text.contains(QDir::toNativeSeparators(folder.dataPath()))) << text.toStdString();
}

// ---- History overview -------------------------------------------------------------

TEST_F(MainFormTest, TreeShowsBothHistoriesWithTrimmedSubjects) {
  for (const char *s : {"first", "second   ", "  third"}) {
    mail::MailRecord r;
    r.Subject = QString::fromLatin1(s);
    ASSERT_TRUE(mail::appendHistoryRecord(mail::History::Received, r).ok());
  }
  for (const char *s : {"sent one", "送信二"}) {
    mail::MailRecord r;
    r.Subject = QString::fromUtf8(s);
    ASSERT_TRUE(mail::appendHistoryRecord(mail::History::Sent, r).ok());
  }
  givePop3Server();
  load();
  QTreeView *tree = form->TreeView1;
  const QAbstractItemModel *m = tree->model();
  ASSERT_EQ(m->rowCount(), 2);
  const QModelIndex received = m->index(0, 0);
  const QModelIndex sent = m->index(1, 0);
  auto line = [m](const QModelIndex &node, int row) { return m->index(row, 0, node); };
  EXPECT_EQ(received.data().toString(), QStringLiteral("着信履歴"));
  EXPECT_EQ(sent.data().toString(), QStringLiteral("送信履歴"));
  ASSERT_EQ(m->rowCount(received), 3);
  EXPECT_EQ(line(received, 1).data().toString(), QStringLiteral("second"));
  EXPECT_EQ(line(received, 2).data().toString(), QStringLiteral("third"));
  ASSERT_EQ(m->rowCount(sent), 2);
  EXPECT_EQ(line(sent, 1).data().toString(), QStringLiteral("送信二"));
  EXPECT_EQ(korvex::nodeImage(received), korvex::ImageList::NodeExpanded);
  EXPECT_EQ(korvex::nodeImage(line(received, 0)), korvex::ImageList::MailImage);
  // Nodes in the order they were added: node 1, its three mails, node n + 2.
  EXPECT_EQ(korvex::nodeIndex(received), 1);
  EXPECT_EQ(korvex::nodeIndex(line(received, 2)), 4);
  EXPECT_EQ(korvex::nodeIndex(sent), 5);
  EXPECT_EQ(korvex::nodeIndex(line(sent, 1)), 7);
  // Each history's last mail was brought into view, its history opened as
  // its picture says.
  EXPECT_TRUE(tree->isExpanded(received));
  EXPECT_TRUE(tree->isExpanded(sent));
  EXPECT_EQ(korvex::nodeImage(sent), korvex::ImageList::NodeExpanded);

  tree->expand(received);
  tree->collapse(received);
  EXPECT_EQ(korvex::nodeImage(received), korvex::ImageList::NodeCollapsed);
  tree->expand(received);
  EXPECT_EQ(korvex::nodeImage(received), korvex::ImageList::NodeExpanded);
}

// The tree shows the histories as the start saw them for the whole run:
// lines read after a delete still hold the subjects of that moment, whether
// one mail or every mail of the history went.
TEST_F(MainFormTest, TreeLinesKeepTheStartsSubjectsAfterOneAndAllMailsAreDeleted) {
  constexpr int Mails = 2100; // five blocks of lines, each read when first shown
  {
    mail::MailRecord r;
    QByteArray all;
    for (int i = 1; i <= Mails; ++i) {
      r.Subject = QStringLiteral("件名%1").arg(i);
      r.Flag = 1;
      all += mail::encodeMailRecord(r);
    }
    ASSERT_TRUE(folder.writeBytes(mail::historyPath(mail::History::Received), all));
  }
  givePop3Server();
  load();
  const QAbstractItemModel *m = form->TreeView1->model();
  const QModelIndex received = m->index(0, 0);
  ASSERT_EQ(m->rowCount(received), Mails);
  auto line = [&](int row) { return m->index(row, 0, received).data().toString(); };
  EXPECT_EQ(line(0), u"件名1"); // the first block is read now, the others later

  // "１件削除" of the first mail: Flag 0, then the rewrite.
  ASSERT_TRUE(mail::markHistoryRecord(mail::History::Received, 1));
  ASSERT_TRUE(mail::rewriteHistory(mail::History::Received));
  ASSERT_EQ(mail::historyCount(mail::History::Received), Mails - 1);
  for (const int row : {0, 600, Mails - 1})
    EXPECT_EQ(line(row), QStringLiteral("件名%1").arg(row + 1)) << row;

  // "全件削除".
  ASSERT_TRUE(mail::markAllHistoryRecords(mail::History::Received));
  ASSERT_TRUE(mail::rewriteHistory(mail::History::Received));
  ASSERT_EQ(mail::historyCount(mail::History::Received), 0);
  ASSERT_EQ(m->rowCount(received), Mails);
  for (const int row : {1, 1100, 1600})
    EXPECT_EQ(line(row), QStringLiteral("件名%1").arg(row + 1)) << row;
}

TEST_F(MainFormTest, StartUpWithAFullHistoryAndACutShortDeleteListsWhatItCanAndSaysTheRest) {
  // More received records than record numbers reach (sparse: blank records).
  {
    QFile f(mail::historyPath(mail::History::Received));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_TRUE(
        f.resize(qint64(mail::MailLayout::MaxRecords + 3) * mail::MailLayout::RecordLength));
  }
  // A delete of the sent history stopped after the history file was removed.
  for (const char *s : {"kept one", "gone", "kept two"}) {
    mail::MailRecord r;
    r.Subject = QString::fromLatin1(s);
    ASSERT_TRUE(mail::appendHistoryRecord(mail::History::Sent, r).ok());
  }
  ASSERT_TRUE(mail::markHistoryRecord(mail::History::Sent, 2));
  platform::setCompactionStepHook([](int step) { return step < 2; });
  mail::rewriteHistory(mail::History::Sent);
  platform::setCompactionStepHook({});
  ASSERT_FALSE(QFile::exists(mail::historyPath(mail::History::Sent)));

  givePop3Server();
  boxes.pushAnswer(MsgAnswer::Ok);
  load();

  const QAbstractItemModel *m = form->TreeView1->model();
  const QModelIndex received = m->index(0, 0);
  ASSERT_EQ(m->rowCount(received), mail::MailLayout::MaxRecords + 1);
  EXPECT_EQ(m->index(mail::MailLayout::MaxRecords, 0, received).data().toString(),
            QStringLiteral("（ほかに3件あります。一覧に表示できるのは32766件までです）"));
  EXPECT_EQ(korvex::nodeImage(m->index(mail::MailLayout::MaxRecords, 0, received)), 0);
  const QModelIndex sent = m->index(1, 0);
  ASSERT_EQ(m->rowCount(sent), 2);
  EXPECT_EQ(m->index(1, 0, sent).data().toString(), QStringLiteral("kept two"));
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(
      boxes.boxes()[0].text,
      QStringLiteral(
          "送信履歴の削除が途中で止まっていました。作業ファイル「QLMDATA5.TMP」からメールを復元し、削除を完了しました。"));
}

TEST_F(MainFormTest, BothHistoriesEmptyGiveTwoBareNodesAndCreateTheFiles) {
  givePop3Server();
  load();
  const QAbstractItemModel *m = form->TreeView1->model();
  ASSERT_EQ(m->rowCount(), 2);
  EXPECT_EQ(m->rowCount(m->index(0, 0)), 0);
  EXPECT_EQ(m->rowCount(m->index(1, 0)), 0);
  EXPECT_TRUE(QFile::exists(mail::historyPath(mail::History::Received)));
  EXPECT_TRUE(QFile::exists(mail::historyPath(mail::History::Sent)));
}

TEST_F(MainFormTest, ClickingTheTreeSaysToUseTheHistoryButtons) {
  givePop3Server();
  load();
  form->show();
  boxes.pushAnswer(MsgAnswer::Ok);
  QTest::mouseClick(form->TreeView1->viewport(), Qt::LeftButton);
  QTRY_COMPARE(boxes.boxes().size(), 1);
  const platform::MessageBoxRequest &box = boxes.boxes()[0];
  EXPECT_EQ(box.text,
            QStringLiteral("ここでは単に一覧を表示しています。\r\nメールの内容をご覧になりたい場合"
                           "は、左の、「着信履歴」、「送信履歴」をクリックしてご覧下さい。"));
  EXPECT_TRUE(box.title.isEmpty());
  EXPECT_EQ(box.buttons, MsgButtons::Ok);
}

// ---- Check-time list ----------------------------------------------------------------

TEST_F(MainFormTest, RegisterChecksTheBoxesInOrder) {
  givePop3Server();
  load();
  const QString twoDigits = QStringLiteral("必ず２桁で入力して下さい。１→０１");
  // A one-character minute is reported first, even with no hour.
  boxes.pushAnswer(MsgAnswer::Ok);
  registerTime(QString(), QStringLiteral("5"));
  boxes.pushAnswer(MsgAnswer::Ok);
  registerTime(QStringLiteral("9"), QStringLiteral("5"));
  boxes.pushAnswer(MsgAnswer::Ok);
  registerTime(QString(), QStringLiteral("05"));
  boxes.pushAnswer(MsgAnswer::Ok);
  registerTime(QStringLiteral("9"), QString());
  ASSERT_EQ(boxes.boxes().size(), 4);
  EXPECT_EQ(boxes.boxes()[0].text, twoDigits);
  EXPECT_EQ(boxes.boxes()[1].text, twoDigits);
  EXPECT_EQ(boxes.boxes()[2].text, QStringLiteral("時間が入力されていません。"));
  EXPECT_EQ(boxes.boxes()[3].text, QStringLiteral("分が入力されていません。"));
  for (const auto &box : boxes.boxes()) {
    EXPECT_EQ(box.icon, MsgIcon::None);
    EXPECT_EQ(box.buttons, MsgButtons::Ok);
  }
  EXPECT_EQ(form->Text6->text(), QStringLiteral("9")); // the last try kept its hour
  EXPECT_EQ(QFileInfo(folder.dataFile(kTimeFile)).size(), 0);
}

TEST_F(MainFormTest, TwoDigitMessageEmptiesOnlyTheMinuteBox) {
  givePop3Server();
  load();
  boxes.pushAnswer(MsgAnswer::Ok);
  registerTime(QStringLiteral("9"), QStringLiteral("5"));
  EXPECT_EQ(form->Text6->text(), QStringLiteral("9"));
  EXPECT_TRUE(form->Text7->text().isEmpty());
}

TEST_F(MainFormTest, RegisteredTimesAreAppendedAsTyped) {
  givePop3Server();
  load();
  registerTime(QStringLiteral("9"), QStringLiteral("05"));
  EXPECT_EQ(QFileInfo(folder.dataFile(kTimeFile)).size(), 404);
  EXPECT_TRUE(form->Text5->text().isEmpty());
  EXPECT_TRUE(form->Text6->text().isEmpty());
  EXPECT_TRUE(form->Text7->text().isEmpty());
  registerTime(QStringLiteral("09"), QStringLiteral("05"));
  registerTime(QStringLiteral("0"), QStringLiteral("30"));
  registerTime(QStringLiteral("9"), QStringLiteral("05")); // no duplicate check
  EXPECT_EQ(trimmedEntries(form->List1),
            (QStringList{QStringLiteral("9:05"), QStringLiteral("09:05"), QStringLiteral("0:30"),
                         QStringLiteral("9:05")}));
  const QByteArray bytes = fileBytes(folder.dataFile(kTimeFile));
  ASSERT_EQ(bytes.size(), 4 * 404);
  EXPECT_EQ(bytes.mid(404 + 204, 6), QByteArray("09:05 "));
  EXPECT_EQ(bytes.mid(808 + 204, 6), QByteArray("0:30  "));
  EXPECT_TRUE(boxes.boxes().isEmpty());
}

TEST_F(MainFormTest, TimesThatCanNeverComeAreRefusedAfterTheEntryChecks) {
  givePop3Server();
  load();
  const QString refused = QStringLiteral(
      "この時刻にはチェックできません。時は０～２４、分は００～５９を半角数字で入力して下さい。");
  const QList<std::pair<const char *, const char *>> typed = {
      {"25", "00"},   {"9", "75"},  {"ab", "cd"}, {"9", "123"},
      {"９", "０５"}, {"9 ", "05"}, {"-1", "05"}};
  for (const auto &[hour, minute] : typed) {
    boxes.pushAnswer(MsgAnswer::Ok);
    registerTime(QString::fromUtf8(hour), QString::fromUtf8(minute));
  }
  ASSERT_EQ(boxes.boxes().size(), typed.size());
  for (const auto &box : boxes.boxes()) {
    EXPECT_EQ(box.text, refused);
    EXPECT_EQ(box.buttons, MsgButtons::Ok);
  }
  // The typed time stays in the boxes to be corrected; nothing is listed.
  EXPECT_EQ(form->Text6->text(), QStringLiteral("-1"));
  EXPECT_EQ(form->Text7->text(), QStringLiteral("05"));
  EXPECT_EQ(form->List1->count(), 0);
  EXPECT_EQ(QFileInfo(folder.dataFile(kTimeFile)).size(), 0);
  // The Windows program's messages still come first.
  boxes.clear();
  boxes.pushAnswer(MsgAnswer::Ok);
  registerTime(QStringLiteral("25"), QStringLiteral("7"));
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].text, QStringLiteral("必ず２桁で入力して下さい。１→０１"));
}

TEST_F(MainFormTest, TimesTypedWithALeadingZeroOrHourZeroFire) {
  givePop3Server();
  writeTimes({QStringLiteral("08:30"), QStringLiteral("0:30"), QStringLiteral("00:30"),
              QStringLiteral("24:30"), QStringLiteral("8:30")});
  const QByteArray before = fileBytes(folder.dataFile(kTimeFile));
  load();
  form->Command1_Click();
  clock.setUtc(QDateTime(QDate(2024, 5, 1), QTime(23, 30, 0), Qt::UTC)); // 8:30 in Japan
  form->Timer4_Timer();
  runPass();
  EXPECT_EQ(receives, 2);                                                // "08:30" and "8:30"
  clock.setUtc(QDateTime(QDate(2024, 5, 1), QTime(15, 30, 0), Qt::UTC)); // 24:30 in Japan
  form->Timer4_Timer();
  runPass();
  EXPECT_EQ(receives, 5); // "0:30", "00:30" and "24:30"
  EXPECT_EQ(trimmedEntries(form->List1),
            (QStringList{QStringLiteral("08:30"), QStringLiteral("0:30"), QStringLiteral("00:30"),
                         QStringLiteral("24:30"), QStringLiteral("8:30")}));
  EXPECT_EQ(fileBytes(folder.dataFile(kTimeFile)), before);
}

TEST_F(MainFormTest, ClockShowsSecondsAndTheLocaleShortDate) {
  givePop3Server();
  load();
  const QDateTime local(QDate(2026, 12, 8), QTime(9, 5, 3));
  clock.setLocal(local);
  for (const QLocale &locale : {QLocale(QLocale::Japanese, QLocale::Japan),
                                QLocale(QLocale::English, QLocale::UnitedStates),
                                QLocale(QLocale::German, QLocale::Germany)}) {
    QLocale::setDefault(locale);
    form->Timer2_Timer();
    EXPECT_EQ(form->Text2->text(),
              locale.toString(local.date(), QLocale::ShortFormat) + QStringLiteral("  9:05:03"))
        << locale.name().toStdString();
    EXPECT_EQ(form->Text2->cursorPosition(), 0);
  }
  QLocale::setDefault(QLocale::system());
  EXPECT_EQ(QLocale(QLocale::Japanese, QLocale::Japan).toString(local.date(), QLocale::ShortFormat),
            QStringLiteral("2026/12/08"));
}

TEST_F(MainFormTest, RegisterOnAFullFileSaysSoAndWritesNothing) {
  givePop3Server();
  load();
  const QByteArray full = QByteArray(korvex::CheckTimeLayout::MaxRecords, '\0').repeated(404);
  ASSERT_TRUE(folder.writeBytes(folder.dataFile(kTimeFile), full));
  boxes.pushAnswer(MsgAnswer::Ok);
  registerTime(QStringLiteral("9"), QStringLiteral("05"));
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("32767")));
  EXPECT_EQ(QFileInfo(folder.dataFile(kTimeFile)).size(), full.size());
  EXPECT_EQ(form->Text6->text(), QStringLiteral("9"));
  EXPECT_EQ(form->Text7->text(), QStringLiteral("05"));
}

TEST_F(MainFormTest, DeleteNeedsASelection) {
  writeTimes({QStringLiteral("8:00")});
  givePop3Server();
  load();
  form->show();
  boxes.pushAnswer(MsgAnswer::Ok);
  QTest::mouseClick(form->Command9, Qt::LeftButton);
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].text, QStringLiteral("データが選択されていません"));
  EXPECT_EQ(boxes.boxes()[0].icon, MsgIcon::Exclamation);
  EXPECT_EQ(form->List1->count(), 1);
}

TEST_F(MainFormTest, DeleteAnsweredNoRewritesTheSameRecords) {
  writeTimes({QStringLiteral("8:00"), QStringLiteral("9:05"), QStringLiteral("10:00")});
  const QByteArray before = fileBytes(folder.dataFile(kTimeFile));
  givePop3Server();
  load();
  form->List1->setCurrentRow(1);
  boxes.pushAnswer(MsgAnswer::No);
  form->Command9_Click();
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].text, QStringLiteral("選択されたデータを削除します。よろしいですか"));
  EXPECT_EQ(boxes.boxes()[0].title, QStringLiteral("確認"));
  EXPECT_EQ(boxes.boxes()[0].buttons, MsgButtons::YesNo);
  EXPECT_EQ(boxes.boxes()[0].icon, MsgIcon::Question);
  EXPECT_EQ(fileBytes(folder.dataFile(kTimeFile)), before);
  EXPECT_EQ(trimmedEntries(form->List1),
            (QStringList{QStringLiteral("8:00"), QStringLiteral("9:05"), QStringLiteral("10:00")}));
  EXPECT_FALSE(QFile::exists(folder.dataFile(QStringLiteral("QLMDATA90.TMP"))));
}

TEST_F(MainFormTest, DeletingTheSecondOfThreeKeepsTheOthersInOrder) {
  writeTimes({QStringLiteral("8:00"), QStringLiteral("9:05"), QStringLiteral("10:00")});
  const QByteArray before = fileBytes(folder.dataFile(kTimeFile));
  givePop3Server();
  load();
  form->List1->setCurrentRow(1);
  boxes.pushAnswer(MsgAnswer::Yes);
  form->Command9_Click();
  EXPECT_EQ(trimmedEntries(form->List1),
            (QStringList{QStringLiteral("8:00"), QStringLiteral("10:00")}));
  // The former third record, byte for byte, is now record 2.
  EXPECT_EQ(fileBytes(folder.dataFile(kTimeFile)), before.left(404) + before.mid(808, 404));
  EXPECT_FALSE(QFile::exists(folder.dataFile(QStringLiteral("QLMDATA90.TMP"))));
}

// ---- Check cycle ----------------------------------------------------------------------

TEST_F(MainFormTest, JapanTimeFieldFollowsTheUtcClock) {
  givePop3Server();
  load();
  setJapanTime(15, 0);
  EXPECT_EQ(form->Text10->text(), QStringLiteral("24:00"));
  setJapanTime(16, 0);
  EXPECT_EQ(form->Text10->text(), QStringLiteral("1:00"));
  setJapanTime(0, 0);
  EXPECT_EQ(form->Text10->text(), QStringLiteral("9:00"));
}

TEST_F(MainFormTest, OutsideJapanTheTimeTheListMeansStandsBesideTheClock) {
  givePop3Server();
  load();
  // A machine on UTC: its clock says 0:05 while the list is compared with 9:05.
  const QDateTime utc(QDate(2024, 5, 1), QTime(0, 5, 30), Qt::UTC);
  clock.setUtc(utc);
  clock.setLocal(QDateTime(utc.date(), utc.time()));
  form->Timer4_Timer();
  form->Timer2_Timer();
  EXPECT_TRUE(form->JapanClock->isVisibleTo(form.get()));
  EXPECT_EQ(form->JapanClock->text(), QStringLiteral("日本時間 9:05"));
  EXPECT_TRUE(form->Text2->text().endsWith(QStringLiteral("  0:05:30"))) << form->Text2->text().toStdString();
  // Nine hours ahead (a read a moment later still counts): the clock is Japan's.
  clock.setLocal(QDateTime(utc.date(), QTime(9, 5, 31)));
  form->Timer4_Timer();
  EXPECT_FALSE(form->JapanClock->isVisibleTo(form.get()));
  // Half an hour off Japan is another zone.
  clock.setLocal(QDateTime(utc.date(), QTime(8, 35, 30)));
  form->Timer4_Timer();
  EXPECT_TRUE(form->JapanClock->isVisibleTo(form.get()));
  // The hour after midnight: the list's clock says 24:05, the label as
  // people read it.
  const QDateTime late(QDate(2024, 5, 1), QTime(15, 5, 0), Qt::UTC);
  clock.setUtc(late);
  clock.setLocal(QDateTime(late.date(), late.time()));
  form->Timer4_Timer();
  EXPECT_EQ(form->Text10->text(), QStringLiteral("24:05"));
  EXPECT_EQ(form->JapanClock->text(), QStringLiteral("日本時間 0:05"));
}

TEST_F(MainFormTest, NewMailFoundInAMatchingMinuteStaysOnTheStatusLineThroughThatMinute) {
  writeTimes({QStringLiteral("9:05")});
  givePop3Server();
  load();
  form->Command1_Click();
  setJapanTime(0, 5);
  QStringList results = {QStringLiteral("新着メール無し。"), QStringLiteral("新着メール有り。"),
                         QStringLiteral("新着メール無し。")};
  form->receiveMail = [&](mail::ReceiveHost &host) {
    EXPECT_TRUE(host.unattended());
    host.setStatusText(results.takeFirst());
  };
  runPass();
  EXPECT_EQ(form->Text3->text(), QStringLiteral("新着メール無し。"));
  runPass();
  runPass();
  EXPECT_EQ(form->Text3->text(), QStringLiteral("新着メール有り。"));

  // A click says what it found, and so does the next matching minute.
  form->receiveMail = [&](mail::ReceiveHost &host) {
    EXPECT_FALSE(host.unattended());
    host.setStatusText(QStringLiteral("新着メール無し。"));
  };
  form->Command4_Click();
  EXPECT_EQ(form->Text3->text(), QStringLiteral("新着メール無し。"));
  form->receiveMail = [&](mail::ReceiveHost &host) {
    host.setStatusText(QStringLiteral("新着メール有り。"));
  };
  runPass();
  form->receiveMail = [&](mail::ReceiveHost &host) {
    host.setStatusText(QStringLiteral("新着メール無し。"));
  };
  setJapanTime(0, 6);
  writeTimes({QStringLiteral("9:05"), QStringLiteral("9:06")});
  form->Command10_Click();
  runPass();
  EXPECT_EQ(form->Text3->text(), QStringLiteral("新着メール無し。"));
}

TEST_F(MainFormTest, StartStopButtonAlternates) {
  givePop3Server();
  load();
  form->show();
  QTest::mouseClick(form->Command1, Qt::LeftButton);
  EXPECT_TRUE(form->Option3->isChecked());
  EXPECT_EQ(form->Command1->text(), QStringLiteral("チェック停止"));
  EXPECT_EQ(form->Command1->palette().color(QPalette::Button), QColor(255, 0, 0));
  QTest::mouseClick(form->Command1, Qt::LeftButton);
  EXPECT_FALSE(form->Option3->isChecked());
  EXPECT_EQ(form->Command1->text(), QStringLiteral("チェック開始"));
  EXPECT_EQ(form->Command1->palette().color(QPalette::Button), QColor(192, 192, 192));
  QTest::mouseClick(form->Command1, Qt::LeftButton);
  EXPECT_TRUE(form->Option3->isChecked());
  EXPECT_EQ(form->Command1->text(), QStringLiteral("チェック停止"));
  EXPECT_EQ(form->CheckClickCount, 1);
  // Starting the check neither minimizes the window nor runs a pass by itself.
  EXPECT_FALSE(form->windowState() & Qt::WindowMinimized);
  EXPECT_EQ(receives, 0);
}

TEST_F(MainFormTest, WithTheCheckOffTheWindowDoesNotWakeEveryTenMilliseconds) {
  givePop3Server();
  load(false); // the window's own timers run
  QSignalSpy ticks(form->Timer3, &QTimer::timeout);
  QTest::qWait(300);
  EXPECT_TRUE(form->Timer3->isActive());
  EXPECT_EQ(ticks.count(), 0);
}

TEST_F(MainFormTest, PassReceivesOncePerMatchingEntry) {
  writeTimes({QStringLiteral("8:00"), QStringLiteral("9:05"), QStringLiteral("10:00"),
              QStringLiteral(" 9:05 ")});
  givePop3Server();
  load();
  form->Command1_Click();

  setJapanTime(0, 5); // 9:05, registered twice
  runPass();
  EXPECT_EQ(receives, 2);
  EXPECT_FALSE(form->passRunning());
  runPass(); // no once-per-minute guard
  EXPECT_EQ(receives, 4);

  setJapanTime(0, 6);
  runPass();
  EXPECT_EQ(receives, 4);

  setJapanTime(23, 0); // 8:00
  runPass();
  EXPECT_EQ(receives, 5);
  setJapanTime(1, 0); // 10:00
  runPass();
  EXPECT_EQ(receives, 6);
}

TEST_F(MainFormTest, APassIsFollowedByTheNextOnlyWhileTheCheckTimerRuns) {
  writeTimes({QStringLiteral("9:05")});
  givePop3Server();
  load();
  form->Command1_Click();
  setJapanTime(0, 5);
  QTimer ticker; // each wait ends within a few ticks
  QObject::connect(&ticker, &QTimer::timeout,
                   [this] { clock.setMilliseconds(clock.milliseconds() + 1000); });
  ticker.start(2);

  // The second pass follows the first by itself; the check goes off in it.
  duringReceive = [this] {
    if (receives == 2)
      form->Command1_Click();
  };
  form->Timer3->start();
  form->Timer3_Timer(); // as a tick
  EXPECT_EQ(receives, 1);
  QTRY_COMPARE_WITH_TIMEOUT(receives, 2, 5000);
  QTRY_VERIFY_WITH_TIMEOUT(!form->passRunning(), 5000);
  QTest::qWait(100);
  EXPECT_EQ(receives, 2);

  // A timer stopped between two passes starts nothing more.
  duringReceive = nullptr;
  form->Command1_Click();
  form->Timer3->start();
  form->Timer3_Timer();
  EXPECT_EQ(receives, 3);
  form->Timer3->stop();
  QTest::qWait(100);
  EXPECT_EQ(receives, 3);
  EXPECT_FALSE(form->passRunning());
}

TEST_F(MainFormTest, NoPassWithTheCheckOffButTheButtonStillReceives) {
  writeTimes({QStringLiteral("9:05")});
  givePop3Server();
  load();
  setJapanTime(0, 5);
  runPass();
  EXPECT_EQ(receives, 0);
  form->show();
  QTest::mouseClick(form->Command4, Qt::LeftButton);
  EXPECT_EQ(receives, 1);
  // The receive button writes its text but leaves the help box hidden.
  EXPECT_EQ(form->Text1->toPlainText(), QStringLiteral("メールを受信します。"));
  EXPECT_FALSE(form->Text1->isVisible());
}

TEST_F(MainFormTest, NothingStartsTwiceWhileAPassOrAReceiveRuns) {
  writeTimes({QStringLiteral("9:05")});
  givePop3Server();
  load();
  form->Command1_Click();
  setJapanTime(0, 5);
  // Inside a receive (as inside its message boxes) ticks and clicks arrive.
  int nested = 0;
  duringReceive = [&] {
    ++nested;
    EXPECT_TRUE(form->receiving());
    form->Timer3_Timer();
    form->Command4_Click();
  };
  runPass();
  EXPECT_EQ(receives, 1);
  EXPECT_EQ(nested, 1);

  // Inside the wait: a tick starts no second pass, a click still receives.
  duringReceive = nullptr;
  int ticksDuringWait = 0;
  QTimer probe;
  QObject::connect(&probe, &QTimer::timeout, [&] {
    if (!form->passRunning() || ticksDuringWait > 0)
      return;
    ++ticksDuringWait;
    form->Timer3_Timer();
    EXPECT_EQ(receives, 2);
    form->Command4_Click();
    EXPECT_EQ(receives, 3);
  });
  probe.start(0);
  runPass();
  EXPECT_EQ(ticksDuringWait, 1);
  EXPECT_EQ(receives, 3);
}

TEST_F(MainFormTest, RunningTimersCheckEveryPassOfTheMinuteAndStopAfterIt) {
  writeTimes({QStringLiteral("9:05")});
  givePop3Server();
  load(false);
  // The counter runs fast so that each 4000 ms wait ends within a few ticks.
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout,
                   [this] { clock.setMilliseconds(clock.milliseconds() + 1000); });
  ticker.start(5);
  form->Command1_Click();
  QTRY_VERIFY_WITH_TIMEOUT(receives >= 2, 10000);
  clock.setUtc(QDateTime(QDate(2024, 5, 1), QTime(0, 6, 0), Qt::UTC));
  QTRY_COMPARE_WITH_TIMEOUT(form->Text10->text(), QStringLiteral("9:06"), 3000);
  QTRY_VERIFY(!form->passRunning());
  const int after = receives;
  QTest::qWait(300);
  EXPECT_EQ(receives, after);
  // The clock display shows the local date, two blanks and the time.
  EXPECT_TRUE(form->Text2->text().contains(QStringLiteral("  ")));
  EXPECT_FALSE(form->Text2->text().trimmed().isEmpty());
}

// ---- Receive host, window state and help box -------------------------------------------

TEST_F(MainFormTest, MinimizingAndRestoringSwitchTheCaption) {
  givePop3Server();
  load();
  form->show();
  QTest::mouseClick(form->Command11, Qt::LeftButton);
  EXPECT_TRUE(form->windowState() & Qt::WindowMinimized);
  EXPECT_EQ(form->windowTitle(), QStringLiteral("メールチェック中・・・"));
  // New mail brings the window back.
  form->restoreWindow();
  EXPECT_FALSE(form->windowState() & Qt::WindowMinimized);
  EXPECT_EQ(form->windowTitle(), QStringLiteral("Korvex　Ver 2.15"));
}

TEST_F(MainFormTest, ReceiveHostWritesHelpAndStatusWithoutShowingTheHelpBox) {
  givePop3Server();
  load();
  form->show();
  form->setHelpText(QStringLiteral("メールのチェックをしています。"));
  form->setStatusText(QStringLiteral("新着メール無し。"));
  EXPECT_EQ(form->Text1->toPlainText(), QStringLiteral("メールのチェックをしています。"));
  EXPECT_FALSE(form->Text1->isVisible());
  EXPECT_EQ(form->Text3->text(), QStringLiteral("新着メール無し。"));
}

// Pressing "中止" during a receive: the button's help says what it does, and
// the receive's closing word (how far it got), written into the help box,
// is shown rather than left in a hidden box.
TEST_F(MainFormTest, TheStopButtonExplainsItselfAndItsResultIsShown) {
  givePop3Server();
  load();
  form->show();
  const QString stopped = QStringLiteral("受信を中止しました。");
  form->receiveMail = [&](mail::ReceiveHost &host) {
    host.setHelpText(QStringLiteral("メールのチェックをしています。"));
    EXPECT_FALSE(form->Text1->isVisible());
    QEnterEvent enter(QPointF(2, 2), form->Command4->mapTo(form.get(), QPointF(2, 2)),
                      form->Command4->mapToGlobal(QPointF(2, 2)));
    QApplication::sendEvent(form->Command4, &enter);
    EXPECT_EQ(form->Command4->text(), QStringLiteral("中止"));
    EXPECT_EQ(form->Text1->toPlainText(), korvex::StopReceiveHelpText);
    form->Text1->hide();
    form->Command4_Click(); // "中止"
    host.setHelpText(stopped);
  };
  form->Command4_Click();
  EXPECT_TRUE(form->Text1->isVisible());
  EXPECT_EQ(form->Text1->toPlainText(), stopped);
  EXPECT_EQ(form->Command4->text(), QStringLiteral("受信"));

  // The next receive, not stopped, writes into the box unseen again.
  form->Text1->hide();
  form->receiveMail = [](mail::ReceiveHost &host) { host.setHelpText(QStringLiteral("x")); };
  form->Command4_Click();
  EXPECT_FALSE(form->Text1->isVisible());
}

TEST_F(MainFormTest, HelpBoxFollowsTheMouse) {
  givePop3Server();
  load();
  form->show();
  const char *helped[] = {"Command1",  "Command2", "Command9", "Command3", "Command4",
                          "Command5",  "Command6", "Command7", "Command8", "Command11",
                          "Command12", "Frame3",   "List1",    "Text3",    "TreeView1"};
  for (const char *name : helped) {
    QWidget *control = form->findChild<QWidget *>(QString::fromLatin1(name));
    ASSERT_NE(control, nullptr) << name;
    QEnterEvent enter(QPointF(2, 2), control->mapTo(form.get(), QPointF(2, 2)),
                      control->mapToGlobal(QPointF(2, 2)));
    QApplication::sendEvent(control, &enter);
    EXPECT_TRUE(form->Text1->isVisible()) << name;
    EXPECT_EQ(form->Text1->toPlainText(), *korvex::mainHelpText(QString::fromLatin1(name))) << name;
  }
  // Over a control without help the box stays as it is.
  QTest::mouseMove(form->Text2);
  EXPECT_TRUE(form->Text1->isVisible());
  // Over a bare panel it goes away.
  QMouseEvent move(QEvent::MouseMove, QPointF(1, 1), form->Frame1->mapToGlobal(QPointF(1, 1)),
                   Qt::NoButton, Qt::NoButton, Qt::NoModifier);
  ASSERT_EQ(form->Frame1->childAt(QPoint(1, 1)), nullptr);
  QApplication::sendEvent(form->Frame1, &move);
  EXPECT_FALSE(form->Text1->isVisible());
  EXPECT_EQ(form->Text1->toPlainText(), *korvex::mainHelpText(QStringLiteral("TreeView1")));
}

// ---- Other windows and shut-down --------------------------------------------------------

TEST_F(MainFormTest, EachWindowButtonShowsItsSingleWindow) {
  givePop3Server();
  load();
  form->show();
  QTest::mouseClick(form->Command3, Qt::LeftButton);
  WriteForm *write = forms::writeForm().get();
  QTest::mouseClick(form->Command3, Qt::LeftButton);
  EXPECT_EQ(forms::writeForm().get(), write);
  EXPECT_TRUE(write->isVisible());
  QTest::mouseClick(form->Command5, Qt::LeftButton);
  EXPECT_TRUE(forms::friendForm().get()->isVisible());
  QTest::mouseClick(form->Command8, Qt::LeftButton);
  SetForm *set = forms::setForm().get();
  QTest::mouseClick(form->Command8, Qt::LeftButton);
  EXPECT_EQ(forms::setForm().get(), set);
  EXPECT_TRUE(set->isVisible());
  int writeForms = 0;
  for (QWidget *w : QApplication::topLevelWidgets())
    writeForms += qobject_cast<WriteForm *>(w) != nullptr;
  EXPECT_EQ(writeForms, 1);

  QTest::mouseClick(form->Command7, Qt::LeftButton);
  EXPECT_TRUE(forms::tyakuForm().get()->isVisible());
  EXPECT_EQ(mail::HistoryMode, mail::HistoryModeSent);
  QTest::mouseClick(form->Command6, Qt::LeftButton);
  EXPECT_EQ(mail::HistoryMode, mail::HistoryModeReceived);

  // "HP" opens the help page beside the program, and nothing while it is missing.
  QTest::mouseClick(form->Command12, Qt::LeftButton);
  EXPECT_TRUE(browser.opened.isEmpty());
  ASSERT_TRUE(QDir(folder.path()).mkdir(QStringLiteral("help")));
  ASSERT_TRUE(folder.writeBytes(folder.file(QStringLiteral("help/index.html")), "<h1>Korvex</h1>"));
  QTest::mouseClick(form->Command12, Qt::LeftButton);
  ASSERT_EQ(browser.opened.size(), 1);
  EXPECT_EQ(browser.opened[0], QUrl::fromLocalFile(folder.file(QStringLiteral("help/index.html"))));
  // With no browser to start, a box says where the page is.
  const qsizetype before = boxes.boxes().size();
  browser.result = false;
  boxes.pushAnswer(platform::MsgAnswer::Ok);
  QTest::mouseClick(form->Command12, Qt::LeftButton);
  ASSERT_EQ(boxes.boxes().size(), before + 1);
  EXPECT_TRUE(boxes.boxes().last().text.contains(folder.file(QStringLiteral("help/index.html"))));
}

// Windows without a fixed position open over the main window, not in a
// corner of the screen, and stay wholly on the screen.
TEST_F(MainFormTest, WindowsOpenCentredOverTheMainWindowAndOnTheScreen) {
  givePop3Server();
  load();
  const QRect area = form->screen()->availableGeometry();
  form->move(area.left() + 40, area.top() + 60);
  form->show();
  const QPoint mainCentre = form->frameGeometry().center();
  auto expectOver = [&](QWidget *w) {
    ASSERT_TRUE(w->isVisible()) << w->objectName().toStdString();
    const QRect g = w->frameGeometry();
    EXPECT_TRUE(area.contains(g)) << w->objectName().toStdString();
    if (g.width() < area.width() / 2 && g.height() < area.height() / 2) {
      EXPECT_LE((g.center() - mainCentre).manhattanLength(), 4) << w->objectName().toStdString();
    }
  };
  QTest::mouseClick(form->Command8, Qt::LeftButton);
  SetForm *set = forms::setForm().get();
  expectOver(set);
  QTest::mouseClick(set->Command1, Qt::LeftButton); // "ID,PASS"
  expectOver(forms::idPassForm().get());
  QTest::mouseClick(set->Command2, Qt::LeftButton); // "サーバー設定"
  expectOver(forms::optionForm().get());
  QTest::mouseClick(form->Command6, Qt::LeftButton);
  expectOver(forms::tyakuForm().get());

  // A window the user has moved comes back where it was left.
  const QPoint moved = set->pos() + QPoint(30, 20);
  set->move(moved);
  set->hide();
  QTest::mouseClick(form->Command8, Qt::LeftButton);
  EXPECT_EQ(set->pos(), moved);

  // With the main window in a corner, a new window is kept on the screen.
  forms::optionForm().unload();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  form->move(area.right() - form->width() / 3, area.bottom() - form->height() / 4);
  QTest::mouseClick(set->Command2, Qt::LeftButton);
  EXPECT_TRUE(area.contains(forms::optionForm().get()->frameGeometry()));
}

TEST_F(MainFormTest, ClosingEndsTheProgramAndTakesTheOtherWindows) {
  load(); // the server dialog is open too
  form->show();
  form->Command3_Click();
  ASSERT_TRUE(forms::writeForm().get()->isVisible());
  form->close();
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(platform::lastSoundFlags(), 64); // sounds purged
  EXPECT_FALSE(forms::writeForm().get()->isVisible());
  EXPECT_FALSE(forms::optionForm().get()->isVisible());
  EXPECT_FALSE(form->Timer3->isActive());
  // Nothing runs after the end, not even a receive.
  form->Command4_Click();
  EXPECT_EQ(receives, 0);
}

TEST_F(MainFormTest, ClosingDuringTheWaitOfAPassEndsItAtOnceAndSafely) {
  // As in the program, the window deletes itself when closed; here it is
  // closed from inside the 4000 ms wait of a pass.
  givePop3Server();
  load();
  form->setAttribute(Qt::WA_DeleteOnClose);
  QPointer<MainForm> window(form.release());
  window->show();
  window->Command1_Click();
  bool closed = false;
  QTimer probe;
  QObject::connect(&probe, &QTimer::timeout, [&] {
    if (!closed && window && window->passRunning()) {
      closed = true;
      window->close();
    } else if (closed) {
      clock.advance(150);
    }
  });
  probe.start(2);
  window->Timer3_Timer();
  EXPECT_TRUE(closed);
  // The pass gave up its wait soon after the close, not after 4000 ms.
  EXPECT_LT(clock.milliseconds(), 1000u);
  QTRY_VERIFY(window.isNull());
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(receives, 0);
}

TEST_F(MainFormTest, RealReceiveWithoutAServerReportsAFailedCheckAndHangsUpInHangUpMode) {
  ASSERT_TRUE(
      folder.writeBytes(folder.dataFile(QStringLiteral("option.ini")), "[EXEINI]\r\nNAME=1\r\n"));
  dialUp.connections = {{QStringLiteral("a"), QStringLiteral("ppp0"), QStringLiteral("pppoe")}};
  load(); // no POP3 server set
  form->receiveMail = [](mail::ReceiveHost &host) { mail::ReceiveMail(host); };
  boxes.pushAnswer(MsgAnswer::Ok);
  form->Command4_Click();
  EXPECT_EQ(form->Text3->text(), QStringLiteral("チェックに失敗しました。"));
  // Whole in the status box at its designed size (a line edit keeps a few
  // pixels of margin on each side).
  EXPECT_LE(form->Text3->fontMetrics().horizontalAdvance(form->Text3->text()),
            form->Text3->contentsRect().width() - 8);
  EXPECT_EQ(dialUp.hungUp, QStringList{QStringLiteral("a")});
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].title, QStringLiteral("エラー"));
}

TEST_F(MainFormTest, ClosingDuringAReceiveEndsTheProgramOnlyAfterIt) {
  givePop3Server();
  load();
  form->show();
  int endedDuringReceive = -1;
  duringReceive = [&] {
    form->close();
    endedDuringReceive = ended;
  };
  form->Command4_Click();
  EXPECT_EQ(endedDuringReceive, 0);
  EXPECT_EQ(ended, 1);
  EXPECT_FALSE(form->isVisible());
}

// "設定" → "サーバーに残す": the three choices for copies kept on the server,
// stored whole in a private file of their own and read back from it; off
// when the file is missing or damaged; a day count that is no count, or a
// file that cannot be written, is told and keeps the dialog open.
TEST_F(MainFormTest, ServerCopiesAreChosenUnderSettingsAndKeptInAPrivateFile) {
  givePop3Server();
  load();
  form->show();
  const QString file = folder.dataFile(QStringLiteral("servercopies.ini"));
  const auto openDialog = [&] {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QTest::mouseClick(form->Command8, Qt::LeftButton);
    auto *button = forms::setForm().get()->findChild<QPushButton *>(QStringLiteral("Command3"));
    EXPECT_EQ(button->text(), u"サーバーに残す");
    QTest::mouseClick(button, Qt::LeftButton);
    KeepForm *f = forms::keepForm().get();
    EXPECT_TRUE(f->isVisible());
    return f;
  };
  const auto child = [](KeepForm *f, const char *name) {
    return f->findChild<QWidget *>(QString::fromLatin1(name));
  };
  const auto days = [&](KeepForm *f) { return qobject_cast<QLineEdit *>(child(f, "DaysText")); };
  const auto box = [&](KeepForm *f, const char *name) {
    return qobject_cast<QCheckBox *>(child(f, name));
  };
  const auto click = [&](KeepForm *f, const char *name) {
    QTest::mouseClick(qobject_cast<QPushButton *>(child(f, name)), Qt::LeftButton);
  };
  // Typed anew, as the input method hands it over.
  const auto type = [](QLineEdit *edit, const QString &text) {
    edit->clear();
    QInputMethodEvent typed;
    typed.setCommitString(text);
    QCoreApplication::sendEvent(edit, &typed);
  };

  // No file yet: nothing kept, and what only applies to kept copies greyed.
  KeepForm *f = openDialog();
  const auto *label = qobject_cast<QLabel *>(child(f, "DaysLabel"));
  EXPECT_EQ(label->text(), u"n日後にサーバーから削除");
  EXPECT_EQ(label->buddy(), days(f));
  EXPECT_FALSE(days(f)->accessibleName().isEmpty());
  EXPECT_FALSE(box(f, "KeepCheck")->isChecked());
  EXPECT_FALSE(days(f)->isEnabled() || box(f, "RecordCheck")->isEnabled());
  QTest::keyClick(box(f, "KeepCheck"), Qt::Key_Space);
  EXPECT_TRUE(days(f)->isEnabled() && box(f, "RecordCheck")->isEnabled());

  for (const QString &bad :
       {QStringLiteral("0"), QStringLiteral("-3"), QStringLiteral("1.5"), QStringLiteral("3651"),
        QStringLiteral("99999999999"), QStringLiteral("1 0")}) {
    type(days(f), bad);
    boxes.pushAnswer(MsgAnswer::Ok);
    click(f, "OkCommand");
    ASSERT_EQ(boxes.boxes().size(), 1) << bad.toStdString();
    EXPECT_EQ(boxes.boxes()[0].text, u"日数は１から３６５０までの数字で入力して下さい。空欄にすると"
                                     u"、サーバーから削除しません。");
    EXPECT_EQ(boxes.boxes()[0].icon, MsgIcon::Exclamation);
    boxes.clear();
    EXPECT_TRUE(forms::keepForm().loaded());
    EXPECT_FALSE(QFile::exists(file));
  }

  // Thirty days typed with the input method on; the copies deleted with their records.
  type(days(f), QStringLiteral("３０"));
  QTest::keyClick(box(f, "RecordCheck"), Qt::Key_Space);
  click(f, "OkCommand");
  EXPECT_FALSE(forms::keepForm().loaded());
  EXPECT_EQ(fileBytes(file),
            "[SERVERCOPIES]\r\nKeep=1\r\nDeleteAfterDays=30\r\nDeleteWithRecord=1\r\n");
  struct stat st {};
  ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(QFile::exists(file + QStringLiteral(".new")));
  EXPECT_EQ(settings::serverCopies(), (settings::ServerCopies{true, 30, true}));

  // Reopened it shows them; a blank count is "never"; turned off, the other
  // two are kept for the next time it is turned on.
  f = openDialog();
  EXPECT_EQ(days(f)->text(), u"30");
  EXPECT_TRUE(box(f, "RecordCheck")->isChecked());
  days(f)->clear();
  QTest::keyClick(box(f, "KeepCheck"), Qt::Key_Space);
  EXPECT_FALSE(box(f, "RecordCheck")->isEnabled());
  click(f, "OkCommand");
  EXPECT_EQ(fileBytes(file),
            "[SERVERCOPIES]\r\nKeep=0\r\nDeleteAfterDays=\r\nDeleteWithRecord=1\r\n");

  // "中止" changes nothing.
  f = openDialog();
  QTest::keyClick(box(f, "KeepCheck"), Qt::Key_Space);
  click(f, "CancelCommand");
  EXPECT_EQ(settings::serverCopies(), (settings::ServerCopies{false, 0, true}));

  // A damaged file: only an exact "1" turns a choice on, and a day count
  // that cannot be read deletes nothing.
  ASSERT_TRUE(folder.writeBytes(file, "[SERVERCOPIES]\r\nKeep=1\r\nDeleteAfterDays=1e3\r\n"
                                      "DeleteWithRecord=yes\r\n"));
  EXPECT_EQ(settings::serverCopies(), (settings::ServerCopies{true, 0, false}));
  ASSERT_TRUE(folder.writeBytes(file, QByteArray("\0\xff[SERVERCOPIES\r\nKeep", 20)));
  EXPECT_EQ(settings::serverCopies(), settings::ServerCopies{});
  f = openDialog();
  EXPECT_FALSE(box(f, "KeepCheck")->isChecked());

  // A file that cannot be written is told, not taken for saved.
  ASSERT_TRUE(QDir().mkdir(file + QStringLiteral(".new")));
  QTest::keyClick(box(f, "KeepCheck"), Qt::Key_Space);
  boxes.pushAnswer(MsgAnswer::Ok);
  click(f, "OkCommand");
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].text, u"サーバーに残す設定を保存できませんでした。");
  EXPECT_TRUE(forms::keepForm().loaded());
  EXPECT_EQ(settings::serverCopies(), settings::ServerCopies{});
}

} // namespace
