// The receive routine: fetches every waiting mail, stores it in the received
// history, unpacks its attachments and deletes it on the server.
#pragma once

#include <QString>

class QWidget;

namespace mail {

// What the routine needs of the main window.
class ReceiveHost {
public:
  virtual ~ReceiveHost() = default;
  virtual QWidget *hostWindow() = 0;
  virtual void setHelpText(const QString &text) = 0;   // Text1
  virtual void setStatusText(const QString &text) = 0; // Text3
  virtual void restoreWindow() = 0;                    // window state normal
  virtual bool hangUpMode() const = 0;                 // Option2 selected
  virtual void hangUp() = 0;                           // Command13_Click
  // True while the routine runs for a scheduled check nobody watches: its
  // boxes do not wait for an answer and it asks no question (the question
  // comes at the next click).
  virtual bool unattended() const { return false; }
};

void ReceiveMail(ReceiveHost &host);
// True while a receive runs (a second one never starts beside it).
bool receiveRunning();
// Asks the receive in progress to stop before its next mail: the mails it
// stored are deleted on the server as usual, the rest stay there.
void stopReceive();
// Ends the receive in progress at once (the window is closing): the network
// wait in progress fails, the stored records reach the disk and the session
// ends without QUIT, so the server deletes nothing of it; the next check
// deletes the mails it stored there.
void abandonReceive();

} // namespace mail
