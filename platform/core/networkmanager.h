// The dial-up backend over NetworkManager's D-Bus interface.
#pragma once

#include "platform/core/dialup.h"

#include <QDBusConnection>
#include <QDBusMessage>

#include <optional>

namespace platform {

class NetworkManagerDialUp final : public DialUpBackend {
public:
  // `bus` is normally the system bus; `timeoutMs` bounds every call, so a
  // stuck service can hold the window only briefly.
  explicit NetworkManagerDialUp(QDBusConnection bus, QString service = QStringLiteral("org.freedesktop.NetworkManager"),
                                int timeoutMs = 2000);

  bool enumerate(QList<DialUpConnection> &out, int max) override;
  bool hangUp(const DialUpConnection &connection) override;

private:
  // One call with the timeout. After a call that got no answer the service
  // is taken as stuck and no further calls are made until the next
  // enumeration, so a hang-up never holds the program for more than about
  // one timeout.
  std::optional<QDBusMessage> call(const QDBusMessage &message);
  std::optional<QVariant> property(const QString &path, const QString &interface, const QString &name);
  QString bluetoothKind(const QString &settingsPath);

  QDBusConnection bus_;
  QString service_;
  int timeoutMs_;
  bool stuck_ = false;
};

} // namespace platform
