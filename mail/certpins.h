// Certificates the user chose to trust, one per server (host and port), in a
// small file of their own in the data folder. The transport asks for them
// through its pin provider when it connects, for receiving and sending alike.
#pragma once

#include "mail/nmail/nmail.h"

#include <QByteArray>
#include <QString>

class QWidget;

namespace mail {

// The file in the data folder.
QString certificatePinFile();
// The SHA-256 (32 bytes) trusted for the server, or empty.
QByteArray storedCertificatePin(const QString &host, quint16 port);
// Keeps (or replaces) the pin of one server; the file is rewritten whole
// through a temporary file, so a crash leaves the old or the new one.
bool storeCertificatePin(const QString &host, quint16 port, const QByteArray &sha256);
// Gives the transport the stored pins (at start-up).
void useStoredCertificatePins();

// Shows the certificate a server presented and asks whether to trust it for
// that server; yes stores the pin. True when the pin is now stored.
bool askToTrustCertificate(QWidget *parent, const nmail::ServerCertificate &certificate);

// What to do about a certificate that changed since it was trusted.
QString changedCertificateAdvice();

} // namespace mail
