#include "mail/mime/replythread.h"

#include "mail/mime/mime_headers.h"

#include <QList>

namespace nmail {
namespace {

// A References line is kept to this many identifiers: the first (the start
// of the thread) and the latest ones, as RFC 5322 allows trimming it.
constexpr qsizetype MostReferences = 20;
constexpr qsizetype MostIdLength = 250;

thread_local QByteArray answering;

// The "<…>" identifiers of a header value, in order. Anything else in the
// value (comments, stray text, line breaks) is left out, so nothing of the
// answered mail's header reaches ours but identifiers.
QList<QByteArray> messageIds(const QByteArray &value) {
  QList<QByteArray> ids;
  qsizetype at = 0;
  while ((at = value.indexOf('<', at)) >= 0) {
    const qsizetype end = value.indexOf('>', at + 1);
    if (end < 0)
      break;
    const QByteArray id = value.mid(at, end - at + 1);
    bool plain = id.size() > 2 && id.size() <= MostIdLength && id.contains('@');
    for (qsizetype i = 1; plain && i + 1 < id.size(); ++i) {
      const char c = id[i];
      plain = c > ' ' && c < 0x7f && c != '<' && c != '"' && c != '\\';
    }
    if (plain)
      ids << id;
    at = end + 1;
  }
  return ids;
}

} // namespace

QByteArray replyThreadHeaders(const QByteArray &answeredHeader) {
  const QByteArray block = mime::headerBlock(answeredHeader);
  const QList<QByteArray> own = messageIds(mime::headerValue(block, "Message-ID"));
  if (own.isEmpty())
    return {};
  const QByteArray id = own.first();
  QList<QByteArray> refs = messageIds(mime::headerValue(block, "References"));
  if (refs.isEmpty()) {
    const QList<QByteArray> parent = messageIds(mime::headerValue(block, "In-Reply-To"));
    if (parent.size() == 1)
      refs = parent;
  }
  refs.removeAll(id);
  refs << id;
  if (refs.size() > MostReferences)
    refs = QList<QByteArray>{refs.first()} + refs.mid(refs.size() - (MostReferences - 1));
  // One identifier a line keeps every line short whatever their lengths.
  return "In-Reply-To: " + id + "\r\nReferences: " + refs.join("\r\n ") + "\r\n";
}

AnsweringMail::AnsweringMail(const QByteArray &answeredHeader) : previous_(answering) {
  answering = answeredHeader;
}

AnsweringMail::~AnsweringMail() {
  answering = previous_;
}

namespace detail {
QByteArray currentReplyThreadHeaders() {
  return answering.isEmpty() ? QByteArray() : replyThreadHeaders(answering);
}
} // namespace detail

} // namespace nmail
