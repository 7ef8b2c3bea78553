#include "mail/net/smtpclient.h"

#include "mail/net/sasl.h"

#include <QMessageAuthenticationCode>

namespace nmail {

namespace {

constexpr int MaxReplyLines = 1000;

QString shown(const QByteArray &text) {
  QString s = QString::fromUtf8(text).trimmed();
  if (s.size() > 300)
    s = s.left(300) + QStringLiteral("…");
  return s;
}

} // namespace

bool SmtpClient::isSafeAddress(const QByteArray &address) {
  if (address.size() > 320)
    return false;
  for (const char c : address) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f || c == '<' || c == '>')
      return false;
  }
  return true;
}

QByteArray SmtpClient::dotStuff(const QByteArray &message) {
  QByteArray out;
  out.reserve(message.size() + message.size() / 64 + 8);
  bool lineStart = true;
  const char *p = message.constData();
  const qsizetype n = message.size();
  for (qsizetype i = 0; i < n; ++i) {
    const char c = p[i];
    if (c == '\r' || c == '\n') {
      // A bare CR or LF on the wire is a line break to some servers and not
      // to others; sending every break as CR LF removes the ambiguity.
      if (c == '\r' && i + 1 < n && p[i + 1] == '\n')
        ++i;
      out.append("\r\n", 2);
      lineStart = true;
      continue;
    }
    if (lineStart && c == '.')
      out.append('.'); // Single dot becomes two
    out.append(c);
    lineStart = false;
  }
  if (!lineStart)
    out.append("\r\n", 2);
  out.append(".\r\n", 3);
  return out;
}

QString SmtpClient::serverSaid(const Reply &reply) const {
  QStringList lines;
  for (const QByteArray &l : reply.lines)
    lines << shown(l);
  return QStringLiteral("（サーバーの応答: %1 %2）")
      .arg(reply.code)
      .arg(lines.join(QLatin1Char(' ')).left(400));
}

std::optional<SmtpClient::Reply> SmtpClient::readReply() {
  Reply reply;
  for (int i = 0; i < MaxReplyLines; ++i) {
    const auto line = conn_.readLine();
    if (!line) {
      error_ = conn_.errorText();
      return std::nullopt;
    }
    qCDebug(lcTransport).noquote() << "SMTP S:" << *line;
    const bool digits = line->size() >= 3 && std::isdigit(uchar(line->at(0))) &&
                        std::isdigit(uchar(line->at(1))) && std::isdigit(uchar(line->at(2)));
    const char sep = line->size() > 3 ? line->at(3) : ' ';
    if (!digits || (sep != ' ' && sep != '-')) {
      conn_.fail(
          QStringLiteral("サーバー %1 の応答が SMTP の形式ではありません（サーバーの応答: %2）。")
              .arg(conn_.endpoint().label(), shown(*line)));
      error_ = conn_.errorText();
      return std::nullopt;
    }
    reply.code = line->left(3).toInt();
    reply.lines.append(line->mid(4));
    if (sep == ' ')
      return reply;
  }
  conn_.fail(QStringLiteral("サーバー %1 の応答が終わりません。").arg(conn_.endpoint().label()));
  error_ = conn_.errorText();
  return std::nullopt;
}

std::optional<SmtpClient::Reply> SmtpClient::command(const QByteArray &line, bool secret) {
  qCDebug(lcTransport).noquote() << "SMTP C:" << (secret ? QByteArray("********") : line);
  if (!conn_.writeLine(line)) {
    error_ = conn_.errorText();
    return std::nullopt;
  }
  return readReply();
}

bool SmtpClient::expect(const std::optional<Reply> &reply, int wantedClass, const QString &what) {
  if (!reply)
    return false; // error_ already says why
  if (reply->code / 100 == wantedClass)
    return true;
  error_ = QStringLiteral("%1%2").arg(what, serverSaid(*reply));
  return false;
}

bool SmtpClient::hello() {
  const QByteArray name = conn_.localAddressLiteral();
  auto reply = command("EHLO " + name);
  if (!reply)
    return false;
  extensions_.clear();
  if (reply->code == 250) {
    for (qsizetype i = 1; i < reply->lines.size(); ++i)
      extensions_ << QString::fromLatin1(reply->lines.at(i)).trimmed().toUpper();
    return true;
  }
  // An old server that knows no ESMTP says so with 500-504; anything else
  // (421 closing, 554 refused) is its last word.
  if (reply->code < 500 || reply->code > 504)
    return expect(reply, 2, QStringLiteral("SMTPサーバーが挨拶（EHLO）を受け付けませんでした。"));
  return expect(command("HELO " + name), 2,
                QStringLiteral("SMTPサーバーが挨拶（HELO）を受け付けませんでした。"));
}

bool SmtpClient::authenticate(const SmtpCredentials &credentials) {
  QStringList offered;
  for (const QString &ext : extensions_)
    if (ext.startsWith(QStringLiteral("AUTH ")) || ext.startsWith(QStringLiteral("AUTH=")))
      offered += ext.mid(5).split(QLatin1Char(' '), Qt::SkipEmptyParts);
  if (offered.isEmpty())
    return true; // the server asks for no authentication
  if (credentials.useToken)
    return authenticateWithToken(offered, credentials);
  if (credentials.user.isEmpty())
    return true; // nothing to offer; the server decides at MAIL/RCPT
  const Endpoint &e = conn_.endpoint();
  if (!conn_.isEncrypted() && !e.plaintextLoginAgreed) {
    error_ = QStringLiteral("SMTPサーバー %1 は暗号化（STARTTLS）に対応していません。このまま"
                            "続けるとパスワード（CRAM-MD5 ではその MD5 の値）が暗号化されずに送られるため、"
                            "送信をやめました。")
                 .arg(e.label());
    plaintextRefusal_ = PlaintextRefusal{e.host, e.port, false};
    return false;
  }

  const QByteArray user = credentials.user.toUtf8();
  const QByteArray pass = credentials.password.toUtf8();
  const QString refused = QStringLiteral(
      "SMTPサーバーでの認証に失敗しました。受信用のユーザーIDとパスワードを確かめて下さい。");

  if (offered.contains(QStringLiteral("CRAM-MD5"))) {
    auto challenge = command("AUTH CRAM-MD5");
    if (!expect(challenge, 3, refused))
      return false;
    const QByteArray nonce = QByteArray::fromBase64(challenge->lines.value(0).trimmed());
    const QByteArray digest =
        QMessageAuthenticationCode::hash(nonce, pass, QCryptographicHash::Md5).toHex();
    return expect(command((user + ' ' + digest).toBase64(), true), 2, refused);
  }
  if (offered.contains(QStringLiteral("PLAIN"))) {
    const QByteArray token = (QByteArray(1, '\0') + user + QByteArray(1, '\0') + pass).toBase64();
    return expect(command("AUTH PLAIN " + token, true), 2, refused);
  }
  if (offered.contains(QStringLiteral("LOGIN"))) {
    if (!expect(command("AUTH LOGIN"), 3, refused))
      return false;
    if (!expect(command(user.toBase64(), true), 3, refused))
      return false;
    return expect(command(pass.toBase64(), true), 2, refused);
  }
  // Mechanisms we don't speak (GSSAPI, NTLM): many such servers still take
  // mail for their own users without a login, so the server decides at
  // MAIL/RCPT; should it refuse there, the reason is added to its reply.
  authNote_ =
      QStringLiteral(
          "（このサーバーの認証方式 %1 には対応していないため、認証せずに送ろうとしました）")
          .arg(offered.join(QLatin1Char(' ')));
  return true;
}

bool SmtpClient::authenticateWithToken(const QStringList &offered,
                                       const SmtpCredentials &credentials) {
  const Endpoint &e = conn_.endpoint();
  if (!conn_.isEncrypted()) // send() never gets here unencrypted; kept next to the token
    return false;
  const auto mechanism = sasl::pickTokenMechanism(offered);
  if (!mechanism) {
    error_ = QStringLiteral("SMTPサーバー %1 は OAuth 2.0 でのログイン（OAUTHBEARER・XOAUTH2）に"
                            "対応していません（対応している方式：%2）。")
                 .arg(e.label(), offered.join(QLatin1Char(' ')));
    return false;
  }
  if (!sasl::isBearerToken(credentials.accessToken) || credentials.user.contains(QChar(1)) ||
      credentials.user.contains(QLatin1Char('\r')) || credentials.user.contains(QLatin1Char('\n'))) {
    error_ = QStringLiteral("アクセストークンかユーザーIDに使えない文字が入っています。");
    return false;
  }
  const QByteArray name = sasl::mechanismName(*mechanism);
  const QString refused = sasl::tokenLoginFailedText(QStringLiteral("SMTP"), *mechanism);
  // The token goes after the 334 prompt: on the AUTH line a long one would
  // pass the server's line limit (Postfix cuts at 2,048 characters).
  auto reply = command("AUTH " + name);
  if (!expect(reply, 3, refused))
    return false;
  reply = command(sasl::tokenResponse(*mechanism, credentials.user.toUtf8(),
                                      credentials.accessToken, e.host, e.port)
                      .toBase64(),
                  true);
  if (!reply)
    return false;
  QString why;
  if (reply->code == 334) {
    // The error challenge; answered, the server gives its final 5xx.
    why = sasl::tokenRefusalText(reply->lines.value(0));
    reply = command(sasl::errorChallengeAnswer(*mechanism));
    if (!reply)
      return false;
  }
  if (reply->code / 100 == 2)
    return true;
  tokenRefused_ = reply->code / 100 == 5;
  error_ = refused + (why.isEmpty() ? serverSaid(*reply) : why);
  return false;
}

void SmtpClient::quitQuietly() {
  if (!conn_.isBroken())
    command("QUIT");
  conn_.abort();
}

bool SmtpClient::send(const Endpoint &endpoint, const SmtpEnvelope &envelope,
                      const QByteArray &message, const SmtpCredentials &credentials) {
  error_.clear();
  offeredTls_ = false;
  tokenRefused_ = false;
  plaintextRefusal_.reset();
  if (envelope.to.isEmpty()) {
    error_ = QStringLiteral("宛先がありません。");
    return false;
  }
  if (!isSafeAddress(envelope.from)) {
    error_ = QStringLiteral("差出人のメールアドレス「%1」が正しくありません。")
                 .arg(shown(envelope.from));
    return false;
  }
  for (const QByteArray &rcpt : envelope.to) {
    if (rcpt.isEmpty() || !isSafeAddress(rcpt)) {
      error_ = QStringLiteral("宛先のメールアドレス「%1」が正しくありません。").arg(shown(rcpt));
      return false;
    }
  }

  if (!conn_.open(endpoint)) {
    error_ = conn_.errorText();
    return false;
  }
  authNote_.clear();
  auto finish = [this](bool ok) {
    if (!ok) {
      error_ += authNote_;
      quitQuietly();
    }
    return ok;
  };

  if (!expect(
          readReply(), 2,
          QStringLiteral("SMTPサーバー %1 が接続を受け付けませんでした。").arg(endpoint.label())))
    return finish(false);
  if (!hello())
    return finish(false);
  offeredTls_ = extensions_.contains(QStringLiteral("STARTTLS"));
  if (!conn_.isEncrypted() && offeredTls_) {
    if (!expect(command("STARTTLS"), 2,
                QStringLiteral("SMTPサーバーで暗号化（STARTTLS）を始められませんでした。")))
      return finish(false);
    if (!conn_.startTls()) {
      error_ = conn_.errorText();
      return finish(false);
    }
    if (!hello()) // the server forgets what it said before the handshake
      return finish(false);
  }
  if (!conn_.isEncrypted() && credentials.useToken) {
    // An account that signs in with a token never talks in the clear: no
    // token, no mail, and nothing to agree to.
    error_ = QStringLiteral("SMTPサーバー %1 が暗号化（STARTTLS）に対応していないため、送信をやめました。"
                            "OAuth 2.0 のアクセストークンもメールも送っていません。")
                 .arg(endpoint.label());
    return finish(false);
  }
  if (!conn_.isEncrypted() && !endpoint.pinnedSha256.isEmpty()) {
    // A pinned certificate says this server speaks TLS; without it the
    // password and the mail would go out in clear.
    error_ =
        QStringLiteral("SMTPサーバー %1 が暗号化（STARTTLS）に対応していないため、送信をやめました"
                       "（このサーバーの証明書を信頼すると記録してあります）。")
            .arg(endpoint.label());
    plaintextRefusal_ = PlaintextRefusal{endpoint.host, endpoint.port, true};
    return finish(false);
  }
  if (!conn_.isEncrypted() && endpoint.offeredTlsBefore) {
    error_ = QStringLiteral("警告：SMTPサーバー %1 は以前は暗号化（STARTTLS）に対応していましたが、"
                            "今回は対応していません。第三者が通信に割り込んでいるおそれがあるため、"
                            "送信をやめました。パスワードもメールも送っていません。")
                 .arg(endpoint.label());
    plaintextRefusal_ = PlaintextRefusal{endpoint.host, endpoint.port, true};
    return finish(false);
  }
  if (!authenticate(credentials))
    return finish(false);

  if (!expect(command("MAIL FROM:<" + envelope.from + ">"), 2,
              QStringLiteral("SMTPサーバーが差出人 %1 を受け付けませんでした。")
                  .arg(shown(envelope.from))))
    return finish(false);
  for (const QByteArray &rcpt : envelope.to) {
    if (!expect(command("RCPT TO:<" + rcpt + ">"), 2,
                QStringLiteral("SMTPサーバーが宛先 %1 を受け付けませんでした。").arg(shown(rcpt))))
      return finish(false);
  }
  if (!expect(command("DATA"), 3,
              QStringLiteral("SMTPサーバーがメール本文の送信（DATA）を受け付けませんでした。")))
    return finish(false);
  qCDebug(lcTransport).noquote() << "SMTP C: <message," << message.size() << "bytes>";
  if (!conn_.writeData(dotStuff(message))) {
    error_ = conn_.errorText();
    return finish(false);
  }
  if (!expect(readReply(), 2, QStringLiteral("SMTPサーバーがメールを受け付けませんでした。")))
    return finish(false);
  // The mail is accepted now; a failing goodbye must not make the user send it twice.
  quitQuietly();
  return true;
}

} // namespace nmail
