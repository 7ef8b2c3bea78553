#include "compose/writeform.h"

#include "platform/twips.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

namespace {

// The window's outer size at load; the client area is this less the frame.
constexpr double WindowWidth = 7100;
constexpr double WindowHeight = 8200;
constexpr double FrameWidth = 120;
constexpr double FrameHeight = 420;

template <class W> W *named(W *widget, const char *name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QPushButton *button(const QString &caption, const char *name, QWidget *parent) {
  return named(new QPushButton(caption, parent), name);
}

} // namespace

WriteForm::WriteForm(QWidget *parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("WriteForm"));
  setWindowTitle(QStringLiteral("新規作成・送信"));

  ToLabel = named(new QLabel(QStringLiteral("宛先"), this), "ToLabel");
  ToText = named(new QLineEdit(this), "ToText");
  ToLabel->setBuddy(ToText);
  SubjectLabel = named(new QLabel(QStringLiteral("件名"), this), "SubjectLabel");
  SubjectText = named(new QLineEdit(this), "SubjectText");
  SubjectLabel->setBuddy(SubjectText);
  Combo1Label = named(new QLabel(QStringLiteral("首記例"), this), "Combo1Label");
  Combo1 = named(new QComboBox(this), "Combo1");
  Combo1->setEditable(true);
  Combo1Label->setBuddy(Combo1);

  AttachText = named(new QLineEdit(this), "AttachText");
  AttachText->setAccessibleName(QStringLiteral("添付ファイル"));
  AttachCommand = button(QStringLiteral("添付File"), "AttachCommand", this);
  Command9 = button(QStringLiteral("追加"), "Command9", this);
  Command10 = button(QStringLiteral("取り消し"), "Command10", this);
  List2 = named(new QListWidget(this), "List2");
  List2->setAccessibleName(QStringLiteral("添付ファイル一覧"));

  BodyText = named(new QPlainTextEdit(this), "BodyText");
  BodyText->setAccessibleName(QStringLiteral("本文"));
  BodyText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Check1 = named(new QCheckBox(QStringLiteral("占い添付"), this), "Check1");
  Label7 = named(new QLabel(this), "Label7");
  Label7->setAccessibleName(QStringLiteral("送信状況"));
  Text14 = named(new QPlainTextEdit(this), "Text14");
  Text14->setReadOnly(true);
  Text14->setAccessibleName(QStringLiteral("ヘルプ"));

  Command1 = button(QStringLiteral("送信"), "Command1", this);
  Command3 = button(QStringLiteral("送信中止"), "Command3", this);
  Command8 = button(QStringLiteral("ホーム"), "Command8", this);
  Command11 = button(QStringLiteral("クリア"), "Command11", this);
  Command4 = button(QStringLiteral("アドレス帳"), "Command4", this);
  Command6 = button(QStringLiteral("元のサイズ"), "Command6", this);
  Command7 = button(QStringLiteral("宛先に貼付"), "Command7", this);
  Command5 = button(QStringLiteral("本文に貼付"), "Command5", this);

  Picture5 = named(new QWidget(this), "Picture5");
  Picture5Label = named(new QLabel(QStringLiteral("アドレス帳"), Picture5), "Picture5Label");
  List1 = named(new QListWidget(Picture5), "List1");
  Picture5Label->setBuddy(List1);
  Text1Label = named(new QLabel(QStringLiteral("件数"), Picture5), "Text1Label");
  Text1 = named(new QLineEdit(Picture5), "Text1");
  Text1->setReadOnly(true);
  Text1Label->setBuddy(Text1);
  Option2 = named(new QRadioButton(QStringLiteral("一括送信"), Picture5), "Option2");
  Option1 = named(new QRadioButton(QStringLiteral("取消"), Picture5), "Option1");

  using platform::setTwipsGeometry;
  setTwipsGeometry(ToLabel, 120, 150, 780, 255);
  setTwipsGeometry(ToText, 960, 120, 5800, 330);
  setTwipsGeometry(SubjectLabel, 120, 570, 780, 255);
  setTwipsGeometry(SubjectText, 960, 540, 5800, 330);
  setTwipsGeometry(Combo1Label, 120, 990, 780, 255);
  setTwipsGeometry(Combo1, 960, 960, 5800, 330);
  setTwipsGeometry(AttachText, 960, 1380, 2800, 330);
  setTwipsGeometry(AttachCommand, 3840, 1380, 1000, 330);
  setTwipsGeometry(Command9, 4900, 1380, 800, 330);
  setTwipsGeometry(Command10, 5760, 1380, 1000, 330);
  setTwipsGeometry(List2, 960, 1760, 5800, 700);
  setTwipsGeometry(BodyText, 120, 1800, 6740, 4200);
  setTwipsGeometry(Check1, 120, 6080, 1500, 300);
  setTwipsGeometry(Label7, 1700, 6080, 5160, 300);
  setTwipsGeometry(Command1, 120, 6460, 1575, 375);
  setTwipsGeometry(Command3, 1830, 6460, 1575, 375);
  setTwipsGeometry(Command8, 3540, 6460, 1575, 375);
  setTwipsGeometry(Command11, 5250, 6460, 1575, 375);
  setTwipsGeometry(Command4, 120, 6900, 1575, 375);
  setTwipsGeometry(Command6, 1830, 6900, 1575, 375);
  setTwipsGeometry(Command7, 3540, 6900, 1575, 375);
  setTwipsGeometry(Command5, 5250, 6900, 1575, 375);
  setTwipsGeometry(Text14, 120, 7340, 6740, 400);
  setTwipsGeometry(Picture5, 7080, 120, 2400, 7600);
  setTwipsGeometry(Picture5Label, 60, 0, 2280, 255);
  setTwipsGeometry(List1, 60, 300, 2280, 5800);
  setTwipsGeometry(Text1Label, 60, 6180, 600, 255);
  setTwipsGeometry(Text1, 720, 6150, 900, 330);
  setTwipsGeometry(Option2, 60, 6600, 1200, 300);
  setTwipsGeometry(Option1, 1260, 6600, 1000, 300);

  connect(Command1, &QPushButton::clicked, this, &WriteForm::Command1_Click);
  connect(Command3, &QPushButton::clicked, this, &WriteForm::Command3_Click);
  connect(Command8, &QPushButton::clicked, this, &WriteForm::Command8_Click);
}

void WriteForm::Form_Load() {
  resize(platform::twipsToPixelsX(WindowWidth - FrameWidth),
         platform::twipsToPixelsY(WindowHeight - FrameHeight));
  Option2->setChecked(false);
  Command9->setEnabled(false);
  List2->hide();
  Check1->setChecked(false);
  Text14->hide();
}

// Sending is not wired up yet; the button leaves the window as it is.
void WriteForm::Command1_Click() {}

void WriteForm::Command3_Click() {
  forms::writeForm().unload();
}

void WriteForm::Command8_Click() {
  forms::writeForm().unload();
}

namespace forms {
platform::FormSlot<WriteForm> &writeForm() {
  static platform::FormSlot<WriteForm> slot;
  return slot;
}
} // namespace forms
