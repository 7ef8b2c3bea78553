// The address book window: register, delete and paste entries of the
// address-book file.
#pragma once

#include "platform/forms.h"

#include <QWidget>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

class FriendForm : public QWidget {
  Q_OBJECT
public:
  explicit FriendForm(QWidget *parent = nullptr);

  QLabel *Text4Label;
  QLineEdit *Text4; // mail address to register (the viewer fills it too)
  QLabel *Text2Label;
  QLineEdit *Text2;   // name to register
  QListWidget *List1; // one line per record: Address, two blanks, Name
  QLabel *Text3Label;
  QLineEdit *Text3;      // number of entries in List1
  QLabel *Label7;        // status line
  QPushButton *Command4; // "登録": register
  QPushButton *Command5; // "削除": delete the selected entry
  QPushButton *Command1; // "貼付": clipboard into Text4
  QPushButton *Command3; // "ホーム": close the window
  QPushButton *Command2; // working button outside the window: reload the list

  void Form_Load();
  // Fills List1 and Text3 from the address-book file.
  void ReloadAddressList();

public Q_SLOTS:
  void Command1_Click();
  void Command2_Click();
  void Command3_Click();
  void Command4_Click();
  void Command5_Click();
};

namespace forms {
platform::FormSlot<FriendForm> &friendForm();
}
