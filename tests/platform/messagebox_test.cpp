#include "platform/messagebox.h"

#include "tests/support/messageboxdouble.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
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
  EXPECT_EQ(boxes.boxes()[1].buttons, MsgButtons::Ok);
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

// The production box, answered by clicking its button from a timer.
TEST(MessageBox, ProductionBoxShowsTitleIconAndButtons) {
  EXPECT_EQ(programTitle(), QStringLiteral("Korvex"));
  QString title;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons;
  QTimer::singleShot(50, [&] {
    QMessageBox *box = nullptr;
    for (QWidget *w : QApplication::topLevelWidgets())
      if (auto *b = qobject_cast<QMessageBox *>(w); b && b->isVisible())
        box = b;
    if (!box) {
      ADD_FAILURE() << "no message box shown";
      return;
    }
    title = box->windowTitle();
    text = box->text();
    icon = box->icon();
    buttons = box->standardButtons();
    box->button(QMessageBox::No)->click();
  });
  const MsgAnswer answer =
      messageBox(nullptr, QStringLiteral("<b>a & b</b>"), {}, MsgButtons::YesNo, MsgIcon::Exclamation);
  EXPECT_EQ(answer, MsgAnswer::No);
  EXPECT_EQ(title, programTitle());
  EXPECT_EQ(text, QStringLiteral("<b>a & b</b>"));
  EXPECT_EQ(icon, QMessageBox::Warning);
  EXPECT_EQ(buttons, QMessageBox::Yes | QMessageBox::No);
}
