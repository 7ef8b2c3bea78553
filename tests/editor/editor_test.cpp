// The viewer's body pane as an editor, driven through its menus, toolbar and
// search box; files written and read back byte by byte, printing read back
// from the PDF it makes.
#include "editor/editorpane.h"
#include "mail/store/history.h"
#include "mail/tyakuform.h"
#include "platform/clipboard.h"
#include "tests/support/fakes.h"
#include "tests/support/messageboxdouble.h"
#include "tests/support/programfolder.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QTextEdit>
#include <QToolBar>

#include <gtest/gtest.h>

using platform::MsgAnswer;

class Editor : public ::testing::Test {
protected:
  TempProgramFolder folder;
  MessageBoxDouble boxes;
  FakeFileDialogs dialogs;
  QString oldCurrent = QDir::currentPath();
  TyakuForm *f = nullptr;
  editor::EditorPane *pane = nullptr;

  void SetUp() override {
    ASSERT_TRUE(folder.isValid());
    QDir::setCurrent(folder.path());
    editor::DocumentPath.clear();
    editor::Modified = 0;
    editor::BoldCount = editor::ItalicCount = editor::UnderlineCount = 0;
    mail::openHistoryViewer(mail::History::Received);
    f = forms::tyakuForm().get();
    pane = f->editorPane;
  }
  void TearDown() override {
    forms::tyakuForm().unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QDir::setCurrent(oldCurrent);
    EXPECT_EQ(boxes.pendingAnswers(), 0);
  }

  void menu(const char *name) {
    QAction *a = f->findChild<QAction *>(QString::fromLatin1(name));
    ASSERT_NE(a, nullptr) << name;
    a->trigger();
  }
  void tool(const char *key) {
    QAction *a = f->findChild<QAction *>(QStringLiteral("tb") + QString::fromLatin1(key));
    ASSERT_NE(a, nullptr) << key;
    QTest::mouseClick(pane->tbToolBar->widgetForAction(a), Qt::LeftButton);
  }
  void setText(const QString &text) { editor::setPaneText(f->rtfEd, text); }
  QString text() const { return editor::paneText(f->rtfEd); }
  int selStart() const { return f->rtfEd->textCursor().selectionStart(); }
  int selLength() const {
    const QTextCursor c = f->rtfEd->textCursor();
    return c.selectionEnd() - c.selectionStart();
  }
  void select(int start, int length) {
    QTextCursor c = f->rtfEd->textCursor();
    c.setPosition(start);
    c.setPosition(start + length, QTextCursor::KeepAnchor);
    f->rtfEd->setTextCursor(c);
  }
  QString pdfText(const QString &pdf) {
    QProcess p;
    p.start(QStringLiteral("pdftotext"), {pdf, QStringLiteral("-")});
    EXPECT_TRUE(p.waitForFinished(20000));
    return QString::fromUtf8(p.readAllStandardOutput());
  }
};

TEST_F(Editor, MenusAndToolbarHoldTheWindowsProgramsCommands) {
  EXPECT_EQ(pane->mFile->title(), QStringLiteral("ファイル(&F)"));
  EXPECT_EQ(pane->medit->title(), QStringLiteral("編集"));
  QStringList items;
  for (QMenu *m : {pane->mFile, pane->medit})
    for (QAction *a : m->actions())
      items.append(a->isSeparator() ? QStringLiteral("-") : a->text());
  EXPECT_EQ(items, (QStringList{"新規作成", "開く", "名前を付けて保存", "印刷", "-", "終了",
                                "全て選択", "文頭へジャンプ", "文末へジャンプ", "-", "検索",
                                "次を検索", "-", "切り取り", "コピー", "貼付け"}));
  QStringList keys, tips;
  for (QAction *a : pane->tbToolBar->actions())
    if (!a->isSeparator()) {
      keys.append(a->data().toString());
      tips.append(a->toolTip());
    }
  EXPECT_EQ(keys, (QStringList{"New", "Open", "Save", "Print", "Cut", "Copy", "Paste", "Bold",
                               "Italic", "Underline"}));
  EXPECT_EQ(tips, (QStringList{"新規作成", "開く", "名前を付けて保存", "印刷", "切り取り", "ｺﾋﾟｰ",
                               "貼り付け", "太字", "斜体", "下線"}));
  EXPECT_EQ(f->findChild<QLineEdit *>(QStringLiteral("Text1")), pane->Text1);
}

// Letter case and full- or half-width forms don't count, as in the
// whole-mail search: a mail it listed shows its hit.
TEST_F(Editor, SearchFoldsCaseAndWidthAndFindNextStartsAfterTheHit) {
  setText(QStringLiteral("APPLE pie, apple tart, apple"));
  pane->Text1->setText(QStringLiteral("apple"));
  menu("mkensaku");
  EXPECT_EQ(pane->SearchPosition, 1);
  EXPECT_EQ(selLength(), 5);
  menu("mtugikensaku");
  EXPECT_EQ(pane->SearchPosition, 12);
  EXPECT_EQ(selStart(), 11);
  menu("mtugikensaku");
  EXPECT_EQ(pane->SearchPosition, 24);
  // Nothing further: said so, and the old hit no longer shows selected.
  boxes.pushAnswer(MsgAnswer::Ok);
  menu("mtugikensaku");
  EXPECT_EQ(pane->SearchPosition, 0);
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].text, QStringLiteral("「apple」は見つかりませんでした。"));
  EXPECT_EQ(selLength(), 0);
  menu("mtugikensaku"); // starts again at character 5
  EXPECT_EQ(pane->SearchPosition, 12);
  // Full-width letters find half-width ones.
  pane->Text1->setText(QStringLiteral("ＡＰＰＬＥ　ＰＩＥ"));
  menu("mkensaku");
  EXPECT_EQ(pane->SearchPosition, 1);
  EXPECT_EQ(selLength(), 9);
  // Half-width kana with their voiced marks are the full-width word; the
  // hit selects every character of it, marks included.
  setText(QStringLiteral("案内: ﾊﾟｿｺﾝのｶﾞｲﾄﾞ"));
  pane->Text1->setText(QStringLiteral("ガイド"));
  menu("mkensaku");
  EXPECT_EQ(pane->SearchPosition, 11);
  EXPECT_EQ(selLength(), 5);
  pane->Text1->setText(QStringLiteral("パソコン"));
  menu("mkensaku");
  EXPECT_EQ(pane->SearchPosition, 5);
  EXPECT_EQ(selLength(), 5);
  // Part of a character that folds into several (ﾊﾟ is one character
  // folded, two in the text) is not a hit on its own.
  pane->Text1->setText(QStringLiteral("ﾊ"));
  boxes.pushAnswer(MsgAnswer::Ok);
  menu("mkensaku");
  EXPECT_EQ(pane->SearchPosition, 0);
  EXPECT_EQ(boxes.boxes().size(), 2);
  EXPECT_EQ(selLength(), 0);

  // An empty search text after a failed search finds the start, and never loops.
  pane->Text1->clear();
  menu("mtugikensaku");
  EXPECT_EQ(pane->SearchPosition, 1);
  EXPECT_EQ(selLength(), 0);
  // A hit far beyond 32767 characters is found where it is.
  setText(QString(40000, u'x') + QStringLiteral("needle"));
  pane->Text1->setText(QStringLiteral("needle"));
  menu("mkensaku");
  EXPECT_EQ(pane->SearchPosition, 40001);
  EXPECT_EQ(selStart(), 40000);

  // From the keyboard: Enter in the search box searches from the top, then
  // goes on to the next hit; F3 finds the next one from anywhere.
  setText(QStringLiteral("APPLE pie, apple tart, apple"));
  pane->Text1->setText(QStringLiteral("apple"));
  pane->Text1->setFocus();
  QTest::keyClick(pane->Text1, Qt::Key_Return);
  EXPECT_EQ(pane->SearchPosition, 1);
  pane->Text1->setFocus();
  QTest::keyClick(pane->Text1, Qt::Key_Return);
  EXPECT_EQ(pane->SearchPosition, 12);
  pane->Text1->setText(QStringLiteral("pie"));
  QTest::keyClick(pane->Text1, Qt::Key_Return);
  EXPECT_EQ(pane->SearchPosition, 7);
  pane->Text1->setText(QStringLiteral("apple"));
  QApplication::setActiveWindow(f);
  QTRY_VERIFY(f->isActiveWindow());
  QTest::keyClick(f->rtfEd, Qt::Key_F3);
  EXPECT_EQ(pane->SearchPosition, 12);
  EXPECT_EQ(selStart(), 11);
}

TEST_F(Editor, JumpsSelectAllCutCopyAndPaste) {
  setText(QStringLiteral("first line\r\nsecond"));
  menu("mbunmatujump");
  EXPECT_EQ(selStart(), 17);
  menu("matamajump");
  EXPECT_EQ(selStart(), 0);
  menu("mall");
  EXPECT_EQ(selLength(), 17);
  // Copy with nothing selected empties the clipboard, caret to the start.
  select(5, 0);
  platform::setClipboardText(QStringLiteral("old"));
  menu("mcopy");
  EXPECT_TRUE(platform::clipboardText().isEmpty());
  EXPECT_EQ(selStart(), 0);
  select(6, 4);
  tool("Copy");
  EXPECT_EQ(platform::clipboardText(), QStringLiteral("line"));
  EXPECT_EQ(selStart(), 10);
  EXPECT_EQ(selLength(), 0);
  select(0, 6);
  tool("Cut");
  EXPECT_EQ(platform::clipboardText(), QStringLiteral("first "));
  EXPECT_EQ(text(), QStringLiteral("line\r\nsecond"));
  // Paste drops the blanks at both ends and keeps the line breaks inside.
  platform::setClipboardText(QStringLiteral("  one\ntwo  "));
  select(0, 0);
  menu("mpaste");
  EXPECT_EQ(text(), QStringLiteral("one\r\ntwoline\r\nsecond"));
  select(0, 3);
  platform::setClipboardText(QStringLiteral(" 1 "));
  tool("Paste");
  EXPECT_EQ(text(), QStringLiteral("1\r\ntwoline\r\nsecond"));
  EXPECT_EQ(editor::Modified, -1);
}

TEST_F(Editor, StyleButtonsToggleTheWholePaneByTheirCounters) {
  setText(QStringLiteral("text"));
  for (int i = 0; i < 3; ++i)
    tool("Bold");
  tool("Italic");
  tool("Italic");
  tool("Underline");
  EXPECT_TRUE(f->rtfEd->font().bold());
  EXPECT_FALSE(f->rtfEd->font().italic());
  EXPECT_TRUE(f->rtfEd->font().underline());
  EXPECT_EQ(editor::BoldCount, 1);
  EXPECT_EQ(editor::ItalicCount, 2);
  // Saving writes plain text all the same.
  dialogs.pushSaveFileName(folder.file(QStringLiteral("styled.txt")));
  tool("Save");
  EXPECT_EQ(folder.readBytes(folder.file(QStringLiteral("styled.txt"))), QByteArray("text\r\n"));
}

TEST_F(Editor, OpenAddsLineEndsAndSaveAsOneMore) {
  const QString two = folder.file(QStringLiteral("two.txt"));
  ASSERT_TRUE(folder.writeBytes(two, "a\r\nb"));
  dialogs.pushOpenFileName(two);
  menu("mopen");
  EXPECT_EQ(text(), QStringLiteral("a\r\nb\r\n"));
  EXPECT_EQ(f->windowTitle(), two);
  EXPECT_EQ(editor::Modified, -1);
  const QString out = folder.file(QStringLiteral("out.txt"));
  dialogs.pushSaveFileName(out);
  menu("msave");
  EXPECT_EQ(folder.readBytes(out), QByteArray("a\r\nb\r\n\r\n"));
  EXPECT_EQ(editor::Modified, -1); // save-as leaves it
  EXPECT_TRUE(
      dialogs.requests.last().endsWith(QStringLiteral("txtファイル(*.txt,*.ini) (*.txt *.ini)")));

  // LF-only lines stay one line with their LFs; CP932 is read as CP932.
  ASSERT_TRUE(folder.writeBytes(two, "x\ny\n\x93\xfa\x96\x7b\r"));
  dialogs.pushOpenFileName(two);
  tool("Open");
  EXPECT_EQ(text(), QStringLiteral("x\ny\n日本\r\n"));
  EXPECT_EQ(f->rtfEd->document()->blockCount(), 2);

  // Saving over a file asks first; No keeps it as it was, and the caption
  // keeps naming the file the text came from.
  dialogs.pushSaveFileName(out);
  boxes.pushAnswer(MsgAnswer::No);
  tool("Save");
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].title, QStringLiteral("確認"));
  EXPECT_EQ(folder.readBytes(out), QByteArray("a\r\nb\r\n\r\n"));
  EXPECT_EQ(f->windowTitle(), two);
  dialogs.pushSaveFileName(out);
  boxes.pushAnswer(MsgAnswer::Yes);
  tool("Save");
  EXPECT_EQ(folder.readBytes(out), QByteArray("x\ny\n\x93\xfa\x96\x7b\r\n\r\n"));
  EXPECT_TRUE(
      QDir(folder.path()).entryList(QDir::Files).filter(QStringLiteral("out.txt.")).isEmpty());
}

TEST_F(Editor, FilesThatCannotBeOpenedOrSavedSaySo) {
  setText(QStringLiteral("kept"));
  const QString utf8 = folder.file(QStringLiteral("utf8.txt"));
  ASSERT_TRUE(folder.writeBytes(utf8, QStringLiteral("日本語のテキスト").toUtf8()));
  dialogs.pushOpenFileName(utf8);
  boxes.pushAnswer(MsgAnswer::Ok);
  menu("mopen");
  const QString big = folder.file(QStringLiteral("big.txt"));
  ASSERT_TRUE(folder.writeBytes(big, QByteArray(editor::MaxDocumentBytes + 1, 'a')));
  dialogs.pushOpenFileName(big);
  boxes.pushAnswer(MsgAnswer::Ok);
  menu("mopen");
  ASSERT_EQ(boxes.boxes().size(), 2);
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QStringLiteral("CP932")));
  EXPECT_TRUE(boxes.boxes()[1].text.contains(QStringLiteral("大きすぎる")));
  EXPECT_EQ(text(), QStringLiteral("kept"));

  // A save that fails says so and leaves Modified as it was.
  editor::Modified = -1;
  editor::DocumentPath = folder.file(QStringLiteral("no-such-folder/doc.txt"));
  boxes.pushAnswer(MsgAnswer::Ok);
  tool("New"); // saves the changed current document first
  EXPECT_TRUE(boxes.boxes().last().text.contains(QStringLiteral("保存できませんでした")));
  EXPECT_FALSE(QFileInfo::exists(folder.file(QStringLiteral("no-such-folder"))));
}

TEST_F(Editor, NewDocumentActsOncePerRun) {
  setText(QStringLiteral("mail body"));
  menu("mnew");
  const QString created = QDir(folder.path()).filePath(QStringLiteral("新規作成.TXT"));
  EXPECT_TRUE(QFileInfo::exists(created));
  EXPECT_EQ(folder.readBytes(created), QByteArray());
  EXPECT_TRUE(text().isEmpty());
  EXPECT_EQ(editor::Modified, 0);
  EXPECT_EQ(f->windowTitle(), QStringLiteral("新規作成.TXT      新規作成.TXT"));
  setText(QStringLiteral("typed"));
  tool("New");
  EXPECT_EQ(text(), QStringLiteral("typed"));
  EXPECT_EQ(folder.readBytes(created), QByteArray());

  // The next opening of the viewer loads it; a missing one asks to retry.
  forms::tyakuForm().unload();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  ASSERT_TRUE(QFile::remove(created));
  boxes.pushAnswer(MsgAnswer::Ok);
  boxes.pushAnswer(MsgAnswer::Cancel);
  f = forms::tyakuForm().get();
  ASSERT_EQ(boxes.boxes().size(), 2);
  EXPECT_EQ(boxes.boxes()[0].title, platform::programTitle() + QStringLiteral("  Form_LoadError"));
  EXPECT_TRUE(boxes.boxes()[0].text.isEmpty());
  EXPECT_EQ(boxes.boxes()[0].buttons, platform::MsgButtons::OkCancel);
  EXPECT_EQ(editor::Modified, 0);
}

TEST_F(Editor, NewDocumentAsksBeforeLosingTypedTextOrEmptyingAnExistingFile) {
  // Text typed into the pane has no file to go to: New asks, No keeps it.
  f->rtfEd->setFocus();
  QTest::keyClicks(f->rtfEd, QStringLiteral("draft"));
  boxes.pushAnswer(MsgAnswer::No);
  menu("mnew");
  ASSERT_EQ(boxes.boxes().size(), 1);
  EXPECT_EQ(boxes.boxes()[0].title, QStringLiteral("確認"));
  EXPECT_EQ(boxes.boxes()[0].buttons, platform::MsgButtons::YesNo);
  EXPECT_EQ(text(), QStringLiteral("draft"));
  EXPECT_TRUE(editor::DocumentPath.isEmpty());

  // A "新規作成.TXT" left from before is emptied only after a Yes.
  const QString created = QDir(folder.path()).filePath(QStringLiteral("新規作成.TXT"));
  ASSERT_TRUE(folder.writeBytes(created, "earlier notes\r\n"));
  boxes.clear();
  boxes.pushAnswer(MsgAnswer::Yes); // discard the draft
  boxes.pushAnswer(MsgAnswer::No);  // but keep the file
  tool("New");
  ASSERT_EQ(boxes.boxes().size(), 2);
  EXPECT_TRUE(boxes.boxes()[1].text.contains(QStringLiteral("新規作成.TXT")));
  EXPECT_EQ(folder.readBytes(created), QByteArray("earlier notes\r\n"));
  EXPECT_EQ(text(), QStringLiteral("draft"));
  EXPECT_TRUE(editor::DocumentPath.isEmpty());

  boxes.clear();
  boxes.pushAnswer(MsgAnswer::Yes);
  boxes.pushAnswer(MsgAnswer::Yes);
  menu("mnew");
  EXPECT_EQ(boxes.boxes().size(), 2);
  EXPECT_EQ(folder.readBytes(created), QByteArray());
  EXPECT_TRUE(text().isEmpty());
  EXPECT_EQ(f->windowTitle(), QStringLiteral("新規作成.TXT      新規作成.TXT"));
}

TEST_F(Editor, PrintsTheTextTheSelectionAndCopiesToPdf) {
  if (QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty())
    GTEST_SKIP() << "pdftotext (poppler-utils) is not installed";
  setText(QStringLiteral("Korvex printing\r\nsecond line"));
  const QString pdf = folder.file(QStringLiteral("out.pdf"));
  dialogs.printFile = pdf;
  dialogs.pushPrintCopies(1);
  tool("Print");
  QString got = pdfText(pdf);
  EXPECT_TRUE(got.contains(QStringLiteral("Korvex printing"))) << got.toStdString();
  EXPECT_TRUE(got.contains(QStringLiteral("second line")));
  EXPECT_EQ(dialogs.requests.last(), QStringLiteral("print|all"));

  select(7, 8);
  dialogs.pushPrintCopies(2);
  menu("mprint");
  got = pdfText(pdf);
  EXPECT_EQ(dialogs.requests.last(), QStringLiteral("print|selection"));
  EXPECT_EQ(got.count(QStringLiteral("printing")), 2) << got.toStdString();
  EXPECT_FALSE(got.contains(QStringLiteral("Korvex")));
  EXPECT_FALSE(got.contains(QStringLiteral("second")));

  // "2 copies, pages 1-1": the range is not applied, both copies print.
  select(0, 0);
  dialogs.fromPage = dialogs.toPage = 1;
  dialogs.pushPrintCopies(2);
  tool("Print");
  got = pdfText(pdf);
  EXPECT_EQ(got.count(QStringLiteral("Korvex printing")), 2) << got.toStdString();
  dialogs.fromPage = dialogs.toPage = 0;

  // Cancelled: nothing printed.
  QFile::remove(pdf);
  tool("Print");
  EXPECT_FALSE(QFileInfo::exists(pdf));
}

TEST_F(Editor, EndShowsTheMainWindowWhereTheViewerWasAndKeepsTheText) {
  QWidget mainWindow;
  mainWindow.setObjectName(QStringLiteral("MainForm"));
  f->move(120, 80);
  setText(QStringLiteral("kept text"));
  menu("mend");
  EXPECT_TRUE(mainWindow.isVisible());
  EXPECT_EQ(mainWindow.pos(), QPoint(120, 80));
  EXPECT_FALSE(f->isVisible());
  EXPECT_TRUE(forms::tyakuForm().loaded());
  EXPECT_EQ(text(), QStringLiteral("kept text"));
}
