// The dialog for copies of received mail on the server: keep them, delete
// them after some days, delete them with their records. Opened from the
// settings menu; it reads and writes servercopies.ini (servercopies.h).
#pragma once

#include "platform/forms.h"

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

class KeepForm : public QWidget {
  Q_OBJECT
public:
  explicit KeepForm(QWidget *parent = nullptr);

  QCheckBox *KeepCheck;       // "サーバーにメールを残す": keep copies on the server
  QLabel *DaysLabel;          // "n日後にサーバーから削除", caption of DaysText
  QLineEdit *DaysText;        // n: days until a kept copy is deleted; blank: never
  QLabel *DaysNote;           // what a blank DaysText means
  QCheckBox *RecordCheck;     // "受信履歴から削除したらサーバーからも削除"
  QPushButton *OkCommand;     // "設定": store and close
  QPushButton *CancelCommand; // "中止": close without change

  void Form_Load();

public Q_SLOTS:
  void KeepCheck_Click();
  void OkCommand_Click();
  void CancelCommand_Click();
};

namespace forms {
platform::FormSlot<KeepForm> &keepForm();
}
