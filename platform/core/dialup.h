// Dial-up connections: enumerate (at most 256) and hang each one up.
//
// On Linux the backend asks NetworkManager over D-Bus and deactivates only
// dial-up kinds of connection (modem and PPP: gsm, cdma, pppoe, bluetooth
// dial-up). Ethernet and Wi-Fi are never touched. Without NetworkManager it
// does nothing, silently.
#pragma once

#include <QList>
#include <QString>

namespace platform {

struct DialUpConnection {
  QString handle; // backend's identity of the active connection
  QString name;
  QString type;
};

inline constexpr int MaxDialUpConnections = 256;

class DialUpBackend {
public:
  virtual ~DialUpBackend() = default;
  // False when the enumeration failed (no service): nothing is hung up then.
  virtual bool enumerate(QList<DialUpConnection> &out, int max) = 0;
  virtual bool hangUp(const DialUpConnection &connection) = 0;
};

// True for the kinds of connection that are dial-up lines: "gsm", "cdma",
// "pppoe", "ppp" and a Bluetooth dial-up link ("bluetooth/dun"). Wired,
// wireless, VPN and Bluetooth network links are not.
bool isDialUpType(const QString &type);

// Enumerates at most 256 dial-up connections and hangs each one up; results
// are not looked at and a failed hang-up does not stop the others.
void hangUpAllDialUp();

// Installs a backend (not owned); nullptr restores the NetworkManager one.
void setDialUpBackend(DialUpBackend *backend);

} // namespace platform
