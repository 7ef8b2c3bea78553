#include "mail/net/sasl.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace nmail::sasl {

std::optional<TokenMechanism> pickTokenMechanism(const QStringList &offered) {
  if (offered.contains(QStringLiteral("OAUTHBEARER")))
    return TokenMechanism::OAuthBearer;
  if (offered.contains(QStringLiteral("XOAUTH2")))
    return TokenMechanism::XOAuth2;
  return std::nullopt;
}

QByteArray mechanismName(TokenMechanism mechanism) {
  return mechanism == TokenMechanism::OAuthBearer ? QByteArrayLiteral("OAUTHBEARER")
                                                  : QByteArrayLiteral("XOAUTH2");
}

bool isBearerToken(const QByteArray &token) {
  if (token.isEmpty())
    return false;
  qsizetype i = 0;
  for (; i < token.size(); ++i) {
    const char c = token.at(i);
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == '_' || c == '~' || c == '+' || c == '/';
    if (!ok)
      break;
  }
  if (i == 0)
    return false;
  for (; i < token.size(); ++i)
    if (token.at(i) != '=')
      return false;
  return true;
}

QByteArray tokenResponse(TokenMechanism mechanism, const QByteArray &user, const QByteArray &token,
                         const QString &host, quint16 port) {
  if (mechanism == TokenMechanism::XOAuth2)
    return "user=" + user + "\x01" "auth=Bearer " + token + "\x01\x01";
  // The GS2 header names the user; ',' and '=' in a saslname are escaped.
  QByteArray name = user;
  name.replace("=", "=3D").replace(",", "=2C");
  QByteArray out = "n,a=" + name + ",\x01";
  if (!host.isEmpty())
    out += "host=" + host.toUtf8() + "\x01" "port=" + QByteArray::number(port) + "\x01";
  out += "auth=Bearer " + token + "\x01\x01";
  return out;
}

QByteArray errorChallengeAnswer(TokenMechanism mechanism) {
  return mechanism == TokenMechanism::OAuthBearer ? QByteArrayLiteral("AQ==") : QByteArray();
}

QString tokenRefusalText(const QByteArray &base64Challenge) {
  const QByteArray json = QByteArray::fromBase64(base64Challenge.trimmed());
  const QJsonObject o = QJsonDocument::fromJson(json).object();
  const QString status = o.value(QStringLiteral("status")).toString();
  if (status.isEmpty())
    return {};
  // Servers send an HTTP-like status: "invalid_token", "insufficient_scope",
  // or Google's "400"/"401".
  const QString scope = o.value(QStringLiteral("scope")).toString().left(200);
  QString what;
  if (status == QLatin1String("invalid_token") || status == QLatin1String("401"))
    what = QStringLiteral("アクセストークンが無効か、期限が切れています。");
  else if (status == QLatin1String("insufficient_scope") || status == QLatin1String("403"))
    what = scope.isEmpty()
               ? QStringLiteral("アクセストークンにメールを使う権限がありません。")
               : QStringLiteral("アクセストークンにメールを使う権限（%1）がありません。").arg(scope);
  else
    what = QStringLiteral("サーバーがアクセストークンを受け付けませんでした。");
  return what + QStringLiteral("（サーバーの応答：%1）").arg(status.left(60));
}

QString tokenLoginFailedText(const QString &server, TokenMechanism mechanism) {
  return QStringLiteral("%1サーバーへの OAuth 2.0 でのログイン（%2）に失敗しました。")
      .arg(server, QString::fromLatin1(mechanismName(mechanism)));
}

} // namespace nmail::sasl
