#include "compose/attachmentrow.h"

#include "platform/filedialogs.h"

#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

namespace compose {

QString joinAttachment(const QString &text, const QString &path) {
  return text + QLatin1Char(',') + path;
}

AttachmentRow::AttachmentRow(QWidget *window, QLineEdit *attachText, QPushButton *attachCommand,
                             QPushButton *command9, QPushButton *command10, QListWidget *list2)
    : window_(window), AttachText(attachText), AttachCommand(attachCommand), Command9(command9),
      Command10(command10), List2(list2) {}

// The dialog has no title or filter of its own and offers no read-only box;
// an empty name means nothing was chosen. It opens in the user's home folder:
// the working folder is often the program folder, where the data folder with
// the password lies, one click from being sent by mistake.
QString AttachmentRow::chooseFile() {
  return platform::openFileName(window_, QString(), QString(), QDir::homePath());
}

void AttachmentRow::AttachCommand_Click() {
  Command9->setEnabled(true);
  const QString path = chooseFile();
  if (!path.isEmpty()) {
    AttachText->setText(path);
    List2->addItem(path);
  }
  AttachCommand->setEnabled(false);
}

void AttachmentRow::Command9_Click() {
  List2->show();
  if (AttachText->text().isEmpty())
    return;
  const QString path = chooseFile();
  if (path.isEmpty())
    return;
  AttachText->setText(joinAttachment(AttachText->text(), path));
  List2->addItem(path);
}

void AttachmentRow::Command10_Click() {
  AttachText->clear();
  List2->clear();
  List2->hide();
  Command9->setEnabled(false);
  Command10->setEnabled(false);
  AttachCommand->setEnabled(true);
}

void AttachmentRow::resetButtons() {
  Command9->setEnabled(false);
  List2->hide();
  AttachCommand->setEnabled(true);
}

} // namespace compose
