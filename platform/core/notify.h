// The desktop's new-mail notification (org.freedesktop.Notifications on the
// session bus). Where no notification service runs, nothing happens and
// nothing is printed: the main window's status line still tells.
#pragma once

#include <QString>
#include <QStringList>

namespace platform {

// The summary and body of the notification for mails with these subjects,
// in the order they were stored. `markup` escapes the subjects for a service
// that reads the body as markup.
struct NewMailText {
  QString summary;
  QString body;
};
NewMailText newMailText(const QStringList &subjects, bool markup);

// Announces that a check stored these mails (nothing when the list is empty).
// Returns at once; the bus is spoken to while events run.
void notifyNewMail(const QStringList &subjects);

// Tests send notifications over a bus of their own: the name of a connection
// made with QDBusConnection::connectToBus (empty = the session bus).
void setNotificationBus(const QString &connectionName);

} // namespace platform
