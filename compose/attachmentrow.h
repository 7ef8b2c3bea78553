// The attachment row shared by the compose and the reply window: a text box
// with the attachment text sent with the mail (one path, or paths joined with
// ","), a button for the first file, "追加" for more, "取り消し" for none, and
// the list of the chosen files, hidden until "追加" is pressed.
//
// The windows own the controls (they keep the Windows program's control names and layout);
// the row holds the rules. Wire each button's click to the matching
// function here.
#pragma once

#include <QString>

class QLineEdit;
class QListWidget;
class QPushButton;
class QWidget;

namespace compose {

// The attachment text with one more path behind it.
QString joinAttachment(const QString &text, const QString &path);

class AttachmentRow {
public:
  // `window` parents the file dialog. The controls must outlive the row
  // (children of the same window).
  AttachmentRow(QWidget *window, QLineEdit *AttachText, QPushButton *AttachCommand,
                QPushButton *Command9, QPushButton *Command10, QListWidget *List2);

  // First file: enables "追加", asks for a file, and disables itself whether
  // or not one was chosen.
  void AttachCommand_Click();
  // Further file: shows the list; asks for a file only when the attachment
  // text is not empty.
  void Command9_Click();
  // Drops every file: text and list emptied, list hidden, "追加" and
  // "取り消し" disabled, the first-file button enabled again.
  void Command10_Click();

  // The state the compose window starts in, and the one a send leaves:
  // "追加" disabled, list hidden, first-file button enabled.
  void resetButtons();

private:
  QString chooseFile();

  QWidget *window_;
  QLineEdit *AttachText;
  QPushButton *AttachCommand;
  QPushButton *Command9;
  QPushButton *Command10;
  QListWidget *List2;
};

} // namespace compose
