// The send sequence of the compose window: one pass per recipient, each
// writing its sent-history record before the mail goes to the transport (and
// removing it again when the transport refuses the mail).
#pragma once

#include "mail/store/mailrecord.h"

#include <QList>
#include <QString>
#include <functional>

class QWidget;

namespace compose {

// Where the sent history takes a mail's date from: the main window's
// date-and-time text, read at the moment of each pass. The main window
// installs it at start-up.
void setSentDateSource(std::function<QString()> source);
QString sentDateText();

// What the user typed, as the window holds it.
struct Draft {
  QString to;
  QString subject;
  QString body;
  QString attachments;  // "" or paths joined with ","
  bool fortune = false; // "占い添付" ticked
};

// The sent-history record of a pass: subject, recipient text and body with
// their leading and trailing blanks removed (line breaks and tabs stay), the
// date as the main window shows it.
mail::MailRecord sentRecordOf(const Draft &draft, const QString &dateText);

struct SendOutcome {
  int passes = 0;  // passes run
  int handed = 0;  // passes whose mail went to the transport
  int refused = 0; // of those, the ones the transport reported as failed;
                   // their records are taken out of the sent history again
  int skipped = 0; // passes stopped by a file that could not be read or written
  // Positions in `bulkRecords` (0-based; 0 for the one pass of a single send)
  // of the passes whose mail did not go out: skipped or refused.
  QList<int> notDelivered;
};

// Runs the passes. `bulkRecords` (when `bulk` is set) are the address-book
// record numbers of the panel's list, one pass each; otherwise one pass goes
// to the To text as typed. `showProgress` is called at the start of each
// pass. Failures are reported in message boxes over `window`.
SendOutcome sendDraft(QWidget *window, const Draft &draft, bool bulk, const QList<int> &bulkRecords,
                      const std::function<void()> &showProgress);

// True while a mail is being sent (the window keeps taking clicks while the
// server answers): a second send never starts beside it.
bool sendRunning();
// A receive writes the mail files between its network waits, and the window
// takes clicks meanwhile: says so and returns true while one runs, so that no
// send starts beside it.
bool refuseWhileReceiving(QWidget *window);
// Marks a send in progress for its lifetime.
class SendGuard {
public:
  SendGuard();
  ~SendGuard();
  SendGuard(const SendGuard &) = delete;
  SendGuard &operator=(const SendGuard &) = delete;
};

} // namespace compose
