#include "settings/friendform.h"

#include "platform/clipboard.h"
#include "platform/messagebox.h"
#include "platform/textbox.h"
#include "platform/twips.h"
#include "settings/addressbook.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

namespace {

template <class W> W *named(W *widget, const char *name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QPushButton *button(const QString &caption, const char *name, QWidget *parent) {
  return named(new QPushButton(caption, parent), name);
}

} // namespace

FriendForm::FriendForm(QWidget *parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("FriendForm"));
  setWindowTitle(QStringLiteral("アドレス帳"));

  Text4Label = named(new QLabel(QStringLiteral("メールアドレス"), this), "Text4Label");
  Text4 = named(new QLineEdit(this), "Text4");
  Text4->setMaxLength(settings::AddressLayout::AddressWidth);
  Text4Label->setBuddy(Text4);
  Text2Label = named(new QLabel(QStringLiteral("氏名"), this), "Text2Label");
  Text2 = named(new QLineEdit(this), "Text2");
  Text2->setMaxLength(settings::AddressLayout::NameChars);
  Text2Label->setBuddy(Text2);
  List1 = named(new QListWidget(this), "List1");
  List1->setAccessibleName(QStringLiteral("登録済みのアドレス"));
  Text3Label = named(new QLabel(QStringLiteral("登録件数"), this), "Text3Label");
  Text3 = named(new QLineEdit(this), "Text3");
  Text3->setReadOnly(true);
  Text3Label->setBuddy(Text3);
  Label7 = named(new QLabel(this), "Label7");
  Label7->setAccessibleName(QStringLiteral("状態"));

  Command4 = button(QStringLiteral("登録"), "Command4", this);
  Command5 = button(QStringLiteral("削除"), "Command5", this);
  Command1 = button(QStringLiteral("貼付"), "Command1", this);
  Command3 = button(QStringLiteral("ホーム"), "Command3", this);
  Command2 = button(QString(), "Command2", this);

  using platform::setTwipsGeometry;
  setTwipsGeometry(Text4Label, 120, 150, 1400, 255);
  setTwipsGeometry(Text4, 1560, 120, 4200, 330);
  setTwipsGeometry(Command1, 5820, 120, 900, 330);
  setTwipsGeometry(Text2Label, 120, 570, 1400, 255);
  setTwipsGeometry(Text2, 1560, 540, 4200, 330);
  setTwipsGeometry(Command4, 120, 960, 1300, 375);
  setTwipsGeometry(Command5, 1500, 960, 1300, 375);
  setTwipsGeometry(Command3, 2880, 960, 1300, 375);
  setTwipsGeometry(Label7, 4260, 1020, 2460, 255);
  setTwipsGeometry(List1, 120, 1440, 6600, 3600);
  setTwipsGeometry(Text3Label, 120, 5160, 900, 255);
  setTwipsGeometry(Text3, 1080, 5130, 900, 330);
  // The working button lies outside the visible area.
  setTwipsGeometry(Command2, -2000, -2000, 300, 300);
  Command2->setAccessibleName(QStringLiteral("一覧を読み直す"));
  resize(platform::twipsToPixelsX(6840), platform::twipsToPixelsY(5600));
  platform::showTextFromStart(this);

  connect(Command1, &QPushButton::clicked, this, &FriendForm::Command1_Click);
  connect(Command2, &QPushButton::clicked, this, &FriendForm::Command2_Click);
  connect(Command3, &QPushButton::clicked, this, &FriendForm::Command3_Click);
  connect(Command4, &QPushButton::clicked, this, &FriendForm::Command4_Click);
  connect(Command5, &QPushButton::clicked, this, &FriendForm::Command5_Click);
}

void FriendForm::Form_Load() {
  Text3->setText(QStringLiteral("0"));
  Label7->clear();
  ReloadAddressList();
}

void FriendForm::ReloadAddressList() {
  List1->clear();
  // A file that can't be read lists nothing; the count says so.
  if (const auto records = settings::readAddressBook()) {
    QStringList lines;
    lines.reserve(records->size());
    for (const settings::AddressRecord &r : *records)
      lines.append(r.Address + QStringLiteral("  ") + r.Name);
    List1->addItems(lines);
  }
  Text3->setText(QString::number(List1->count()));
}

void FriendForm::Command2_Click() {
  ReloadAddressList();
}

void FriendForm::Command1_Click() {
  Text4->setText(platform::clipboardText());
}

void FriendForm::Command3_Click() {
  forms::friendForm().unload();
}

void FriendForm::Command4_Click() {
  if (Text2->text().isEmpty()) {
    platform::messageBox(this, QStringLiteral("氏名（名称）が入力されていません。"));
    return;
  }
  if (Text4->text().isEmpty()) {
    platform::messageBox(this, QStringLiteral("メールアドレスが入力されていません。"));
    return;
  }
  const std::optional<QString> address = settings::addressForField(Text4->text());
  if (!address) {
    platform::messageBox(this, settings::addressTooLongText(), QString(),
                         platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
    return;
  }
  settings::AddressRecord record;
  record.Name = settings::paddedName(Text2->text());
  record.Address = *address;
  switch (settings::appendAddressRecord(record)) {
  case settings::AddressWriteResult::Ok:
    break;
  // A register that wrote nothing must not say it is done; the typed entry
  // stays in the boxes.
  case settings::AddressWriteResult::Full:
    platform::messageBox(this, QStringLiteral("アドレス帳は32767件までしか登録できません。"));
    return;
  case settings::AddressWriteResult::Failed:
    platform::messageBox(this, QStringLiteral("アドレス帳のファイルに書き込めませんでした。"));
    return;
  }
  Label7->setText(QStringLiteral("　登録が完了しました。"));
  ReloadAddressList();
  Text2->clear();
  Text4->clear();
}

void FriendForm::Command5_Click() {
  const int row = List1->currentRow();
  if (row < 0 || !List1->currentItem()->isSelected()) {
    platform::messageBox(this, QStringLiteral("データが選択されていません。"));
    return;
  }
  const int n = row + 1;
  Label7->setText(QStringLiteral(" "));
  const bool yes =
      platform::messageBox(
          this, QStringLiteral("選択された（行、青色）データを削除します。よろしいですか"),
          QStringLiteral("確認"), platform::MsgButtons::YesNo,
          platform::MsgIcon::Question) == platform::MsgAnswer::Yes;
  // The file is rewritten whatever the answer.
  const bool ok = settings::deleteAddressRecord(n, yes);
  if (yes && ok)
    Label7->setText(QStringLiteral("削除が完了しました"));
  else if (!ok)
    platform::messageBox(this, QStringLiteral("アドレス帳のファイルを書き換えられませんでした。"));
  ReloadAddressList();
}

namespace forms {
platform::FormSlot<FriendForm> &friendForm() {
  static platform::FormSlot<FriendForm> slot;
  return slot;
}
} // namespace forms
