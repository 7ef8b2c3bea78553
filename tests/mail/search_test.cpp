// Finding mail in the histories: the index in the data folder, and the
// viewer's "全メール検索" beside the search box.
#include "editor/editorpane.h"
#include "mail/store/history.h"
#include "mail/store/searchindex.h"
#include "mail/tyakuform.h"
#include "settings/friendform.h"
#include "tests/support/messageboxdouble.h"
#include "tests/support/programfolder.h"

#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace mail;

namespace {

void append(const QString &subject, const QString &from, const QString &body) {
  MailRecord r;
  r.Subject = subject;
  r.Info1 = from;
  r.Info2 = QStringLiteral("Mon, 7 Dec 2026 09:05:00 +0900");
  r.Body = body;
  ASSERT_TRUE(appendHistoryRecord(History::Received, r).ok());
}

QList<int> find(const QString &query) {
  const search::SearchResult r =
      search::searchHistory(search::pathsFor(History::Received), History::Received, query);
  EXPECT_TRUE(r.ok) << query.toStdString();
  return r.records;
}

void deleteRecord(int n) {
  ASSERT_TRUE(markHistoryRecord(History::Received, n));
  ASSERT_TRUE(rewriteHistory(History::Received));
}

} // namespace

class SearchIndex : public ::testing::Test {
protected:
  TempProgramFolder folder;
  void SetUp() override { ASSERT_TRUE(folder.isValid()); }
  void TearDown() override { search::waitForUpdates(); }
  QString indexPath() const { return search::pathsFor(History::Received).index; }
};

TEST_F(SearchIndex, FindsWordsOfAnyLengthFoldedAsAJapaneseReaderExpects) {
  append(QStringLiteral("定例会議のお知らせ"), QStringLiteral("山田 <yamada@example.jp>"),
         QStringLiteral("来週は十時からです。"));
  append(QStringLiteral("見積書"), QStringLiteral("Suzuki <suzuki@example.jp>"),
         QStringLiteral("ＰＲＯＪＥＣＴ Ｘ の予算を添付します。"));
  append(QStringLiteral("ｶｲｷﾞ室の予約"), QStringLiteral("room@example.jp"),
         QStringLiteral("Room booking for Friday."));

  EXPECT_EQ(find(QStringLiteral("会議")), QList<int>{1});      // two characters
  EXPECT_EQ(find(QStringLiteral("見")), QList<int>{2});        // one character
  EXPECT_EQ(find(QStringLiteral("カイギ")), QList<int>{3});    // half-width kana
  EXPECT_EQ(find(QStringLiteral("project x")), QList<int>{2}); // full-width letters, any case
  EXPECT_EQ(find(QStringLiteral("ＢＯＯＫＩＮＧ")), QList<int>{3});
  EXPECT_EQ(find(QStringLiteral("yamada@example")), QList<int>{1}); // the sender
  EXPECT_EQ(find(QStringLiteral("09:05")), (QList<int>{1, 2, 3}));  // the date
  EXPECT_EQ(find(QStringLiteral("  十時から ")), QList<int>{1});
  EXPECT_TRUE(find(QStringLiteral("会議室の予約")).isEmpty());
  EXPECT_TRUE(find(QStringLiteral("\"")).isEmpty());
  EXPECT_TRUE(find(QStringLiteral("\"会議\" OR x")).isEmpty()); // no query syntax

  struct stat st {};
  ASSERT_EQ(::stat(QFile::encodeName(indexPath()).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SearchIndex, FollowsDeletesAndNewMailAndKeepsNothingOfADeletedMail) {
  append(QStringLiteral("one"), QStringLiteral("a@example.jp"),
         QStringLiteral("秘密の合言葉は山桜です"));
  append(QStringLiteral("two"), QStringLiteral("b@example.jp"), QStringLiteral("common text"));
  append(QStringLiteral("three"), QStringLiteral("c@example.jp"), QStringLiteral("common text"));
  EXPECT_EQ(find(QStringLiteral("合言葉")), QList<int>{1});
  EXPECT_EQ(find(QStringLiteral("three")), QList<int>{3});

  deleteRecord(1);
  EXPECT_TRUE(find(QStringLiteral("合言葉")).isEmpty());
  EXPECT_EQ(find(QStringLiteral("three")), QList<int>{2});
  EXPECT_EQ(find(QStringLiteral("common")), (QList<int>{1, 2}));
  EXPECT_FALSE(folder.readBytes(indexPath()).contains(QStringLiteral("合言葉").toUtf8()));

  append(QStringLiteral("four"), QStringLiteral("d@example.jp"), QStringLiteral("common text"));
  EXPECT_EQ(find(QStringLiteral("common")), (QList<int>{1, 2, 3}));
}

TEST_F(SearchIndex, ADamagedIndexOrAHistoryChangedBehindItsBackIsReadAnew) {
  append(QStringLiteral("alpha"), QStringLiteral("a@example.jp"), QStringLiteral("first"));
  append(QStringLiteral("beta"), QStringLiteral("b@example.jp"), QStringLiteral("second"));
  EXPECT_EQ(find(QStringLiteral("beta")), QList<int>{2});

  ASSERT_TRUE(folder.writeBytes(indexPath(), QByteArray(8192, 'x')));
  EXPECT_EQ(find(QStringLiteral("beta")), QList<int>{2});

  // Another program writes a history of as many records with other mails.
  const QByteArray before = folder.readBytes(historyPath(History::Received));
  QFile::remove(historyPath(History::Received));
  append(QStringLiteral("gamma"), QStringLiteral("g@example.jp"), QStringLiteral("third"));
  append(QStringLiteral("alpha"), QStringLiteral("a@example.jp"), QStringLiteral("first"));
  ASSERT_EQ(folder.readBytes(historyPath(History::Received)).size(), before.size());
  EXPECT_TRUE(find(QStringLiteral("beta")).isEmpty());
  EXPECT_EQ(find(QStringLiteral("alpha")), QList<int>{2});
  EXPECT_EQ(find(QStringLiteral("gamma")), QList<int>{1});
}

// Each mail is found at its own record number after deletes in several
// places and after another program wrote the same mails in reverse order.
TEST_F(SearchIndex, EveryMailIsFoundAtItsNumberAfterDeletesAndAReorder) {
  const int n = 60;
  const auto word = [](int i) { return QStringLiteral("code%1z").arg(i, 4, 10, QLatin1Char('0')); };
  for (int i = 1; i <= n; ++i)
    append(QStringLiteral("mail %1").arg(i), QStringLiteral("x@example.jp"), word(i));
  EXPECT_EQ(find(word(40)), QList<int>{40});

  for (const int gone : {5, 6, 40})
    ASSERT_TRUE(markHistoryRecord(History::Received, gone));
  ASSERT_TRUE(rewriteHistory(History::Received));
  QList<int> kept;
  for (int i = 1; i <= n; ++i) {
    if (i == 5 || i == 6 || i == 40)
      EXPECT_TRUE(find(word(i)).isEmpty()) << i;
    else
      kept.append(i);
  }
  for (int at = 1; at <= kept.size(); ++at)
    EXPECT_EQ(find(word(kept[at - 1])), QList<int>{at}) << kept[at - 1];
  EXPECT_EQ(find(QStringLiteral("code")).size(), kept.size());

  const QByteArray file = folder.readBytes(historyPath(History::Received));
  QByteArray reversed;
  for (qsizetype r = file.size() / MailLayout::RecordLength - 1; r >= 0; --r)
    reversed += file.mid(r * MailLayout::RecordLength, MailLayout::RecordLength);
  ASSERT_TRUE(folder.writeBytes(historyPath(History::Received), reversed));
  for (int at = 1; at <= kept.size(); ++at)
    EXPECT_EQ(find(word(kept[at - 1])), QList<int>{int(kept.size()) + 1 - at}) << kept[at - 1];
}

class AllMailSearch : public SearchIndex {
protected:
  MessageBoxDouble boxes;
  TyakuForm *f = nullptr;

  void SetUp() override {
    SearchIndex::SetUp();
    append(QStringLiteral("Lunch on Friday"), QStringLiteral("one@example.jp"),
           QStringLiteral("Shall we?"));
    append(QStringLiteral("定例会議"), QStringLiteral("two@example.jp"),
           QStringLiteral("議題を送ります"));
    append(QStringLiteral("Minutes"), QStringLiteral("three@example.jp"),
           QStringLiteral("会議の議事録です"));
    openHistoryViewer(History::Received);
    f = forms::tyakuForm().get();
  }
  void TearDown() override {
    search::waitForUpdates();
    forms::tyakuForm().unload();
    forms::friendForm().unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  void searchFor(const QString &text) {
    f->editorPane->Text1->setText(text);
    QTest::mouseClick(f->cmdAllSearch, Qt::LeftButton);
  }
  void pressRow(int row) {
    const QRect r = f->List1->visualItemRect(f->List1->item(row));
    QTest::mouseClick(f->List1->viewport(), Qt::LeftButton, {}, r.center());
  }
  QList<int> shownRecords() const {
    QList<int> out;
    for (int i = 0; i < f->List1->count(); ++i)
      out.append(f->rowSource(i).record);
    return out;
  }
};

TEST_F(AllMailSearch, ListsOnlyTheMatchingMailsAndAnEmptySearchListsAllAgain) {
  EXPECT_EQ(f->cmdAllSearch->text(), QStringLiteral("全メール検索"));
  searchFor(QStringLiteral("会議"));
  EXPECT_EQ(shownRecords(), (QList<int>{2, 3}));
  EXPECT_EQ(f->Text2->text(), QStringLiteral("2"));
  EXPECT_TRUE(f->List1->item(0)->text().endsWith(QStringLiteral("定例会議")));

  searchFor(QStringLiteral("nowhere"));
  EXPECT_EQ(f->List1->count(), 0);
  EXPECT_EQ(f->Text2->text(), QStringLiteral("0"));

  searchFor(QString());
  EXPECT_EQ(shownRecords(), (QList<int>{1, 2, 3}));
  EXPECT_EQ(f->Text2->text(), QStringLiteral("3"));
  EXPECT_TRUE(boxes.boxes().isEmpty());
}

TEST_F(AllMailSearch, RowCommandsActOnTheRecordOfTheRowShown) {
  searchFor(QStringLiteral("three@"));
  ASSERT_EQ(shownRecords(), QList<int>{3});
  pressRow(0);
  EXPECT_EQ(f->Text9->text(), QStringLiteral("Minutes"));

  QTest::mouseClick(f->Command3, Qt::LeftButton); // register the sender
  EXPECT_EQ(forms::friendForm().get()->Text4->text(), QStringLiteral("three@example.jp"));
  f->show();

  // Deleting the row of record 2 in a listing of records 2 and 3: record 2
  // goes, the row of the former record 3 stays and stands for record 2.
  searchFor(QStringLiteral("会議"));
  pressRow(0);
  boxes.pushAnswer(platform::MsgAnswer::Yes);
  QTest::mouseClick(f->Command1, Qt::LeftButton);
  EXPECT_EQ(historyCount(History::Received), 2);
  EXPECT_EQ(readHistoryRecord(History::Received, 2)->Subject, QStringLiteral("Minutes"));
  EXPECT_EQ(shownRecords(), QList<int>{2});
  EXPECT_EQ(f->Text2->text(), QStringLiteral("1"));
  pressRow(0);
  EXPECT_EQ(f->Text9->text(), QStringLiteral("Minutes"));

  search::waitForUpdates();
  searchFor(QStringLiteral("定例"));
  EXPECT_EQ(f->List1->count(), 0);
}

// A result of hundreds of mails: the rows far below the first screen show
// their own mails, the End key shows the last one, and after deleting one of
// them the rows below it still show theirs.
TEST_F(AllMailSearch, ALongResultShowsEachRowsOwnMailBeforeAndAfterADelete) {
  for (int i = 4; i <= 600; ++i)
    append(QStringLiteral("mail %1").arg(i), QStringLiteral("x@example.jp"),
           i % 3 == 0 ? QStringLiteral("agenda item %1").arg(i) : QStringLiteral("other"));
  searchFor(QStringLiteral("agenda"));
  ASSERT_EQ(f->List1->count(), 199); // 6, 9, ..., 600
  EXPECT_EQ(f->Text2->text(), QStringLiteral("199"));
  const auto subjects = [this] {
    QStringList out;
    for (int i = 0; i < f->List1->count(); ++i)
      out << f->List1->item(i)->text().section(QStringLiteral("    "), 2);
    return out;
  };
  QStringList expected;
  for (int i = 6; i <= 600; i += 3)
    expected << QStringLiteral("mail %1").arg(i);
  EXPECT_EQ(subjects(), expected);

  f->List1->setFocus();
  f->List1->setCurrentRow(0);
  QTest::keyClick(f->List1, Qt::Key_End);
  EXPECT_EQ(f->List1->currentRow(), 198);
  EXPECT_EQ(f->Text9->text(), QStringLiteral("mail 600"));

  // Record 9 goes: every later record moves up one, and so do the rows.
  f->List1->setCurrentRow(1);
  f->List1_MouseDown();
  ASSERT_EQ(f->Text9->text(), QStringLiteral("mail 9"));
  boxes.pushAnswer(platform::MsgAnswer::Yes);
  QTest::mouseClick(f->Command1, Qt::LeftButton);
  expected.removeAt(1);
  EXPECT_EQ(subjects(), expected);
  EXPECT_EQ(f->Text2->text(), QStringLiteral("198"));
  f->List1->setCurrentRow(150);
  f->List1_MouseDown();
  EXPECT_EQ(f->Text9->text(), expected[150]);
}
