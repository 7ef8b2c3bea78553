#include "platform/messagebox.h"

#include "tests/support/messageboxdouble.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

using namespace platform;

TEST(MessageBoxDouble, AnswersFromTheQueueAndRecordsEachBox) {
  MessageBoxDouble boxes;
  boxes.pushAnswer(MsgAnswer::Yes);
  boxes.pushAnswer(MsgAnswer::Cancel);
  EXPECT_EQ(messageBox(nullptr, QString::fromUtf16(u"削除しますか？"), QString::fromUtf16(u"確認"), MsgButtons::YesNo, MsgIcon::Question),
            MsgAnswer::Yes);
  EXPECT_EQ(messageBox(nullptr, QStringLiteral("b")), MsgAnswer::Cancel);
  ASSERT_EQ(boxes.boxes().size(), 2);
  EXPECT_EQ(boxes.boxes()[0].text, QString::fromUtf16(u"削除しますか？"));
  EXPECT_EQ(boxes.boxes()[0].title, QString::fromUtf16(u"確認"));
  EXPECT_EQ(boxes.boxes()[0].icon, MsgIcon::Question);
  EXPECT_EQ(boxes.boxes()[0].buttons, MsgButtons::YesNo);
  EXPECT_EQ(boxes.boxes()[1].title, QString());
  EXPECT_FALSE(boxes.boxes()[1].untitled);
  EXPECT_EQ(boxes.boxes()[1].buttons, MsgButtons::Ok);

  boxes.pushAnswer(MsgAnswer::Ok);
  untitledMessageBox(nullptr, QStringLiteral("c"), MsgButtons::Ok, MsgIcon::Exclamation);
  ASSERT_EQ(boxes.boxes().size(), 3);
  EXPECT_TRUE(boxes.boxes()[2].untitled);
  EXPECT_EQ(boxes.boxes()[2].title, QString());
  EXPECT_EQ(boxes.boxes()[2].icon, MsgIcon::Exclamation);
}

TEST(MessageBoxDouble, UnansweredBoxFailsTheTestWithoutHanging) {
  MessageBoxDouble boxes;
  MsgAnswer answer = MsgAnswer::Yes;
  EXPECT_NONFATAL_FAILURE(answer = messageBox(nullptr, QStringLiteral("surprise"), {}, MsgButtons::YesNo),
                          "surprise");
  EXPECT_EQ(answer, MsgAnswer::No);
  EXPECT_NONFATAL_FAILURE(answer = messageBox(nullptr, QStringLiteral("again")), "again");
  EXPECT_EQ(answer, MsgAnswer::Ok);
  EXPECT_EQ(boxes.boxes().size(), 2);
}

namespace {

struct SeenBox {
  QString title;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons;
};

// Notes the production box that is about to open and answers it by clicking
// `answer` from a timer.
void answerNextProductionBox(SeenBox &seen, QMessageBox::StandardButton answer) {
  QTimer::singleShot(50, [&seen, answer] {
    QMessageBox *box = nullptr;
    for (QWidget *w : QApplication::topLevelWidgets())
      if (auto *b = qobject_cast<QMessageBox *>(w); b && b->isVisible())
        box = b;
    if (!box) {
      ADD_FAILURE() << "no message box shown";
      return;
    }
    seen.title = box->windowTitle();
    seen.text = box->text();
    seen.icon = box->icon();
    seen.buttons = box->standardButtons();
    box->button(answer)->click();
  });
}

} // namespace

TEST(MessageBox, ProductionBoxShowsTitleIconAndButtons) {
  EXPECT_EQ(programTitle(), QStringLiteral("Korvex"));
  SeenBox seen;
  answerNextProductionBox(seen, QMessageBox::No);
  const MsgAnswer answer =
      messageBox(nullptr, QStringLiteral("<b>a & b</b>"), {}, MsgButtons::YesNo, MsgIcon::Exclamation);
  EXPECT_EQ(answer, MsgAnswer::No);
  EXPECT_EQ(seen.title, programTitle());
  EXPECT_EQ(seen.text, QStringLiteral("<b>a & b</b>"));
  EXPECT_EQ(seen.icon, QMessageBox::Warning);
  EXPECT_EQ(seen.buttons, QMessageBox::Yes | QMessageBox::No);

  answerNextProductionBox(seen, QMessageBox::Ok);
  messageBox(nullptr, QStringLiteral("t"), QString::fromUtf16(u"エラー"));
  EXPECT_EQ(seen.title, QString::fromUtf16(u"エラー"));
}

TEST(MessageBox, UntitledBoxKeepsItsTitleBarEmpty) {
  SeenBox seen;
  answerNextProductionBox(seen, QMessageBox::Ok);
  EXPECT_EQ(untitledMessageBox(nullptr, QStringLiteral("x"), MsgButtons::Ok, MsgIcon::Exclamation),
            MsgAnswer::Ok);
  // Not the program's title, nor empty (which Qt would fill with the
  // application's name): nothing to read.
  EXPECT_NE(seen.title, programTitle());
  EXPECT_FALSE(seen.title.isEmpty());
  EXPECT_TRUE(seen.title.trimmed().isEmpty());
  EXPECT_EQ(seen.icon, QMessageBox::Warning);
}

// The buttons read はい/いいえ/OK under any locale, and Enter alone on a
// question whose Yes cannot be undone answers No.
TEST(MessageBox, ProductionButtonsSpeakJapaneseAndEnterOnARiskyQuestionSaysNo) {
  ASSERT_TRUE(useJapaneseQtTexts()) << "qtbase_ja.qm missing (scripts/install-deps)";
  QStringList texts;
  QString focused;
  const auto pressEnter = [&] {
    QTimer::singleShot(50, [&] {
      for (QWidget *w : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(w);
        if (!box || !box->isVisible())
          continue;
        texts.clear();
        // "はい(&Y)": the word without its keyboard mnemonic.
        static const QRegularExpression mnemonic(QStringLiteral("\\(&\\w\\)|&"));
        for (QAbstractButton *b : box->buttons())
          texts << b->text().remove(mnemonic);
        texts.sort();
        focused = box->defaultButton() ? box->defaultButton()->text().remove(mnemonic) : QString();
        QTest::keyClick(box, Qt::Key_Return);
        return;
      }
      ADD_FAILURE() << "no message box shown";
    });
  };

  pressEnter();
  EXPECT_EQ(askDefaultNo(nullptr, QStringLiteral("q")), MsgAnswer::No);
  EXPECT_EQ(texts, (QStringList{QStringLiteral("いいえ"), QStringLiteral("はい")}));
  EXPECT_EQ(focused, QStringLiteral("いいえ"));

  // An ordinary question keeps Yes as its default.
  pressEnter();
  EXPECT_EQ(messageBox(nullptr, QStringLiteral("q"), {}, MsgButtons::YesNo), MsgAnswer::Yes);

  pressEnter();
  EXPECT_EQ(messageBox(nullptr, QStringLiteral("q"), {}, MsgButtons::OkCancel), MsgAnswer::Ok);
  EXPECT_EQ(texts, (QStringList{QStringLiteral("OK"), QStringLiteral("キャンセル")}));
}
