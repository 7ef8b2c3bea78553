// Logging in to a POP3 server: USER/PASS or APOP, refused without TLS unless
// the user agreed, and an OAuth 2.0 access token (SASL) over TLS only.
#include "mail/net/pop3client.h"

#include "mail/net/sasl.h"

#include <QCryptographicHash>
#include <QRegularExpression>

namespace nmail {

namespace {

bool hasLineBreakOrNul(const QString &s) {
  return s.contains(QLatin1Char('\r')) || s.contains(QLatin1Char('\n')) || s.contains(QChar(0));
}

} // namespace

bool Pop3Client::refuseClearPassword() {
  const Endpoint &e = conn_.endpoint();
  if (conn_.isEncrypted())
    return false;
  if (e.offeredTlsBefore) {
    setError(QStringLiteral("警告：サーバー %1 は以前は暗号化（STLS）に対応していましたが、今回は"
                            "対応していません。第三者が通信に割り込んでいるおそれがあるため、接続を"
                            "やめました。ユーザーIDとパスワードは送っていません。")
                 .arg(e.label()));
    plaintextRefusal_ = PlaintextRefusal{e.host, e.port, true};
    return true;
  }
  if (e.plaintextLoginAgreed)
    return false;
  setError(QStringLiteral("サーバー %1 は暗号化（STLS）に対応していません。このまま続けると"
                          "パスワード（APOP ではその MD5 の値）が暗号化されずに送られるため、接続をやめました。")
               .arg(e.label()));
  plaintextRefusal_ = PlaintextRefusal{e.host, e.port, false};
  return true;
}

bool Pop3Client::readyForLogin() {
  if (authenticated_) {
    setError(QStringLiteral("この接続は既に認証されています。"));
    return false;
  }
  if (conn_.isBroken()) {
    setError(conn_.errorText());
    return false;
  }
  return true;
}

std::optional<int> Pop3Client::authenticate(const QString &user, const QString &password,
                                            bool apop) {
  if (!readyForLogin())
    return std::nullopt;
  if (refuseClearPassword()) {
    conn_.abort();
    return std::nullopt;
  }
  if (hasLineBreakOrNul(user) || hasLineBreakOrNul(password)) {
    setError(QStringLiteral("ユーザーIDかパスワードに改行などの使えない文字が入っています。"));
    return std::nullopt;
  }
  const QByteArray id = user.toUtf8();
  const QByteArray pass = password.toUtf8();
  const QString refused = QStringLiteral("認証");
  if (apop) {
    // The timestamp is everything from '<' to '>'; Dovecot's holds '=' and '+'.
    // An empty "<>" is none: its digest would be the same in every session.
    static const QRegularExpression stamp(QStringLiteral("<[^<>\\s]+>"));
    const auto m = stamp.match(QString::fromLatin1(greeting_));
    if (!m.hasMatch()) {
      setError(QStringLiteral(
                   "サーバー %1 は APOP に対応していません（挨拶にタイムスタンプがありません）。"
                   "APOP を使わない設定にして下さい。")
                   .arg(conn_.endpoint().label()));
      return std::nullopt;
    }
    const QByteArray digest =
        QCryptographicHash::hash(m.captured(0).toLatin1() + pass, QCryptographicHash::Md5).toHex();
    if (!command("APOP " + id + ' ' + digest, refused, true)) {
      error_ += QStringLiteral("ユーザーIDとパスワードを確かめて下さい。");
      return std::nullopt;
    }
  } else {
    if (!command("USER " + id, refused) || !command("PASS " + pass, refused, true)) {
      if (!conn_.isBroken())
        error_ += QStringLiteral("ユーザーIDとパスワードを確かめて下さい。");
      return std::nullopt;
    }
  }
  return statAfterLogin();
}

std::optional<int> Pop3Client::authenticateWithToken(const QString &user, const QByteArray &token) {
  tokenRefused_ = false;
  if (!readyForLogin())
    return std::nullopt;
  const Endpoint &e = conn_.endpoint();
  if (!conn_.isEncrypted()) {
    setError(QStringLiteral("サーバー %1 との接続が暗号化されていないため、OAuth 2.0 の"
                            "アクセストークンを送りませんでした。")
                 .arg(e.label()));
    conn_.abort();
    return std::nullopt;
  }
  if (hasLineBreakOrNul(user) || user.contains(QChar(1))) {
    setError(QStringLiteral("ユーザーIDに改行などの使えない文字が入っています。"));
    return std::nullopt;
  }
  if (!sasl::isBearerToken(token)) {
    setError(QStringLiteral("アクセストークンに使えない文字が入っています。"
                            "トークンの取り方の設定を確かめて下さい。"));
    return std::nullopt;
  }
  // What the server offers after the handshake: it may offer SASL only now.
  QStringList offered;
  const auto caps = capabilities();
  if (!caps)
    return std::nullopt;
  for (const QByteArray &cap : *caps)
    if (cap.startsWith("SASL "))
      offered += QString::fromLatin1(cap.mid(5)).split(QLatin1Char(' '), Qt::SkipEmptyParts);
  const auto mechanism = sasl::pickTokenMechanism(offered);
  if (!mechanism) {
    setError(QStringLiteral("サーバー %1 は OAuth 2.0 でのログイン（SASL の OAUTHBEARER・XOAUTH2）"
                            "に対応していません。")
                 .arg(e.label()));
    return std::nullopt;
  }
  const QByteArray name = sasl::mechanismName(*mechanism);
  // The token goes after the server's "+" prompt, never on the AUTH line:
  // a long one would pass the line limits of some servers.
  const auto exchange = [this](const QByteArray &line, bool secret) -> std::optional<QByteArray> {
    const auto reply = this->exchange(line, secret ? QByteArray("********") : line);
    if (!reply)
      return std::nullopt;
    if (!reply->startsWith("+OK") && !reply->startsWith("-ERR") && !reply->startsWith('+')) {
      conn_.fail(QStringLiteral("サーバー %1 の応答が POP3 の形式ではありません%2。")
                     .arg(conn_.endpoint().label(), serverSaid(*reply)));
      setError(conn_.errorText());
      return std::nullopt;
    }
    return reply;
  };
  const QString refused = sasl::tokenLoginFailedText(QStringLiteral("POP3"), *mechanism);
  auto reply = exchange("AUTH " + name, false);
  if (!reply)
    return std::nullopt;
  if (reply->startsWith("-ERR")) {
    setError(refused + serverSaid(*reply));
    return std::nullopt;
  }
  if (!reply->startsWith("+OK")) {
    reply = exchange(
        sasl::tokenResponse(*mechanism, user.toUtf8(), token, e.host, e.port).toBase64(), true);
    if (!reply)
      return std::nullopt;
  }
  QString why;
  if (reply->startsWith("+") && !reply->startsWith("+OK")) {
    // The error challenge: answered, the server then says -ERR.
    why = sasl::tokenRefusalText(reply->mid(1));
    reply = exchange(sasl::errorChallengeAnswer(*mechanism), false);
    if (!reply)
      return std::nullopt;
  }
  if (!reply->startsWith("+OK")) {
    tokenRefused_ = true;
    setError(refused + (why.isEmpty() ? serverSaid(*reply) : why));
    return std::nullopt;
  }
  return statAfterLogin();
}

std::optional<int> Pop3Client::statAfterLogin() {
  const auto stat = command("STAT", QStringLiteral("メール数の確認（STAT）"));
  if (!stat)
    return std::nullopt;
  bool ok = false;
  const int count = stat->split(' ').value(0).toInt(&ok);
  if (!ok || count < 0) {
    setError(QStringLiteral("メール数の確認（STAT）の応答が読めません%1。").arg(serverSaid(*stat)));
    return std::nullopt;
  }
  authenticated_ = true;
  count_ = count;
  return count;
}

} // namespace nmail
