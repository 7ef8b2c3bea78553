// The reply window: answers a received mail. Unlike the compose window it
// keeps no sent-history record.
#pragma once

#include "compose/attachmentrow.h"
#include "platform/forms.h"

#include <QWidget>

#include <optional>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTextEdit;

class BackForm : public QWidget {
  Q_OBJECT
public:
  explicit BackForm(QWidget *parent = nullptr);

  QLabel *ToLabel;
  QLineEdit *ToText; // recipient: the answered mail's sender as received
  QLabel *SubjectLabel;
  QLineEdit *SubjectText; // "Re:", two spaces, the answered subject
  QLabel *AttachLabel;
  QLineEdit *AttachText;      // attachment text: paths joined with ","
  QPushButton *AttachCommand; // "添付": first file
  QPushButton *Command9;      // "追加": a further file
  QPushButton *Command10;     // "取り消し": no files
  QListWidget *List2;         // the chosen files
  QTextEdit *BodyText;        // the reply; only its plain text is sent
  QPushButton *Command1;      // "ホーム": close without sending
  QPushButton *Command2;      // "送信": send and close
  QPushButton *Command3;      // "送信中止": back to the main window, keeping everything
  QPushButton *Command4;      // "本文に貼付": clipboard text above the answered body

  // The header block of the answered mail as received; empty when the
  // record has no original.
  QByteArray AnsweredHeader;

  void Form_Load();
  void Form_Resize();

public Q_SLOTS:
  void Command1_Click();
  void Command2_Click();
  void Command3_Click();
  void Command4_Click();
  void AttachCommand_Click();
  void Command9_Click();
  void Command10_Click();

protected:
  void resizeEvent(QResizeEvent *event) override;

private:
  std::optional<compose::AttachmentRow> attachments_;
};

namespace forms {
platform::FormSlot<BackForm> &backForm();
}

namespace compose {
// "返事を出す" of the viewer: fills the reply window (loading it when it is
// not loaded) and puts it where the viewer was.
// `original` is the answered mail's file: the reply names it (In-Reply-To,
// References) so that the recipient's program threads the answer.
void openReply(QWidget *viewer, const QString &subject, const QString &to, const QString &body,
               const QString &original = {});
} // namespace compose
