// Sending: NMailSmtpSendMail builds the message (mail/mime) and the SMTP
// session hands it over on the transport thread.
#include "mail/net/facestate.h"

#include "mail/mime/charset.h"
#include "mail/net/smtpclient.h"

#include <QFileInfo>

namespace nmail {

using namespace face;

namespace {

QList<QByteArray> envelopeOf(const QString &addresses) {
  QList<QByteArray> out;
  if (addresses.trimmed().isEmpty())
    return out;
  for (const QString &a : mime::envelopeAddresses(addresses))
    if (!a.trimmed().isEmpty())
      out.append(a.trimmed().toUtf8());
  return out;
}

} // namespace

int NMailSmtpGetSentMail(QByteArray &raw) {
  if (!state().lastSent) {
    raw.clear();
    return -1;
  }
  raw = *state().lastSent;
  return 0;
}

QByteArray lastSentMail() {
  QByteArray raw;
  NMailSmtpGetSentMail(raw);
  return raw;
}

int NMailSmtpSendMail(const QString &server, const QString &to, const QString &cc,
                      const QString &bcc, const QString &from, const QString &subject,
                      const QString &body, const QString &header, const QString &attachments,
                      int /*flag*/) {
  state().rejected.reset();
  state().lastSent.reset();
  state().plaintextRefused.reset();
  QString error;
  auto endpoint = endpointOf(server, Protocol::Smtp, &error);
  if (!endpoint)
    return failWith(error);
  if (!cutAtNul(header).trimmed().isEmpty())
    return failWith(QStringLiteral("追加のヘッダーを付けて送ることはできません。"));

  mime::Outgoing mail;
  // Header values come from one-line fields; a line break in them would start
  // a header of the sender's choosing. The builder makes the subject one line.
  mail.from = charset::oneLine(from).trimmed();
  mail.to = charset::oneLine(to).trimmed();
  mail.subject = subject;
  mail.body = body;
  for (const QString &path : attachments.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
    const QString p = path.trimmed();
    if (p.isEmpty())
      continue;
    const QFileInfo info(p);
    if (!info.isFile() || !info.isReadable())
      return failWith(
          QStringLiteral("添付ファイル「%1」を読み込めません。ファイルがあるか確かめて下さい。")
              .arg(p));
    mail.attachments << p;
  }

  ensureMime();
  auto message = mime::buildMessage(mail, &error);
  if (!message)
    return failWith(error.isEmpty() ? QStringLiteral("メールを組み立てられませんでした。") : error);

  SmtpEnvelope envelope;
  envelope.from = envelopeOf(mail.from).value(0);
  envelope.to = envelopeOf(mail.to);
  const QString ccLine = charset::oneLine(cc).trimmed();
  envelope.to += envelopeOf(ccLine);
  envelope.to += envelopeOf(charset::oneLine(bcc));
  if (envelope.to.isEmpty())
    return failWith(
        mail.to.isEmpty()
            ? QStringLiteral("宛先のメールアドレスがありません。")
            : QStringLiteral("宛先「%1」からメールアドレスを読み取れません。").arg(mail.to));
  if (envelope.from.isEmpty())
    return failWith(
        mail.from.isEmpty()
            ? QStringLiteral("差出人のメールアドレスがありません。設定を確かめて下さい。")
            : QStringLiteral(
                  "差出人「%1」からメールアドレスを読み取れません。設定を確かめて下さい。")
                  .arg(mail.from));

  if (!ccLine.isEmpty()) {
    // The Cc header goes in front of the header block's end; only plain
    // ASCII address lists are written as they are.
    for (const QChar c : ccLine)
      if (c.unicode() > 0x7e)
        return failWith(QStringLiteral("Cc のアドレスには半角英数字だけを使って下さい。"));
    const qsizetype end = message->indexOf("\r\n\r\n");
    if (end < 0)
      return failWith(QStringLiteral("メールを組み立てられませんでした。"));
    message->insert(end + 2, "Cc: " + ccLine.toLatin1() + "\r\n");
  }

  SmtpCredentials credentials;
  const SmtpAccount account = currentAccount();
  credentials.user = account.userId;
  credentials.password = account.password;
  credentials.useToken = static_cast<bool>(account.accessToken);
  endpoint->tokenLogin = credentials.useToken;
  struct Sent {
    bool ok = false;
    QString error;
    std::optional<ServerCertificate> rejected;
    TlsSeen tls;
    bool tokenRefused = false;
  };
  Sent sent;
  // With a token: a refused one is renewed once and the mail sent again
  // (the server refused it before MAIL FROM, so nothing went twice).
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (credentials.useToken) {
      const AccessToken token = account.accessToken(attempt > 0);
      if (token.token.isEmpty())
        return failWith(token.error.isEmpty()
                            ? QStringLiteral("OAuth 2.0 のアクセストークンを取得できませんでした。")
                            : token.error);
      credentials.accessToken = token.token;
    }
    sent = detail::onTransportThread([&]() -> Sent {
      SmtpClient client;
      const bool ok = client.send(*endpoint, envelope, *message, credentials);
      return {ok, ok ? QString() : client.errorText(),
              ok ? std::nullopt : client.rejectedCertificate(), tlsSeenBy(client),
              client.tokenRefused()};
    });
    if (sent.ok || !sent.tokenRefused || !credentials.useToken)
      break;
  }
  noteTls(*endpoint, sent.tls);
  if (!sent.ok) {
    state().rejected = sent.rejected;
    return failWith(sent.error);
  }
  state().lastSent = std::move(*message);
  return 0;
}

} // namespace nmail
