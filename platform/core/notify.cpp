#include "platform/core/notify.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QMutex>
#include <QVariantMap>

namespace platform {
namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString Interface = QStringLiteral("org.freedesktop.Notifications");
constexpr int SubjectsShown = 3;
constexpr int SubjectLength = 60;

QMutex busMutex;
QString busName;

QDBusConnection bus() {
  QMutexLocker lock(&busMutex);
  return busName.isEmpty() ? QDBusConnection::sessionBus() : QDBusConnection(busName);
}

void sendNotify(QDBusConnection connection, const QStringList &subjects, bool markup) {
  const NewMailText text = newMailText(subjects, markup);
  QDBusMessage notify =
      QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("Notify"));
  const QVariantMap hints{{QStringLiteral("category"), QStringLiteral("email.arrived")},
                          {QStringLiteral("desktop-entry"), QStringLiteral("korvex")}};
  notify << QStringLiteral("Korvex") << 0u << QStringLiteral("korvex") << text.summary << text.body
         << QStringList() << hints << -1;
  // The reply (the notification's id, or an error) is of no use to us.
  connection.send(notify);
}

} // namespace

NewMailText newMailText(const QStringList &subjects, bool markup) {
  NewMailText text;
  text.summary = QStringLiteral("新着メールが%1通届きました").arg(subjects.size());
  QStringList lines;
  for (qsizetype i = 0; i < subjects.size() && i < SubjectsShown; ++i) {
    QString subject = subjects[i].simplified();
    if (subject.isEmpty())
      subject = QStringLiteral("（件名なし）");
    else if (subject.size() > SubjectLength)
      subject = subject.left(SubjectLength - 1) + QChar(u'…');
    lines.append(markup ? subject.toHtmlEscaped() : subject);
  }
  if (subjects.size() > SubjectsShown)
    lines.append(QStringLiteral("ほか%1通").arg(subjects.size() - SubjectsShown));
  text.body = lines.join(u'\n');
  return text;
}

void notifyNewMail(const QStringList &subjects) {
  if (subjects.isEmpty())
    return;
  QDBusConnection connection = bus();
  if (!connection.isConnected())
    return;
  // Whether the service reads the body as markup decides how subjects are
  // written; a subject like "a<b" must come out as typed. Nothing waits here:
  // a service that is slow or absent only delays or drops the notification.
  QDBusMessage ask =
      QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("GetCapabilities"));
  auto *watcher = new QDBusPendingCallWatcher(connection.asyncCall(ask, 5000));
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                   [connection, subjects](QDBusPendingCallWatcher *call) {
                     call->deleteLater();
                     const QDBusPendingReply<QStringList> capabilities = *call;
                     if (capabilities.isError())
                       return; // no notification service: the status line tells
                     sendNotify(connection, subjects,
                                capabilities.value().contains(QStringLiteral("body-markup")));
                   });
}

void setNotificationBus(const QString &connectionName) {
  QMutexLocker lock(&busMutex);
  busName = connectionName;
}

} // namespace platform
