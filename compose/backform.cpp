#include "compose/backform.h"

#include "platform/textbox.h"
#include "platform/twips.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTextEdit>

namespace {
template <class W> W *named(W *widget, const char *name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}
} // namespace

BackForm::BackForm(QWidget *parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("BackForm"));
  setWindowTitle(QStringLiteral("返事を書く"));

  Command1 = named(new QPushButton(QStringLiteral("ホーム"), this), "Command1");
  Command2 = named(new QPushButton(QStringLiteral("送信"), this), "Command2");
  Command3 = named(new QPushButton(QStringLiteral("送信中止"), this), "Command3");
  Command4 = named(new QPushButton(QStringLiteral("本文に貼付"), this), "Command4");
  ToLabel = named(new QLabel(QStringLiteral("宛先"), this), "ToLabel");
  ToText = named(new QLineEdit(this), "ToText");
  ToLabel->setBuddy(ToText);
  SubjectLabel = named(new QLabel(QStringLiteral("題名"), this), "SubjectLabel");
  SubjectText = named(new QLineEdit(this), "SubjectText");
  SubjectLabel->setBuddy(SubjectText);
  AttachLabel = named(new QLabel(QStringLiteral("添付File"), this), "AttachLabel");
  AttachText = named(new QLineEdit(this), "AttachText");
  AttachLabel->setBuddy(AttachText);
  AttachCommand = named(new QPushButton(QStringLiteral("添付"), this), "AttachCommand");
  Command9 = named(new QPushButton(QStringLiteral("追加"), this), "Command9");
  Command10 = named(new QPushButton(QStringLiteral("取り消し"), this), "Command10");
  List2 = named(new QListWidget(this), "List2");
  List2->setAccessibleName(QStringLiteral("添付ファイル一覧"));
  BodyText = named(new QTextEdit(this), "BodyText");
  BodyText->setAccessibleName(QStringLiteral("本文"));

  using platform::setTwipsGeometry;
  setTwipsGeometry(Command1, 120, 120, 1215, 375);
  setTwipsGeometry(Command2, 1560, 120, 1215, 375);
  setTwipsGeometry(Command3, 3000, 120, 1215, 375);
  setTwipsGeometry(Command4, 4440, 120, 1215, 375);
  setTwipsGeometry(ToLabel, 120, 630, 900, 255);
  setTwipsGeometry(ToText, 1080, 600, 5000, 330);
  setTwipsGeometry(SubjectLabel, 120, 1050, 900, 255);
  setTwipsGeometry(SubjectText, 1080, 1020, 5000, 330);
  setTwipsGeometry(AttachLabel, 120, 1470, 900, 255);
  setTwipsGeometry(AttachText, 1080, 1440, 2800, 330);
  setTwipsGeometry(AttachCommand, 4040, 1440, 700, 330);
  setTwipsGeometry(Command9, 4860, 1440, 700, 330);
  setTwipsGeometry(Command10, 5740, 1440, 900, 330);
  setTwipsGeometry(List2, 1080, 1800, 5000, 700);
  setTwipsGeometry(BodyText, 60, 1900, 7000, 5000);
  resize(platform::twipsToPixelsX(7200), platform::twipsToPixelsY(7200));
  platform::showTextFromStart(this);

  connect(Command1, &QPushButton::clicked, this, &BackForm::Command1_Click);
}

void BackForm::Form_Load() {
  List2->hide();
}

void BackForm::Command1_Click() {
  forms::backForm().unload();
}

namespace forms {
platform::FormSlot<BackForm> &backForm() {
  static platform::FormSlot<BackForm> slot;
  return slot;
}
} // namespace forms
