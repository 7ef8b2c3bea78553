// Certificates the user chose to trust, one per server (host and port), in a
// small file of their own in the data folder. The transport asks for them
// through its pin provider when it connects, for receiving and sending alike.
#pragma once

#include "mail/net/nmail.h"

#include <QByteArray>
#include <QString>
#include <functional>

class QWidget;

namespace mail {

// The file in the data folder.
QString certificatePinFile();
// The SHA-256 (32 bytes) trusted for the server, or empty.
QByteArray storedCertificatePin(const QString &host, quint16 port);
// Keeps (or replaces) the pin of one server; the file is rewritten whole
// through a temporary file, so a crash leaves the old or the new one.
bool storeCertificatePin(const QString &host, quint16 port, const QByteArray &sha256);
// Gives the transport the stored pins, the servers the user agreed to send
// a password to unencrypted and the servers seen offering TLS (at start-up).
void useStoredCertificatePins();

// Shows the certificate a server presented and asks whether to trust it for
// that server (default No); yes stores the pin. True when the pin is now
// stored. A certificate with a fault other than its issuer is never offered.
bool askToTrustCertificate(QWidget *parent, const nmail::ServerCertificate &certificate);

// A certificate's name on one line: line breaks and other control or
// formatting characters shown as visible marks, so that a name cannot
// print lines of its own choosing into the question.
QString oneLineName(const QString &name);

// Servers the user agreed to send the password to without encryption, one
// "host port" line each in a file of the data folder; deleting a line takes
// the agreement back.
QString plaintextAgreementFile();
bool plaintextLoginAgreed(const QString &host, quint16 port);
bool storePlaintextAgreement(const QString &host, quint16 port);
// Servers seen offering STLS / STARTTLS, in the same form: one of them
// offering none later is refused whatever was agreed.
QString tlsServerFile();
bool offeredTlsBefore(const QString &host, quint16 port);
bool storeOfferedTls(const QString &host, quint16 port);

// Says that the server offers no encryption and the password would be
// readable on the network, and asks whether to send it unencrypted to this
// server (default No); yes keeps the agreement. True when it is now kept.
bool askToSendPasswordUnencrypted(QWidget *parent, const nmail::PlaintextRefusal &refusal);
// What the user may be asked after a connection the transport refused: to
// trust a certificate no authority vouches for (a self-signed one; never a
// changed or otherwise faulty one), or to send the password to a server
// without encryption (never to one that offered encryption before).
enum class TrustQuestion { None, Certificate, Plaintext };
TrustQuestion pendingTrustQuestion();
// Asks it; true when the user said yes and the answer is kept.
bool askTrustQuestion(QWidget *parent, TrustQuestion question);

// Runs `send` (a transport call, below 0 on failure). When it stopped at a
// certificate no authority vouches for, or before sending the password
// unencrypted, asks (unless `declined` says the user already said no during
// this click) and on yes runs it once more; a no is noted in `declined`.
int sendAskingAboutTrust(QWidget *parent, const std::function<int()> &send,
                         bool *declined = nullptr);
// What to do about a server that stopped offering encryption.
QString lostEncryptionAdvice();

// What to do about a certificate that changed since it was trusted.
QString changedCertificateAdvice();

} // namespace mail
