#include "settings/keepform.h"

#include "platform/messagebox.h"
#include "platform/twips.h"
#include "settings/servercopies.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

KeepForm::KeepForm(QWidget *parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("KeepForm"));
  setWindowTitle(QStringLiteral("サーバーに残す設定"));

  KeepCheck = new QCheckBox(QStringLiteral("サーバーにメールを残す"), this);
  KeepCheck->setObjectName(QStringLiteral("KeepCheck"));
  DaysLabel = new QLabel(QStringLiteral("n日後にサーバーから削除"), this);
  DaysLabel->setObjectName(QStringLiteral("DaysLabel"));
  DaysText = new QLineEdit(this);
  DaysText->setObjectName(QStringLiteral("DaysText"));
  DaysText->setAccessibleName(QStringLiteral("サーバーから削除するまでの日数"));
  DaysText->setMaxLength(10);
  DaysLabel->setBuddy(DaysText);
  DaysNote = new QLabel(QStringLiteral("日（空欄なら削除しない）"), this);
  DaysNote->setObjectName(QStringLiteral("DaysNote"));
  RecordCheck = new QCheckBox(QStringLiteral("受信履歴から削除したらサーバーからも削除"), this);
  RecordCheck->setObjectName(QStringLiteral("RecordCheck"));
  OkCommand = new QPushButton(QStringLiteral("設定"), this);
  OkCommand->setObjectName(QStringLiteral("OkCommand"));
  CancelCommand = new QPushButton(QStringLiteral("中止"), this);
  CancelCommand->setObjectName(QStringLiteral("CancelCommand"));

  // The two choices that only apply to kept copies are indented under the
  // box that keeps them.
  platform::setTwipsGeometry(KeepCheck, 240, 240, 5300, 300);
  platform::setTwipsGeometry(DaysLabel, 540, 660, 5000, 255);
  platform::setTwipsGeometry(DaysText, 540, 930, 900, 330);
  platform::setTwipsGeometry(DaysNote, 1560, 970, 3980, 255);
  platform::setTwipsGeometry(RecordCheck, 540, 1410, 5000, 300);
  platform::setTwipsGeometry(OkCommand, 240, 1920, 1215, 375);
  platform::setTwipsGeometry(CancelCommand, 4325, 1920, 1215, 375);
  setFixedSize(platform::twipsToPixelsX(5780), platform::twipsToPixelsY(2500));

  connect(KeepCheck, &QCheckBox::toggled, this, &KeepForm::KeepCheck_Click);
  connect(OkCommand, &QPushButton::clicked, this, &KeepForm::OkCommand_Click);
  connect(CancelCommand, &QPushButton::clicked, this, &KeepForm::CancelCommand_Click);
}

void KeepForm::Form_Load() {
  const settings::ServerCopies c = settings::serverCopies();
  KeepCheck->setChecked(c.keep);
  DaysText->setText(c.deleteAfterDays > 0 ? QString::number(c.deleteAfterDays) : QString());
  RecordCheck->setChecked(c.deleteWithRecord);
  KeepCheck_Click();
}

void KeepForm::KeepCheck_Click() {
  const bool keep = KeepCheck->isChecked();
  for (QWidget *w : {static_cast<QWidget *>(DaysLabel), static_cast<QWidget *>(DaysText),
                     static_cast<QWidget *>(DaysNote), static_cast<QWidget *>(RecordCheck)})
    w->setEnabled(keep);
}

void KeepForm::OkCommand_Click() {
  settings::ServerCopies c;
  c.keep = KeepCheck->isChecked();
  c.deleteWithRecord = RecordCheck->isChecked();
  const std::optional<int> days = settings::parseServerCopyDays(DaysText->text());
  // A day count that does not apply (nothing is kept) is not worth a
  // complaint; one that does must be sound, or a typing slip decides when
  // mail is deleted.
  if (!days && c.keep) {
    platform::messageBox(this,
                         QStringLiteral("日数は１から３６５０までの数字で入力して下さい。空欄にする"
                                        "と、サーバーから削除しません。"),
                         {}, platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
    DaysText->selectAll();
    DaysText->setFocus();
    return;
  }
  c.deleteAfterDays = days.value_or(0);
  // Nothing else holds these choices: a file that could not be written keeps
  // the dialog open, so that they are not lost without a word.
  if (!settings::saveServerCopies(c)) {
    platform::messageBox(this, QStringLiteral("サーバーに残す設定を保存できませんでした。"), {},
                         platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
    return;
  }
  forms::keepForm().unload();
}

void KeepForm::CancelCommand_Click() {
  forms::keepForm().unload();
}

namespace forms {
platform::FormSlot<KeepForm> &keepForm() {
  static platform::FormSlot<KeepForm> slot;
  return slot;
}
} // namespace forms
