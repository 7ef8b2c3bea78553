// MIME work of the transport on GMime.
#include "mail/nmail/mime.h"

#include <gmime/gmime.h>

#include <QDir>
#include <QFileInfo>

namespace nmail::mime {

void initialize() { g_mime_init(); }
void shutdown() { g_mime_shutdown(); }

Headers decodeHeaders(const QByteArray &raw) {
  Headers h;
  int end = raw.indexOf("\r\n\r\n");
  h.raw = QString::fromUtf8(end < 0 ? raw : raw.left(end));
  return h;
}

QString readableBody(const QByteArray &raw) {
  int end = raw.indexOf("\r\n\r\n");
  return end < 0 ? QString() : QString::fromUtf8(raw.mid(end + 4));
}

int unpackAttachments(const QByteArray &, const QString &) { return 0; }

QString safeFileName(const QString &proposed, const QString &) {
  QString n = proposed;
  n.replace(u'/', u'_').replace(u'\\', u'_');
  return n;
}

std::optional<QByteArray> buildMessage(const Outgoing &, QString *error) {
  if (error)
    *error = QStringLiteral("メールを組み立てられません。");
  return std::nullopt;
}

QStringList envelopeAddresses(const QString &to) {
  QStringList out;
  for (const QString &p : to.split(u',', Qt::SkipEmptyParts))
    out << p.trimmed();
  return out;
}

} // namespace nmail::mime
