// The start window: the button panel, the check-time list and its check
// cycle, the connection mode, the history overview, the clock and the help
// box. It lives for the whole run; closing it ends the program.
#pragma once

#include "mail/receive.h"
#include "main/lib/historytree.h"
#include "platform/forms.h"

#include <QHash>
#include <QWidget>
#include <functional>

class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTimer;
class QModelIndex;
class QTreeView;

class MainForm : public QWidget, public mail::ReceiveHost {
  Q_OBJECT
public:
  MainForm();
  ~MainForm() override;

  // The button panel.
  QWidget *Picture1;
  QLabel *Label14; // "Korvex"
  QPushButton *Command4;  // "受信"
  QPushButton *Command3;  // "新規作成"
  QPushButton *Command6;  // "着信履歴"
  QPushButton *Command7;  // "送信履歴"
  QPushButton *Command5;  // "アドレス帳"
  QPushButton *Command8;  // "設定"
  QPushButton *Command11; // "Small"
  QPushButton *Command12; // "HP": opens the help page beside the program

  // Check-time entry and list.
  QGroupBox *Frame1;
  QLineEdit *Text6;  // hour
  QLineEdit *Text7;  // minute
  QLabel *Label1[2]; // "時", "分"
  QPushButton *Command2; // "登録"
  QListWidget *List1;
  QPushButton *Command9; // "削除"
  QPushButton *Command1; // "チェック開始" / "チェック停止"

  // Clock, status and connection mode.
  QGroupBox *Frame2;
  QLineEdit *Text2; // clock
  QLineEdit *Text3; // new-mail status
  // "日本時間 9:05": shown above the clock when the machine's zone is not
  // Japan's, since the check list is compared with Japan time.
  QLabel *JapanClock;
  QGroupBox *Frame3; // " 回線"
  QRadioButton *Option1; // "常時接続"
  QRadioButton *Option2; // "切断・接続繰り返し"
  QPushButton *Command13; // "切断"

  // History overview and help box.
  QLabel *Label9;
  QTreeView *TreeView1;
  korvex::ImageList *ImageList1;
  QPlainTextEdit *Text1;

  // Working fields: they only carry values between procedures.
  QPushButton *Command10;
  QLineEdit *Text5;  // the H:MM being registered
  QLineEdit *Text10; // the current scheduling time
  QLineEdit *Text11; // tree node text, received
  QLineEdit *Text12; // tree node text, sent
  QRadioButton *Option3; // checked while the unattended check is on

  QTimer *Timer2; // clock, 1000 ms
  QTimer *Timer3; // check pass, 10 ms
  QTimer *Timer4; // scheduling time, 1000 ms

  // Even: the next click of Command1 starts the check; odd: it stops it.
  qint16 CheckClickCount = 0;

  // The receive routine that Command4 runs. Tests put a recorder here to
  // drive the cycle without a mail server; the program never changes it.
  std::function<void(mail::ReceiveHost &)> receiveMail;
  // How the program ends once the window is unloaded (tests keep their
  // own event loop running).
  std::function<void()> endProgram;

  void Form_Load();

  bool passRunning() const { return passRunning_; }
  bool receiving() const { return receiving_; }

  // Writes record n of the check-time file from Text5; says so and returns
  // false when it could not be written.
  bool PutCheckTime(qint64 n);

  // The help box for the control the mouse is over (by control name).
  void showHelpFor(const QString &controlName);

  // mail::ReceiveHost
  QWidget *hostWindow() override { return this; }
  void setHelpText(const QString &text) override;
  void setStatusText(const QString &text) override;
  void restoreWindow() override;
  bool hangUpMode() const override;
  void hangUp() override;
  bool unattended() const override { return scheduledReceive_; }

public Q_SLOTS:
  void Form_Resize();
  void Form_QueryUnload();
  void Form_Unload();
  void Command1_Click();
  void Command2_Click();
  void Command3_Click();
  void Command4_Click();
  void Command5_Click();
  void Command6_Click();
  void Command7_Click();
  void Command8_Click();
  void Command9_Click();
  void Command10_Click();
  void Command11_Click();
  void Command12_Click();
  void Command13_Click();
  void Option1_Click();
  void Option2_Click();
  void Timer2_Timer();
  void Timer3_Timer();
  void Timer4_Timer();
  void TreeView1_Click();
  void TreeView1_Collapse(const QModelIndex &node);
  void TreeView1_Expand(const QModelIndex &node);

protected:
  void changeEvent(QEvent *event) override;
  void closeEvent(QCloseEvent *event) override;
  bool eventFilter(QObject *watched, QEvent *event) override;

private:
  void buildControls();
  void layOutControls();
  void watchForHelp(QWidget *control, const QString &name);
  void placeOptionFormBeside();

  QHash<QObject *, QString> helpSources_;
  bool passRunning_ = false;
  bool scheduledReceive_ = false; // the receive the check cycle started, not a click
  bool receiving_ = false;
  bool stopAsked_ = false; // "中止" was pressed during the receive in progress
  bool unloaded_ = false;
  bool closePending_ = false;
  // The scheduling minute (Text10) in which a check pass found new mail.
  QString newMailMinute_;
};

namespace forms {
platform::FormSlot<MainForm> &mainForm();
}
