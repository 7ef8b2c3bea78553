#include "mail/certpins.h"
#include "platform/core/replacefile.h"

#include "platform/core/paths.h"
#include "platform/core/privatefiles.h"
#include "platform/messagebox.h"

#include <QFile>

namespace mail {

namespace {

const QString PinFileName = QStringLiteral("certpins.txt");
const QString PlaintextFileName = QStringLiteral("plainauth.txt");
const QString TlsFileName = QStringLiteral("tlsservers.txt");

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

QString serverLabel(const QString &host, quint16 port) {
  return (host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host) +
         QLatin1Char(':') + QString::number(port);
}

// Lines "host port"; anything else is skipped.
QList<std::pair<QString, quint16>> readServers(const QString &path) {
  QList<std::pair<QString, quint16>> servers;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly))
    return servers;
  for (const QByteArray &raw : file.read(1024 * 1024).split('\n')) {
    const QList<QByteArray> fields = raw.trimmed().split(' ');
    bool ok = false;
    const uint port = fields.value(1).toUInt(&ok);
    if (fields.size() == 2 && ok && port >= 1 && port <= 65535 && !fields[0].isEmpty())
      servers.append({hostKey(QString::fromUtf8(fields[0])), quint16(port)});
  }
  return servers;
}

bool listsServer(const QString &path, const QString &host, quint16 port) {
  return readServers(path).contains(std::pair{hostKey(host), port});
}

// Adds one server; the file is rewritten whole through a temporary file.
bool addServer(const QString &path, const QString &host, quint16 port) {
  const QString key = hostKey(host);
  if (key.isEmpty() || key.contains(QLatin1Char(' ')) || !platform::dataFolderExists())
    return false;
  auto servers = readServers(path);
  if (servers.contains(std::pair{key, port}))
    return true;
  servers.append({key, port});
  QByteArray out;
  for (const auto &[h, p] : servers)
    out += h.toUtf8() + ' ' + QByteArray::number(p) + "\r\n";
  return platform::replaceFile(path, out);
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
  return platform::replaceFile(certificatePinFile(), out);
}

void useStoredCertificatePins() {
  nmail::setCertificatePinProvider(
      [](const QString &host, quint16 port) { return storedCertificatePin(host, port); });
  nmail::setPlaintextLoginPolicy({plaintextLoginAgreed, offeredTlsBefore,
                                  [](const QString &host, quint16 port) {
                                    storeOfferedTls(host, port);
                                  }});
}

QString oneLineName(const QString &name) {
  constexpr qsizetype MaxShown = 300;
  QString out;
  for (const QChar c : name) {
    const char16_t u = c.unicode();
    if (u < 0x20)
      out += QChar(char16_t(0x2400 + u)); // the control pictures ␀ … ␟
    else if (u == 0x7f)
      out += QChar(char16_t(0x2421)); // ␡
    else if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format ||
             c.category() == QChar::Separator_Line ||
             c.category() == QChar::Separator_Paragraph || c.isSurrogate())
      out += QStringLiteral("\\u{%1}").arg(uint(u), 4, 16, QLatin1Char('0'));
    else
      out += c;
    if (out.size() > MaxShown)
      return out.left(MaxShown) + QStringLiteral("…");
  }
  return out;
}

bool askToTrustCertificate(QWidget *parent, const nmail::ServerCertificate &c) {
  if (!c.refusal.isEmpty() || c.changed || c.sha256.size() != 32)
    return false;
  const QString server = serverLabel(c.host, c.port);
  const QString text =
      QStringLiteral("サーバー %1 の証明書は、信頼できる認証局のものと確認できませんでした。\n\n"
                     "発行先: %2\n発行者: %3\n有効期間: %4 から %5 まで\nSHA-256 指紋:\n%6\n\n"
                     "このサーバーについて、この証明書を信頼しますか？\n"
                     "指紋がサーバーの管理者から知らされたものと同じことを確かめてから"
                     "「はい」を選んで下さい。")
          .arg(server, c.subject.isEmpty() ? QStringLiteral("不明") : oneLineName(c.subject),
               c.issuer.isEmpty() ? QStringLiteral("不明") : oneLineName(c.issuer),
               shownDate(c.effectiveDate), shownDate(c.expiryDate),
               nmail::fingerprintText(c.sha256));
  // Yes trusts the server from now on: Enter alone answers No.
  if (platform::askDefaultNo(parent, text, QStringLiteral("証明書の確認"),
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
  return QStringLiteral("証明書を替えたかどうかをサーバーの管理者に問い合わせて下さい。新しい証明書を"
                        "信頼する場合は、データフォルダのファイル「%1」からこのサーバーの行を削除"
                        "すると、次の受信か送信で改めて確認します。")
      .arg(PinFileName);
}

QString plaintextAgreementFile() {
  return platform::dataFile(PlaintextFileName);
}

bool plaintextLoginAgreed(const QString &host, quint16 port) {
  return listsServer(plaintextAgreementFile(), host, port);
}

bool storePlaintextAgreement(const QString &host, quint16 port) {
  return addServer(plaintextAgreementFile(), host, port);
}

QString tlsServerFile() {
  return platform::dataFile(TlsFileName);
}

bool offeredTlsBefore(const QString &host, quint16 port) {
  return listsServer(tlsServerFile(), host, port);
}

bool storeOfferedTls(const QString &host, quint16 port) {
  return addServer(tlsServerFile(), host, port);
}

bool askToSendPasswordUnencrypted(QWidget *parent, const nmail::PlaintextRefusal &refusal) {
  if (refusal.downgrade)
    return false;
  const QString text =
      QStringLiteral("サーバー %1 は暗号化に対応していません。\n\n"
                     "このまま続けると、ログインのやり取りとメールが暗号化されずにネットワークを"
                     "流れ、途中で第三者に読み取られるおそれがあります。\n"
                     "・USER/PASS（通常のログイン）、PLAIN、LOGIN：パスワードそのものが読み取られます。\n"
                     "・APOP、CRAM-MD5：パスワードそのものは送られませんが、読み取られた MD5 の"
                     "値から、パスワードを後で総当たりで割り出されるおそれがあります"
                     "（短いパスワードほど危険です）。\n\n"
                     "このサーバーに暗号化せずにログインしますか？\n"
                     "「はい」を選ぶと、このサーバーについては次から確認しません"
                     "（データフォルダのファイル「%2」からこのサーバーの行を削除すると、"
                     "改めて確認します）。")
          .arg(serverLabel(refusal.host, refusal.port), PlaintextFileName);
  if (platform::askDefaultNo(parent, text, QStringLiteral("暗号化されていない接続"),
                             platform::MsgIcon::Exclamation) != platform::MsgAnswer::Yes)
    return false;
  if (storePlaintextAgreement(refusal.host, refusal.port))
    return true;
  platform::messageBox(parent,
                       QStringLiteral("確認の結果をデータフォルダのファイル「%1」に保存できません"
                                      "でした。データフォルダを確認して下さい。")
                           .arg(PlaintextFileName),
                       {}, platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
  return false;
}

TrustQuestion pendingTrustQuestion() {
  const auto certificate = nmail::rejectedCertificate();
  if (certificate && !certificate->changed && certificate->refusal.isEmpty())
    return TrustQuestion::Certificate;
  const auto plaintext = nmail::plaintextLoginRefused();
  if (plaintext && !plaintext->downgrade)
    return TrustQuestion::Plaintext;
  return TrustQuestion::None;
}

bool askTrustQuestion(QWidget *parent, TrustQuestion question) {
  switch (question) {
  case TrustQuestion::None:
    return false;
  case TrustQuestion::Certificate:
    return askToTrustCertificate(parent, *nmail::rejectedCertificate());
  case TrustQuestion::Plaintext:
    return askToSendPasswordUnencrypted(parent, *nmail::plaintextLoginRefused());
  }
  return false;
}

int sendAskingAboutTrust(QWidget *parent, const std::function<int()> &send, bool *declined) {
  int result = send();
  // As for receiving: one question may lead to the other.
  for (int question = 0; result < 0 && question < 2 && !(declined && *declined); ++question) {
    const TrustQuestion pending = pendingTrustQuestion();
    if (pending == TrustQuestion::None)
      break;
    if (!askTrustQuestion(parent, pending)) {
      if (declined)
        *declined = true;
      break;
    }
    result = send();
  }
  return result;
}

QString lostEncryptionAdvice() {
  return QStringLiteral("サーバーの設定を変えたかどうかをサーバーの管理者に問い合わせて下さい。"
                        "暗号化しない接続のままでよいと分かったら、データフォルダのファイル"
                        "「%1」（証明書を信頼すると記録したサーバーは「%2」）からこのサーバーの行を"
                        "削除してから、受信または送信し直して下さい。")
      .arg(TlsFileName, PinFileName);
}

} // namespace mail
