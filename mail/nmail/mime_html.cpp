#include "mail/nmail/mime_html.h"

#include <QHash>
#include <QRegularExpression>

namespace nmail::mime {
namespace {

QString entity(const QString &name) {
  static const QHash<QString, QString> named = {
      {QStringLiteral("amp"), QStringLiteral("&")},
      {QStringLiteral("lt"), QStringLiteral("<")},
      {QStringLiteral("gt"), QStringLiteral(">")},
      {QStringLiteral("quot"), QStringLiteral("\"")},
      {QStringLiteral("apos"), QStringLiteral("'")},
      {QStringLiteral("nbsp"), QString(QChar(0xa0))},
      {QStringLiteral("copy"), QStringLiteral("©")},
      {QStringLiteral("reg"), QStringLiteral("®")},
      {QStringLiteral("yen"), QStringLiteral("¥")},
      {QStringLiteral("hellip"), QStringLiteral("…")},
      {QStringLiteral("mdash"), QStringLiteral("—")},
      {QStringLiteral("ndash"), QStringLiteral("–")},
      {QStringLiteral("laquo"), QStringLiteral("«")},
      {QStringLiteral("raquo"), QStringLiteral("»")},
      {QStringLiteral("times"), QStringLiteral("×")},
      {QStringLiteral("middot"), QStringLiteral("·")},
      {QStringLiteral("rarr"), QStringLiteral("→")},
      {QStringLiteral("larr"), QStringLiteral("←")},
      {QStringLiteral("ldquo"), QStringLiteral("“")},
      {QStringLiteral("rdquo"), QStringLiteral("”")},
      {QStringLiteral("lsquo"), QStringLiteral("‘")},
      {QStringLiteral("rsquo"), QStringLiteral("’")},
      {QStringLiteral("bull"), QStringLiteral("•")},
      {QStringLiteral("euro"), QStringLiteral("€")},
  };
  if (name.startsWith(u'#')) {
    bool ok = false;
    const uint code = (name.size() > 1 && (name[1] == u'x' || name[1] == u'X'))
                          ? name.mid(2).toUInt(&ok, 16)
                          : name.mid(1).toUInt(&ok, 10);
    if (!ok || code == 0 || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
      return QString(QChar(0xfffd));
    const char32_t c = code;
    return QString::fromUcs4(&c, 1);
  }
  return named.value(name.toLower());
}

bool isBlockTag(const QString &tag) {
  static const QStringList blocks = {
      QStringLiteral("p"),    QStringLiteral("div"),        QStringLiteral("tr"),
      QStringLiteral("li"),   QStringLiteral("h1"),         QStringLiteral("h2"),
      QStringLiteral("h3"),   QStringLiteral("h4"),         QStringLiteral("h5"),
      QStringLiteral("h6"),   QStringLiteral("table"),      QStringLiteral("ul"),
      QStringLiteral("ol"),   QStringLiteral("blockquote"), QStringLiteral("pre"),
      QStringLiteral("hr"),   QStringLiteral("dt"),         QStringLiteral("dd"),
      QStringLiteral("title")};
  return blocks.contains(tag);
}

} // namespace

QString htmlToText(const QString &html) {
  QString out;
  out.reserve(html.size());
  bool pendingBlank = false;
  int preDepth = 0;
  QString linkTarget;
  qsizetype linkStart = 0;
  const qsizetype n = html.size();
  auto newline = [&] {
    // Trailing blanks of a line carry no meaning.
    while (out.endsWith(u' '))
      out.chop(1);
    out += u'\n';
    pendingBlank = false;
  };
  qsizetype i = 0;
  while (i < n) {
    const QChar c = html[i];
    if (c == u'<') {
      if (html.mid(i, 4) == QLatin1String("<!--")) {
        const qsizetype end = html.indexOf(QLatin1String("-->"), i + 4);
        i = end < 0 ? n : end + 3;
        continue;
      }
      const qsizetype end = html.indexOf(u'>', i + 1);
      if (end < 0) {
        out += html.mid(i);
        break;
      }
      const QString inside = html.mid(i + 1, end - i - 1).trimmed();
      i = end + 1;
      const bool closing = inside.startsWith(u'/');
      // Compiled once: a page holds many thousands of tags.
      static const QRegularExpression nameEnd(QStringLiteral("[\\s/]"));
      QString tag = (closing ? inside.mid(1) : inside).section(nameEnd, 0, 0).toLower();
      if (!closing && (tag == u"script" || tag == u"style" || tag == u"head")) {
        const qsizetype close = html.indexOf(QLatin1String("</") + tag, i, Qt::CaseInsensitive);
        if (close < 0) {
          i = n;
        } else {
          const qsizetype gt = html.indexOf(u'>', close);
          i = gt < 0 ? n : gt + 1;
        }
        continue;
      }
      if (tag == u"a") {
        // Links are often the point of an HTML-only mail: keep where they go.
        if (!closing) {
          static const QRegularExpression href(QStringLiteral("href\\s*=\\s*[\"']?([^\"'\\s>]+)"),
                                               QRegularExpression::CaseInsensitiveOption);
          const auto m = href.match(inside);
          linkTarget = m.hasMatch()
                           ? m.captured(1).replace(QLatin1String("&amp;"), QLatin1String("&"))
                           : QString();
          linkStart = out.size();
        } else if (linkTarget.startsWith(QLatin1String("http"), Qt::CaseInsensitive) &&
                   !out.mid(linkStart).contains(linkTarget)) {
          out += QStringLiteral(" (") + linkTarget + u')';
          linkTarget.clear();
        }
      } else if (tag == u"br") {
        newline();
      } else if (tag == u"pre") {
        preDepth += closing ? (preDepth > 0 ? -1 : 0) : 1;
        if (!out.isEmpty() && !out.endsWith(u'\n'))
          newline();
      } else if (isBlockTag(tag)) {
        if (!out.isEmpty() && !out.endsWith(u'\n'))
          newline();
        if (!closing && tag == u"li")
          out += QStringLiteral("・");
      } else if (tag == u"td" || tag == u"th") {
        if (!closing)
          pendingBlank = !out.isEmpty() && !out.endsWith(u'\n');
      }
      continue;
    }
    QString text;
    if (c == u'&') {
      qsizetype semi = i + 1;
      while (semi < n && semi - i <= 12 && html[semi] != u';')
        ++semi;
      if (semi < n && html[semi] == u';' && semi > i + 1) {
        const QString decoded = entity(html.mid(i + 1, semi - i - 1));
        if (!decoded.isEmpty()) {
          text = decoded;
          i = semi + 1;
        }
      }
      if (text.isEmpty()) {
        text = c;
        ++i;
      }
    } else {
      text = c;
      ++i;
    }
    for (const QChar t : std::as_const(text)) {
      if (preDepth > 0) {
        if (t == u'\r')
          continue;
        out += t == QChar(0xa0) ? QChar(u' ') : t;
        continue;
      }
      if (t == u' ' || t == u'\t' || t == u'\r' || t == u'\n') {
        pendingBlank = !out.isEmpty() && !out.endsWith(u'\n');
        continue;
      }
      if (pendingBlank)
        out += u' ';
      pendingBlank = false;
      out += t == QChar(0xa0) ? QChar(u' ') : t;
    }
  }
  // At most one empty line in a row, none at either end.
  static const QRegularExpression manyBreaks(QStringLiteral("\n{3,}"));
  out.replace(manyBreaks, QStringLiteral("\n\n"));
  while (out.startsWith(u'\n'))
    out.remove(0, 1);
  while (out.endsWith(u'\n') || out.endsWith(u' '))
    out.chop(1);
  out.replace(u'\n', QStringLiteral("\r\n"));
  return out;
}

QByteArray htmlDeclaredCharset(const QByteArray &html) {
  static const QRegularExpression meta(
      QStringLiteral("<meta[^>]*charset\\s*=\\s*[\"']?([A-Za-z0-9_:.\\-]+)"),
      QRegularExpression::CaseInsensitiveOption);
  const auto m = meta.match(QString::fromLatin1(html.left(4096)));
  return m.hasMatch() ? m.captured(1).toLatin1() : QByteArray();
}

} // namespace nmail::mime
