#include "platform/core/dialup.h"

#include "platform/core/networkmanager.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>

#include <atomic>

namespace platform {
namespace {

const QString NmPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString NmInterface = QStringLiteral("org.freedesktop.NetworkManager");
const QString ActiveInterface = QStringLiteral("org.freedesktop.NetworkManager.Connection.Active");
const QString SettingsInterface = QStringLiteral("org.freedesktop.NetworkManager.Settings.Connection");
const QString PropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

using NmSettings = QMap<QString, QVariantMap>;

std::atomic<DialUpBackend *> installed{nullptr};

// Object paths arrive as QDBusObjectPath or, when a property was read
// through a variant, as a QDBusArgument holding an "ao".
QList<QDBusObjectPath> objectPaths(const QVariant &value) {
  if (value.canConvert<QList<QDBusObjectPath>>() && value.metaType() == QMetaType::fromType<QList<QDBusObjectPath>>())
    return value.value<QList<QDBusObjectPath>>();
  QList<QDBusObjectPath> paths;
  if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
    const QDBusArgument arg = value.value<QDBusArgument>();
    if (arg.currentSignature() == QLatin1String("ao"))
      arg >> paths;
  }
  return paths;
}

QString objectPath(const QVariant &value) {
  if (value.metaType() == QMetaType::fromType<QDBusObjectPath>())
    return value.value<QDBusObjectPath>().path();
  return value.toString();
}

} // namespace

bool isDialUpType(const QString &type) {
  static const QStringList kinds = {QStringLiteral("gsm"), QStringLiteral("cdma"), QStringLiteral("pppoe"),
                                    QStringLiteral("ppp"), QStringLiteral("bluetooth/dun")};
  return kinds.contains(type.trimmed().toLower());
}

NetworkManagerDialUp::NetworkManagerDialUp(QDBusConnection bus, QString service, int timeoutMs)
    : bus_(std::move(bus)), service_(std::move(service)), timeoutMs_(timeoutMs) {
  qDBusRegisterMetaType<NmSettings>();
}

std::optional<QDBusMessage> NetworkManagerDialUp::call(const QDBusMessage &message) {
  if (stuck_ || !bus_.isConnected())
    return std::nullopt;
  const QDBusMessage reply = bus_.call(message, QDBus::Block, timeoutMs_);
  if (reply.type() == QDBusMessage::ReplyMessage)
    return reply;
  if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
      reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.Timeout"))
    stuck_ = true;
  return std::nullopt;
}

std::optional<QVariant> NetworkManagerDialUp::property(const QString &path, const QString &interface,
                                                      const QString &name) {
  QDBusMessage get = QDBusMessage::createMethodCall(service_, path, PropertiesInterface, QStringLiteral("Get"));
  get << interface << name;
  const auto reply = call(get);
  if (!reply || reply->arguments().isEmpty())
    return std::nullopt;
  return reply->arguments().constFirst().value<QDBusVariant>().variant();
}

// "dun" for a Bluetooth dial-up link, "panu" or similar for a network link.
QString NetworkManagerDialUp::bluetoothKind(const QString &settingsPath) {
  if (settingsPath.isEmpty() || settingsPath == QLatin1String("/"))
    return {};
  const auto reply = call(
      QDBusMessage::createMethodCall(service_, settingsPath, SettingsInterface, QStringLiteral("GetSettings")));
  if (!reply || reply->arguments().isEmpty())
    return {};
  const QVariant first = reply->arguments().constFirst();
  NmSettings settings;
  if (first.metaType() == QMetaType::fromType<QDBusArgument>())
    first.value<QDBusArgument>() >> settings;
  else
    settings = first.value<NmSettings>();
  return settings.value(QStringLiteral("bluetooth")).value(QStringLiteral("type")).toString();
}

bool NetworkManagerDialUp::enumerate(QList<DialUpConnection> &out, int max) {
  stuck_ = false;
  const auto active = property(NmPath, NmInterface, QStringLiteral("ActiveConnections"));
  if (!active)
    return false;
  for (const QDBusObjectPath &path : objectPaths(*active)) {
    if (out.size() >= max || stuck_)
      break;
    const QString p = path.path();
    QString type = property(p, ActiveInterface, QStringLiteral("Type")).value_or(QVariant()).toString();
    if (type == QLatin1String("bluetooth")) {
      const QString settings = objectPath(property(p, ActiveInterface, QStringLiteral("Connection")).value_or(QVariant()));
      type += u'/' + bluetoothKind(settings);
    }
    if (!isDialUpType(type))
      continue;
    const QString name = property(p, ActiveInterface, QStringLiteral("Id")).value_or(QVariant()).toString();
    out.append(DialUpConnection{p, name, type});
  }
  return true;
}

bool NetworkManagerDialUp::hangUp(const DialUpConnection &connection) {
  QDBusMessage deactivate =
      QDBusMessage::createMethodCall(service_, NmPath, NmInterface, QStringLiteral("DeactivateConnection"));
  deactivate << QVariant::fromValue(QDBusObjectPath(connection.handle));
  return call(deactivate).has_value();
}

void hangUpAllDialUp() {
  DialUpBackend *backend = installed.load();
  std::unique_ptr<NetworkManagerDialUp> system;
  if (!backend) {
    system = std::make_unique<NetworkManagerDialUp>(QDBusConnection::systemBus());
    backend = system.get();
  }
  QList<DialUpConnection> connections;
  if (!backend->enumerate(connections, MaxDialUpConnections))
    return;
  int seen = 0;
  for (const DialUpConnection &c : std::as_const(connections)) {
    if (++seen > MaxDialUpConnections)
      break;
    // Only lines are dropped, whatever a backend lists.
    if (isDialUpType(c.type))
      backend->hangUp(c);
  }
}

void setDialUpBackend(DialUpBackend *backend) { installed.store(backend); }

} // namespace platform
