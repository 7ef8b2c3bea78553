#include "platform/core/dialup.h"
#include "platform/core/networkmanager.h"

#include "tests/support/fakes.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QMutex>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

using namespace platform;

TEST(DialUp, OnlyLineKindsCountAsDialUp) {
  for (const char *kind : {"gsm", "cdma", "pppoe", "ppp", "bluetooth/dun", "GSM", " pppoe "})
    EXPECT_TRUE(isDialUpType(QString::fromLatin1(kind))) << kind;
  for (const char *kind : {"802-3-ethernet", "802-11-wireless", "vpn", "wireguard", "bluetooth", "bluetooth/panu",
                           "bluetooth/", "loopback", "bridge", ""})
    EXPECT_FALSE(isDialUpType(QString::fromLatin1(kind))) << kind;
}

TEST(DialUp, HangsUpEveryLineAndNothingElse) {
  FakeDialUpBackend backend;
  backend.connections = {{"/1", "LAN", "802-3-ethernet"}, {"/2", "Mobile", "gsm"},
                         {"/3", "Home Wi-Fi", "802-11-wireless"}, {"/4", "Provider", "pppoe"},
                         {"/5", "Phone", "bluetooth/dun"}, {"/6", "PAN", "bluetooth/panu"}};
  backend.failingHandles = {"/2"}; // a failed hang-up does not stop the rest
  hangUpAllDialUp();
  EXPECT_EQ(backend.enumerations, 1);
  EXPECT_EQ(backend.lastMax, 256);
  EXPECT_EQ(backend.hungUp, (QStringList{"/2", "/4", "/5"}));
}

TEST(DialUp, AtMost256AreSeen) {
  FakeDialUpBackend backend;
  for (int i = 0; i < 300; ++i)
    backend.connections.append({QString::number(i), QString(), QStringLiteral("ppp")});
  hangUpAllDialUp();
  EXPECT_EQ(backend.hungUp.size(), 256);
}

TEST(DialUp, FailedEnumerationHangsUpNothing) {
  FakeDialUpBackend backend;
  backend.connections = {{"/2", "Mobile", "gsm"}};
  backend.enumerationFails = true;
  hangUpAllDialUp();
  EXPECT_TRUE(backend.hungUp.isEmpty());
}

// NetworkManager over D-Bus ---------------------------------------------------
//
// A private bus daemon with a stand-in service that answers the calls the
// backend makes the way NetworkManager does. The service runs on its own
// thread because the backend's calls block the calling one.

namespace {

using NmSettings = QMap<QString, QVariantMap>;

const QString NmService = QStringLiteral("org.freedesktop.NetworkManager");
const QString NmRoot = QStringLiteral("/org/freedesktop/NetworkManager");

struct FakeConnection {
  QString id;
  QString type;
  QString bluetoothType; // for "bluetooth"
};

class FakeNetworkManager final : public QDBusVirtualObject {
public:
  QList<FakeConnection> active;
  bool silent = false; // never answers, like a hung service
  // Stops answering after this many calls (a service that hangs mid-way).
  int answerLimit = -1;

  int calls() const {
    QMutexLocker lock(&mutex_);
    return calls_;
  }

  QStringList deactivated() const {
    QMutexLocker lock(&mutex_);
    return deactivated_;
  }

  QString introspect(const QString &) const override { return {}; }

  bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override {
    {
      QMutexLocker lock(&mutex_);
      ++calls_;
      if (silent || (answerLimit >= 0 && calls_ > answerLimit))
        return true;
    }
    const QString path = message.path();
    const QString member = message.member();
    const QVariantList args = message.arguments();
    QDBusMessage reply;
    if (member == QLatin1String("Get") && args.size() == 2) {
      const QVariant value = property(path, args[1].toString());
      if (!value.isValid())
        reply = message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"), "no such property");
      else
        reply = message.createReply(QVariant::fromValue(QDBusVariant(value)));
    } else if (member == QLatin1String("GetSettings")) {
      const int index = path.section(u'/', -1).toInt();
      NmSettings settings;
      settings[QStringLiteral("connection")][QStringLiteral("id")] = active.value(index).id;
      if (!active.value(index).bluetoothType.isEmpty())
        settings[QStringLiteral("bluetooth")][QStringLiteral("type")] = active.value(index).bluetoothType;
      reply = message.createReply(QVariant::fromValue(settings));
    } else if (member == QLatin1String("DeactivateConnection") && path == NmRoot && args.size() == 1) {
      QMutexLocker lock(&mutex_);
      deactivated_.append(args[0].value<QDBusObjectPath>().path());
      reply = message.createReply();
    } else {
      reply = message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), member);
    }
    connection.send(reply);
    return true;
  }

private:
  QVariant property(const QString &path, const QString &name) const {
    if (path == NmRoot && name == QLatin1String("ActiveConnections")) {
      QList<QDBusObjectPath> paths;
      for (int i = 0; i < active.size(); ++i)
        paths.append(QDBusObjectPath(NmRoot + QStringLiteral("/ActiveConnection/") + QString::number(i)));
      return QVariant::fromValue(paths);
    }
    if (!path.startsWith(NmRoot + QStringLiteral("/ActiveConnection/")))
      return {};
    const int index = path.section(u'/', -1).toInt();
    if (index < 0 || index >= active.size())
      return {};
    if (name == QLatin1String("Type"))
      return active[index].type;
    if (name == QLatin1String("Id"))
      return active[index].id;
    if (name == QLatin1String("Connection"))
      return QVariant::fromValue(QDBusObjectPath(NmRoot + QStringLiteral("/Settings/") + QString::number(index)));
    return {};
  }

  mutable QMutex mutex_;
  QStringList deactivated_;
  int calls_ = 0;
};

class NetworkManagerTest : public ::testing::Test {
protected:
  void SetUp() override {
    qDBusRegisterMetaType<NmSettings>();
    daemon.setProgram(QStringLiteral("dbus-daemon"));
    daemon.setArguments({QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")});
    daemon.start();
    if (!daemon.waitForStarted(5000) || !daemon.waitForReadyRead(5000))
      GTEST_SKIP() << "dbus-daemon is not available";
    address = QString::fromUtf8(daemon.readLine()).trimmed();
    serviceThread.start();
  }
  void TearDown() override {
    if (serviceBus.isConnected()) {
      serviceBus.unregisterObject(NmRoot);
      QDBusConnection::disconnectFromBus(QStringLiteral("fake-nm"));
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("nm-client"));
    serviceThread.quit();
    serviceThread.wait();
    if (daemon.state() != QProcess::NotRunning) {
      daemon.terminate();
      daemon.waitForFinished(5000);
    }
  }

  // Puts the stand-in service on the bus.
  void publish() {
    fake.moveToThread(&serviceThread);
    serviceBus = QDBusConnection::connectToBus(address, QStringLiteral("fake-nm"));
    ASSERT_TRUE(serviceBus.isConnected());
    bool registered = false;
    // Registered from the service's own thread, where its messages arrive.
    QMetaObject::invokeMethod(
        &fake, [&] { registered = serviceBus.registerVirtualObject(NmRoot, &fake, QDBusConnection::SubPath); },
        Qt::BlockingQueuedConnection);
    ASSERT_TRUE(registered);
    ASSERT_TRUE(serviceBus.registerService(NmService));
  }

  QDBusConnection client() { return QDBusConnection::connectToBus(address, QStringLiteral("nm-client")); }

  QProcess daemon;
  QString address;
  QThread serviceThread;
  FakeNetworkManager fake;
  QDBusConnection serviceBus{QString()};
};

} // namespace

TEST_F(NetworkManagerTest, ListsOnlyDialUpConnectionsAndDeactivatesThem) {
  fake.active = {{"LAN", "802-3-ethernet", {}}, {"Mobile", "gsm", {}},
                 {"Phone", "bluetooth", "dun"}, {"PAN", "bluetooth", "panu"},
                 {"Office", "vpn", {}}, {"Provider", "pppoe", {}}};
  publish();
  NetworkManagerDialUp backend(client(), NmService, 2000);
  QList<DialUpConnection> found;
  ASSERT_TRUE(backend.enumerate(found, 256));
  QStringList names;
  for (const auto &c : found)
    names << c.name + u':' + c.type;
  EXPECT_EQ(names, (QStringList{"Mobile:gsm", "Phone:bluetooth/dun", "Provider:pppoe"}));

  setDialUpBackend(&backend);
  hangUpAllDialUp();
  setDialUpBackend(nullptr);
  EXPECT_EQ(fake.deactivated(), (QStringList{NmRoot + "/ActiveConnection/1", NmRoot + "/ActiveConnection/2",
                                             NmRoot + "/ActiveConnection/5"}));
}

TEST_F(NetworkManagerTest, EnumerationStopsAtTheLimit) {
  for (int i = 0; i < 5; ++i)
    fake.active.append({QString::number(i), "gsm", {}});
  publish();
  NetworkManagerDialUp backend(client(), NmService, 2000);
  QList<DialUpConnection> found;
  ASSERT_TRUE(backend.enumerate(found, 3));
  EXPECT_EQ(found.size(), 3);
}

TEST_F(NetworkManagerTest, NoServiceOrAHungServiceIsAFailedEnumeration) {
  {
    NetworkManagerDialUp backend(client(), NmService, 2000);
    QList<DialUpConnection> found;
    EXPECT_FALSE(backend.enumerate(found, 256));
    EXPECT_TRUE(found.isEmpty());
  }
  fake.silent = true;
  fake.active = {{"Mobile", "gsm", {}}};
  publish();
  NetworkManagerDialUp backend(client(), NmService, 300);
  QList<DialUpConnection> found;
  EXPECT_FALSE(backend.enumerate(found, 256));
}

// The backend gives up on a service that stops answering instead of waiting
// out a timeout for every remaining call.
TEST_F(NetworkManagerTest, StopsCallingAServiceThatHangsMidway) {
  fake.active = {{"A", "gsm", {}}, {"B", "gsm", {}}, {"C", "gsm", {}}};
  fake.answerLimit = 3; // the list, then Type and Id of the first connection
  publish();
  NetworkManagerDialUp backend(client(), NmService, 300);
  setDialUpBackend(&backend);
  hangUpAllDialUp();
  setDialUpBackend(nullptr);
  EXPECT_EQ(fake.calls(), 4); // the call that got no answer, and no more
  EXPECT_TRUE(fake.deactivated().isEmpty());
}

TEST(DialUp, NoBusAtAllIsSilent) {
  NetworkManagerDialUp backend(QDBusConnection(QStringLiteral("never-connected")), QStringLiteral("x.y"), 300);
  QList<DialUpConnection> found;
  EXPECT_FALSE(backend.enumerate(found, 256));
  EXPECT_FALSE(backend.hangUp({"/1", "x", "gsm"}));
}
