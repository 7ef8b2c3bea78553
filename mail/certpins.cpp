#include "mail/certpins.h"

#include "platform/core/paths.h"
#include "platform/messagebox.h"

#include <QFile>
#include <QSaveFile>

namespace mail {

namespace {

const QString PinFileName = QStringLiteral("certpins.txt");

// Host names are compared without regard to case, as DNS does.
QString hostKey(const QString &host) {
  return host.trimmed().toLower();
}

struct Pin {
  QString host;
  quint16 port = 0;
  QByteArray sha256;
};

// Lines "host port hex"; anything else is skipped.
QList<Pin> readPins() {
  QList<Pin> pins;
  QFile file(certificatePinFile());
  if (!file.open(QIODevice::ReadOnly))
    return pins;
  const QByteArray data = file.read(1024 * 1024);
  for (const QByteArray &raw : data.split('\n')) {
    const QList<QByteArray> fields = raw.trimmed().split(' ');
    if (fields.size() != 3)
      continue;
    bool ok = false;
    const uint port = fields[1].toUInt(&ok);
    const QByteArray sha = QByteArray::fromHex(fields[2]);
    if (!ok || port < 1 || port > 65535 || sha.size() != 32 || fields[2].size() != 64)
      continue;
    pins.append(Pin{hostKey(QString::fromUtf8(fields[0])), quint16(port), sha});
  }
  return pins;
}

QString shownDate(const QDateTime &when) {
  return when.isValid() ? when.toLocalTime().toString(QStringLiteral("yyyy/MM/dd HH:mm"))
                        : QStringLiteral("不明");
}

} // namespace

QString certificatePinFile() {
  return platform::dataFile(PinFileName);
}

QByteArray storedCertificatePin(const QString &host, quint16 port) {
  const QString key = hostKey(host);
  for (const Pin &pin : readPins())
    if (pin.host == key && pin.port == port)
      return pin.sha256;
  return {};
}

bool storeCertificatePin(const QString &host, quint16 port, const QByteArray &sha256) {
  const QString key = hostKey(host);
  if (sha256.size() != 32 || key.isEmpty() || key.contains(QLatin1Char(' ')) ||
      !platform::dataFolderExists())
    return false;
  QByteArray out;
  for (const Pin &pin : readPins())
    if (!(pin.host == key && pin.port == port))
      out += pin.host.toUtf8() + ' ' + QByteArray::number(pin.port) + ' ' + pin.sha256.toHex() +
             "\r\n";
  out += key.toUtf8() + ' ' + QByteArray::number(port) + ' ' + sha256.toHex() + "\r\n";
  QSaveFile file(certificatePinFile());
  if (!file.open(QIODevice::WriteOnly) || file.write(out) != out.size())
    return false;
  return file.commit();
}

void useStoredCertificatePins() {
  nmail::setCertificatePinProvider(
      [](const QString &host, quint16 port) { return storedCertificatePin(host, port); });
}

bool askToTrustCertificate(QWidget *parent, const nmail::ServerCertificate &c) {
  const QString server =
      (c.host.contains(QLatin1Char(':')) ? QLatin1Char('[') + c.host + QLatin1Char(']') : c.host) +
      QLatin1Char(':') + QString::number(c.port);
  const QString text =
      QStringLiteral("サーバー %1 の証明書は、信頼できる認証局のものと確認できませんでした。\n\n"
                     "発行先: %2\n発行者: %3\n有効期間: %4 から %5 まで\nSHA-256 指紋:\n%6\n\n"
                     "このサーバーについて、この証明書を信頼しますか？\n"
                     "指紋がサーバーの管理者から知らされたものと同じことを確かめてから"
                     "「はい」を選んで下さい。")
          .arg(server, c.subject.isEmpty() ? QStringLiteral("不明") : c.subject,
               c.issuer.isEmpty() ? QStringLiteral("不明") : c.issuer, shownDate(c.effectiveDate),
               shownDate(c.expiryDate), nmail::fingerprintText(c.sha256));
  if (platform::messageBox(parent, text, QStringLiteral("証明書の確認"),
                           platform::MsgButtons::YesNo,
                           platform::MsgIcon::Exclamation) != platform::MsgAnswer::Yes)
    return false;
  if (storeCertificatePin(c.host, c.port, c.sha256))
    return true;
  platform::messageBox(
      parent,
      QStringLiteral("信頼する証明書をデータフォルダのファイル「%1」に保存できません"
                     "でした。データフォルダを確認して下さい。")
          .arg(PinFileName),
      {}, platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
  return false;
}

QString changedCertificateAdvice() {
  return QStringLiteral("証明書を替えたかどうかをサーバーの管理者に確かめて下さい。新しい証明書を"
                        "信頼する場合は、データフォルダのファイル「%1」からこのサーバーの行を削除"
                        "してから受信し直すと、改めて確認します。")
      .arg(PinFileName);
}

} // namespace mail
