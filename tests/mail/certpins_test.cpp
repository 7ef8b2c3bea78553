// The certificate question: what it shows cannot be forged by the
// certificate's own text, and a certificate with a fault beyond its issuer
// is never offered for trust.
#include "mail/certpins.h"

#include "mail/net/lineconnection.h"
#include "tests/support/messageboxdouble.h"
#include "tests/support/programfolder.h"

#include <QFile>
#include <QSslError>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

nmail::ServerCertificate certificate() {
  nmail::ServerCertificate c;
  c.host = QStringLiteral("mail.example.jp");
  c.port = 110;
  c.subject = QStringLiteral("CN=mail.example.jp");
  c.issuer = QStringLiteral("CN=mail.example.jp");
  c.sha256 = QByteArray(32, '\x11');
  return c;
}

// Regression: a subject holding line breaks printed a fingerprint line of
// its own above the real one.
TEST(CertificateQuestion, ANameWithLineBreaksStaysOnItsLineAndTheFingerprintIsOurs) {
  TempProgramFolder folder;
  MessageBoxDouble boxes;
  nmail::ServerCertificate c = certificate();
  c.subject = QStringLiteral("CN=x\nSHA-256 指紋:\n") + QString(64, QLatin1Char('A')) +
              QChar(0x2028) + QChar(0x202e) + QStringLiteral("\r");
  boxes.pushEnter();
  EXPECT_FALSE(mail::askToTrustCertificate(nullptr, c));

  ASSERT_EQ(boxes.boxes().size(), 1);
  const QStringList lines = boxes.boxes()[0].text.split(QLatin1Char('\n'));
  const auto startingWith = [&](const QString &start) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const QString &line) { return line.startsWith(start); });
  };
  EXPECT_EQ(startingWith(QStringLiteral("SHA-256 指紋")), 1);
  EXPECT_EQ(startingWith(QString(64, QLatin1Char('A'))), 0);
  const qsizetype at = lines.indexOf(QStringLiteral("SHA-256 指紋:"));
  ASSERT_GE(at, 0);
  EXPECT_EQ(lines.value(at + 1), nmail::fingerprintText(c.sha256));
  const QString subjectLine = lines.filter(QStringLiteral("発行先")).value(0);
  EXPECT_TRUE(subjectLine.contains(QChar(0x240a))) << subjectLine.toStdString(); // ␊
  EXPECT_FALSE(subjectLine.contains(QChar(0x2028)));
  EXPECT_FALSE(subjectLine.contains(QChar(0x202e)));
  EXPECT_FALSE(subjectLine.contains(QLatin1Char('\r')));
  // Enter alone trusted nothing.
  EXPECT_TRUE(boxes.boxes()[0].defaultNo);
  EXPECT_FALSE(QFile::exists(mail::certificatePinFile()));
}

TEST(CertificateQuestion, OnlyAnIssuerNobodyVouchesForIsOfferedForTrust) {
  const QSslCertificate none;
  EXPECT_TRUE(nmail::untrustableReason({QSslError(QSslError::SelfSignedCertificate, none)})
                  .isEmpty());
  EXPECT_TRUE(nmail::untrustableReason({QSslError(QSslError::UnableToGetLocalIssuerCertificate, none),
                                        QSslError(QSslError::UnableToVerifyFirstCertificate, none)})
                  .isEmpty());
  for (const auto fault : {QSslError::HostNameMismatch, QSslError::CertificateExpired,
                           QSslError::CertificateNotYetValid, QSslError::CertificateRevoked}) {
    const QSslError error(fault, none);
    const QString reason =
        nmail::untrustableReason({QSslError(QSslError::SelfSignedCertificate, none), error});
    EXPECT_EQ(reason, error.errorString()) << int(fault);
  }

  // Such a certificate is never put to the user: no box, no pin.
  TempProgramFolder folder;
  MessageBoxDouble boxes; // fails the test on any box
  nmail::ServerCertificate c = certificate();
  c.refusal = QSslError(QSslError::HostNameMismatch, none).errorString();
  EXPECT_FALSE(mail::askToTrustCertificate(nullptr, c));
  EXPECT_TRUE(boxes.boxes().isEmpty());
  EXPECT_FALSE(QFile::exists(mail::certificatePinFile()));
}

} // namespace
