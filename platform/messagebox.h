// Message boxes go through one seam: the production backend shows a
// QMessageBox; the test double answers from a queue and records every box.
#pragma once

#include <QString>

class QWidget;

namespace platform {

enum class MsgIcon { None, Information, Exclamation, Question, Critical };
enum class MsgButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class MsgAnswer { Ok, Cancel, Yes, No };

struct MessageBoxRequest {
  QString text;
  QString title; // empty: the program's title, unless `untitled`
  MsgIcon icon = MsgIcon::None;
  MsgButtons buttons = MsgButtons::Ok;
  bool untitled = false; // a title bar with no text at all
  // The button Enter presses: Yes (or Ok) unless a question whose Yes
  // cannot be undone asks for No.
  bool defaultNo = false;
  // False: the box stays on screen while the program goes on, and the call
  // returns Ok at once (see UnattendedBoxes).
  bool blocking = true;
};

class MessageBoxBackend {
public:
  virtual ~MessageBoxBackend() = default;
  virtual MsgAnswer show(QWidget *parent, const MessageBoxRequest &request) = 0;
};

// The title an empty title stands for.
QString programTitle();

// Shows a box (modal; timers and other events go on running meanwhile).
MsgAnswer messageBox(QWidget *parent, const QString &text, const QString &title = {},
                     MsgButtons buttons = MsgButtons::Ok, MsgIcon icon = MsgIcon::None);

// Like messageBox, for the few boxes whose title bar is meant to stay empty
// (messageBox puts the program's title in place of an empty title).
MsgAnswer untitledMessageBox(QWidget *parent, const QString &text,
                             MsgButtons buttons = MsgButtons::Ok, MsgIcon icon = MsgIcon::None);

// A Yes/No question whose default button is No, for a Yes that cannot be
// taken back (trusting a certificate, sending a password unencrypted,
// deleting every record): a stray Enter answers No.
MsgAnswer askDefaultNo(QWidget *parent, const QString &text, const QString &title = {},
                       MsgIcon icon = MsgIcon::Question);

// Loads Qt's own Japanese texts (buttons and standard dialogs: はい, いいえ,
// キャンセル, 開く…) whatever the system's language. False when Debian's
// qt6-translations-l10n is missing.
bool useJapaneseQtTexts();
// While one lives (on the window's thread), nothing waits for the user: a box
// that only tells is shown without blocking (one box per text: a box still
// open is raised instead of shown twice), and a box that asks is not shown
// and counts as declined (No, or Cancel). A check nobody watches runs under
// one, so that no box holds back the next check.
class UnattendedBoxes {
public:
  UnattendedBoxes();
  ~UnattendedBoxes();
  UnattendedBoxes(const UnattendedBoxes &) = delete;
  UnattendedBoxes &operator=(const UnattendedBoxes &) = delete;

private:
  bool previous_;
};
bool boxesUnattended();

// Installs a backend (not owned); nullptr restores the QMessageBox one.
void setMessageBoxBackend(MessageBoxBackend *backend);

} // namespace platform
