// The dial-up backend over NetworkManager's D-Bus interface.
#pragma once

#include "platform/core/dialup.h"

#include <QDBusConnection>

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
  std::optional<QVariant> property(const QString &path, const QString &interface, const QString &name) const;
  QString bluetoothKind(const QString &settingsPath) const;

  QDBusConnection bus_;
  QString service_;
  int timeoutMs_;
};

} // namespace platform
