#include "mail/nmail/mime_html.h"

#include <gumbo.h>

#include <QRegularExpression>

#include <cstdlib>
#include <unordered_set>
#include <vector>

namespace nmail::mime {
namespace {

// Gumbo frees its tree by recursion, which a page nested a hundred thousand
// deep (any mail can be) would overflow. Its memory is taken from here and
// given back all at once instead, without walking the tree.
struct Allocations {
  std::unordered_set<void *> live;
  ~Allocations() {
    for (void *p : live)
      std::free(p);
  }
};

void *allocate(void *userdata, size_t size) {
  void *p = std::malloc(size ? size : 1);
  if (!p)
    std::abort(); // gumbo has no way to report it; neither has Qt
  static_cast<Allocations *>(userdata)->live.insert(p);
  return p;
}

void release(void *userdata, void *p) {
  if (p && static_cast<Allocations *>(userdata)->live.erase(p))
    std::free(p);
}

bool isBlock(GumboTag tag) {
  switch (tag) {
  case GUMBO_TAG_P:
  case GUMBO_TAG_DIV:
  case GUMBO_TAG_TR:
  case GUMBO_TAG_LI:
  case GUMBO_TAG_H1:
  case GUMBO_TAG_H2:
  case GUMBO_TAG_H3:
  case GUMBO_TAG_H4:
  case GUMBO_TAG_H5:
  case GUMBO_TAG_H6:
  case GUMBO_TAG_TABLE:
  case GUMBO_TAG_CAPTION:
  case GUMBO_TAG_UL:
  case GUMBO_TAG_OL:
  case GUMBO_TAG_DL:
  case GUMBO_TAG_DT:
  case GUMBO_TAG_DD:
  case GUMBO_TAG_BLOCKQUOTE:
  case GUMBO_TAG_PRE:
  case GUMBO_TAG_HR:
  case GUMBO_TAG_ADDRESS:
  case GUMBO_TAG_ARTICLE:
  case GUMBO_TAG_ASIDE:
  case GUMBO_TAG_CENTER:
  case GUMBO_TAG_FIGURE:
  case GUMBO_TAG_FIGCAPTION:
  case GUMBO_TAG_FOOTER:
  case GUMBO_TAG_FORM:
  case GUMBO_TAG_HEADER:
  case GUMBO_TAG_MAIN:
  case GUMBO_TAG_NAV:
  case GUMBO_TAG_SECTION:
    return true;
  default:
    return false;
  }
}

// What is never shown as text: scripts, style sheets, the head with its
// title, templates.
bool isHidden(GumboTag tag) {
  return tag == GUMBO_TAG_SCRIPT || tag == GUMBO_TAG_STYLE || tag == GUMBO_TAG_HEAD ||
         tag == GUMBO_TAG_TITLE || tag == GUMBO_TAG_TEMPLATE || tag == GUMBO_TAG_NOFRAMES;
}

class TextWriter {
public:
  void text(const QString &t) {
    for (const QChar c : t) {
      if (pre > 0) {
        if (c != u'\r')
          out += c == QChar(0xa0) ? QChar(u' ') : c;
        continue;
      }
      if (c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\f') {
        pendingBlank = !out.isEmpty() && !out.endsWith(u'\n');
        continue;
      }
      if (pendingBlank)
        out += u' ';
      pendingBlank = false;
      out += c == QChar(0xa0) ? QChar(u' ') : c;
    }
  }
  void newline() {
    // Trailing blanks of a line carry no meaning.
    while (out.endsWith(u' '))
      out.chop(1);
    out += u'\n';
    pendingBlank = false;
  }
  void endLine() {
    if (!out.isEmpty() && !out.endsWith(u'\n'))
      newline();
  }
  void cellBreak() { pendingBlank = !out.isEmpty() && !out.endsWith(u'\n'); }

  QString out;
  bool pendingBlank = false;
  int pre = 0;
};

struct Frame {
  const GumboNode *node;
  unsigned next = 0;        // the next child to visit
  qsizetype linkStart = -1; // where the text of a link began
};

QString linkTarget(const GumboElement &element) {
  const GumboAttribute *href = gumbo_get_attribute(&element.attributes, "href");
  return href ? QString::fromUtf8(href->value).trimmed() : QString();
}

void enter(TextWriter &w, Frame &frame) {
  const GumboElement &e = frame.node->v.element;
  if (e.tag == GUMBO_TAG_BR) {
    w.newline();
  } else if (e.tag == GUMBO_TAG_PRE) {
    w.endLine();
    ++w.pre;
  } else if (isBlock(e.tag)) {
    w.endLine();
    if (e.tag == GUMBO_TAG_LI)
      w.out += QStringLiteral("・");
  } else if (e.tag == GUMBO_TAG_TD || e.tag == GUMBO_TAG_TH) {
    w.cellBreak();
  } else if (e.tag == GUMBO_TAG_A) {
    frame.linkStart = w.out.size();
  }
}

void leave(TextWriter &w, const Frame &frame) {
  const GumboElement &e = frame.node->v.element;
  if (e.tag == GUMBO_TAG_PRE) {
    --w.pre;
    w.endLine();
  } else if (isBlock(e.tag)) {
    w.endLine();
  } else if (e.tag == GUMBO_TAG_A && frame.linkStart >= 0) {
    // Links are often the point of an HTML-only mail: keep where they go.
    const QString target = linkTarget(e);
    if (target.startsWith(QLatin1String("http"), Qt::CaseInsensitive) &&
        !w.out.mid(frame.linkStart).contains(target))
      w.out += QStringLiteral(" (") + target + u')';
  }
}

} // namespace

QString htmlToText(const QString &html) {
  const QByteArray utf8 = html.toUtf8();
  Allocations allocations;
  GumboOptions options = kGumboDefaultOptions;
  options.allocator = allocate;
  options.deallocator = release;
  options.userdata = &allocations;
  options.max_errors = 0; // the parse errors of a mail are of no use here
  const GumboOutput *output = gumbo_parse_with_options(&options, utf8.constData(), utf8.size());

  TextWriter w;
  // Walked with a stack of our own: the tree may be as deep as the mail is long.
  std::vector<Frame> stack{Frame{output->document}};
  while (!stack.empty()) {
    Frame &frame = stack.back();
    const GumboNode *node = frame.node;
    const GumboVector &children =
        node->type == GUMBO_NODE_DOCUMENT ? node->v.document.children : node->v.element.children;
    if (frame.next == children.length) {
      if (node->type == GUMBO_NODE_ELEMENT)
        leave(w, frame);
      stack.pop_back();
      continue;
    }
    const GumboNode *child = static_cast<const GumboNode *>(children.data[frame.next++]);
    switch (child->type) {
    case GUMBO_NODE_TEXT:
    case GUMBO_NODE_CDATA:
    case GUMBO_NODE_WHITESPACE:
      w.text(QString::fromUtf8(child->v.text.text));
      break;
    case GUMBO_NODE_ELEMENT:
      if (!isHidden(child->v.element.tag)) {
        stack.push_back(Frame{child});
        enter(w, stack.back());
      }
      break;
    default: // comments, templates
      break;
    }
  }

  QString out = std::move(w.out);
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
