#include "mail/net/endpoint.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace nmail {

namespace {

constexpr quint16 Pop3Port = 110;
constexpr quint16 Pop3sPort = 995;
constexpr quint16 SmtpPort = 25;
constexpr quint16 SmtpsPort = 465;

bool validHostName(const QString &host) {
  // Letters (also non-ASCII: QSslSocket resolves IDNs), digits, '-', '.', '_'.
  if (host.isEmpty() || host.size() > 253)
    return false;
  for (const QChar c : host) {
    if (c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('.') ||
        c == QLatin1Char('_'))
      continue;
    return false;
  }
  return true;
}

} // namespace

QString Endpoint::label() const {
  const QString h =
      host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
  return h + QLatin1Char(':') + QString::number(port);
}

std::optional<Endpoint> parseEndpoint(const QString &text, Protocol protocol, QString *error) {
  auto fail = [&](const QString &why) -> std::optional<Endpoint> {
    if (error)
      *error = QStringLiteral("サーバーの指定「%1」が正しくありません。%2").arg(text, why);
    return std::nullopt;
  };

  QString rest = text.trimmed();
  if (rest.isEmpty())
    return fail(QStringLiteral("サーバー名が空です。"));

  Endpoint ep;

  const int hash = rest.indexOf(QLatin1Char('#'));
  if (hash >= 0) {
    const QString pin = rest.mid(hash + 1).trimmed();
    rest = rest.left(hash).trimmed();
    if (!pin.startsWith(QStringLiteral("sha256="), Qt::CaseInsensitive))
      return fail(QStringLiteral("「#」の後には「sha256=」と証明書の指紋を書いて下さい。"));
    QString hex = pin.mid(7);
    hex.remove(QLatin1Char(':'));
    static const QRegularExpression hexOnly(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    if (!hexOnly.match(hex).hasMatch())
      return fail(QStringLiteral("証明書の指紋は 16 進数 64 桁で書いて下さい。"));
    ep.pinnedSha256 = QByteArray::fromHex(hex.toLatin1());
    ep.pinFromSetting = true;
  }

  const QString tlsScheme =
      protocol == Protocol::Pop3 ? QStringLiteral("pop3s://") : QStringLiteral("smtps://");
  const QString plainScheme =
      protocol == Protocol::Pop3 ? QStringLiteral("pop3://") : QStringLiteral("smtp://");
  if (rest.startsWith(tlsScheme, Qt::CaseInsensitive)) {
    ep.implicitTls = true;
    rest = rest.mid(tlsScheme.size());
  } else if (rest.startsWith(plainScheme, Qt::CaseInsensitive)) {
    rest = rest.mid(plainScheme.size());
  } else if (rest.contains(QStringLiteral("://"))) {
    return fail(
        protocol == Protocol::Pop3
            ? QStringLiteral("POP3サーバーには「pop3://」か「pop3s://」を使って下さい。")
            : QStringLiteral("SMTPサーバーには「smtp://」か「smtps://」を使って下さい。"));
  }
  if (rest.endsWith(QLatin1Char('/')))
    rest.chop(1);

  QString portText;
  if (rest.startsWith(QLatin1Char('['))) {
    const int close = rest.indexOf(QLatin1Char(']'));
    if (close < 0)
      return fail(QStringLiteral("「[」に対応する「]」がありません。"));
    ep.host = rest.mid(1, close - 1);
    const QString after = rest.mid(close + 1);
    if (!after.isEmpty()) {
      if (!after.startsWith(QLatin1Char(':')))
        return fail(QStringLiteral("「]」の後には「:ポート番号」だけを書けます。"));
      portText = after.mid(1);
      if (portText.isEmpty())
        return fail(QStringLiteral("ポート番号がありません。"));
    }
    if (QHostAddress(ep.host).protocol() != QAbstractSocket::IPv6Protocol)
      return fail(QStringLiteral("「[」と「]」の間は IPv6 アドレスです。"));
  } else if (rest.count(QLatin1Char(':')) > 1) {
    // A bare IPv6 address: no port can follow without brackets.
    if (QHostAddress(rest).protocol() != QAbstractSocket::IPv6Protocol)
      return fail(QStringLiteral("「:」が多すぎます。"));
    ep.host = rest;
  } else {
    const int colon = rest.indexOf(QLatin1Char(':'));
    ep.host = colon >= 0 ? rest.left(colon) : rest;
    if (colon >= 0) {
      portText = rest.mid(colon + 1);
      if (portText.isEmpty())
        return fail(QStringLiteral("ポート番号がありません。"));
    }
    if (!validHostName(ep.host))
      return fail(QStringLiteral("サーバー名に使えない文字があります。"));
  }

  if (!portText.isEmpty()) {
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    if (!ok || !digits.match(portText).hasMatch() || port < 1 || port > 65535)
      return fail(QStringLiteral("ポート番号は 1 から 65535 までの数です。"));
    ep.port = quint16(port);
  } else if (protocol == Protocol::Pop3) {
    ep.port = ep.implicitTls ? Pop3sPort : Pop3Port;
  } else {
    ep.port = ep.implicitTls ? SmtpsPort : SmtpPort;
  }
  if (ep.port == (protocol == Protocol::Pop3 ? Pop3sPort : SmtpsPort))
    ep.implicitTls = true;
  return ep;
}

} // namespace nmail
