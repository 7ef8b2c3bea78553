#include "mail/mime/mime_html.h"

#include <gumbo.h>

#include <QRegularExpression>

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <vector>

namespace nmail::mime {
namespace {

// What the HTML5 tree builder may spend on one page. Its tree is not linear
// in the page: every formatting element left open is copied again into each
// later paragraph, so 40 KB of nested <b id=…> grow to gigabytes, and each
// tag also scans the open elements, so deep nesting costs its square in
// time. The limits are held against what the tree builder itself builds,
// while it builds (its allocations, the depth of the tree it has so far,
// the clock) and once more on the finished tree: a guess made by reading
// the page some other way would read "<!-->" or a stray end tag otherwise
// than the tree builder does. A page past them is read by the plain reader
// below instead, which is linear in the page.
// Measured here: a 900 KB newsletter of tables and links allocates ~10 bytes
// per page byte in ~0.4 allocations per byte; nesting 400 deep costs a few
// milliseconds, 20,000 deep five seconds.
constexpr qsizetype MaxTreeInput = 4 * 1024 * 1024; // UTF-8 bytes
constexpr int MaxTreeDepth = 400;
constexpr int MaxTreeElements = 100000;
constexpr size_t BaseAllocationBytes = 16 * 1024 * 1024;
constexpr size_t AllocationBytesPerInputByte = 32;
constexpr size_t BaseAllocationCount = 200000;
// A parse gets at most this long whatever the caller allows (a page nested
// where the tree builder does not insert last, as before a table, is caught
// by the clock alone); the plain reader then reads the page in one pass.
constexpr qint64 MaxParseMs = 2000;
// The tree's depth and the clock are looked at every so many allocations:
// a look walks at most MaxTreeDepth nodes, a few per allocation.
constexpr size_t AllocationsPerLook = 128;
// The plain reader has the character references of its text decoded in
// batches of about this many characters, so even a huge page costs little
// memory.
constexpr qsizetype FlatChunkChars = 128 * 1024;

// Gumbo frees its tree by recursion, which a page nested a hundred thousand
// deep (any mail can be) would overflow. Its memory is taken from here and
// given back all at once instead, without walking the tree. The allocation
// budget is kept here too: past it, or when memory runs out, the parse is
// left through `escape` (gumbo is C and holds nothing to unwind; everything
// it took is listed in `live`).
// Each block carries two links in front of what gumbo gets, so taking and
// giving back are a few pointer moves (a hash set of the live blocks cost
// more than the parse itself); the links keep malloc's alignment.
struct Block {
  Block *prev;
  Block *next;
};
static_assert(sizeof(Block) % alignof(std::max_align_t) == 0);

struct Allocations {
  Block live{&live, &live}; // the ring of every block not given back
  size_t bytes = 0;
  size_t count = 0;
  size_t maxBytes = 0;
  size_t maxCount = 0;
  // The document node of the tree being built: the first node gumbo takes
  // memory for (it makes the document before anything else). Given zeroed,
  // so that its children read as none until gumbo has set them.
  const GumboNode *document = nullptr;
  QDeadlineTimer deadline{QDeadlineTimer::Forever};
  std::jmp_buf escape;
  Allocations() = default;
  Allocations(const Allocations &) = delete;
  Allocations &operator=(const Allocations &) = delete;
  ~Allocations() {
    for (Block *b = live.next; b != &live;) {
      Block *next = b->next;
      std::free(b);
      b = next;
    }
  }
};

const GumboVector &childrenOf(const GumboNode *node) {
  return node->type == GUMBO_NODE_DOCUMENT ? node->v.document.children : node->v.element.children;
}

bool isElement(const GumboNode *node) {
  return node->type == GUMBO_NODE_ELEMENT || node->type == GUMBO_NODE_TEMPLATE;
}

// Whether the tree being built is deeper than MaxTreeDepth along its last
// children: where the tree builder inserts, so where a page that nests
// without end grows. Every node in the tree is whole whenever gumbo asks
// for memory (a node is linked in only once made, a vector replaced only
// after its copy), so the tree can be read here.
bool tooDeepSoFar(const GumboNode *document) {
  const GumboNode *node = document;
  for (int depth = 0; depth <= MaxTreeDepth; ++depth) {
    const GumboVector &children = childrenOf(node);
    if (children.length == 0)
      return false;
    node = static_cast<const GumboNode *>(children.data[children.length - 1]);
    if (!isElement(node))
      return false;
  }
  return true;
}

void *allocate(void *userdata, size_t size) {
  auto *a = static_cast<Allocations *>(userdata);
  a->bytes += size;
  if (++a->count > a->maxCount || a->bytes > a->maxBytes || size > a->maxBytes)
    std::longjmp(a->escape, 1);
  if (a->count % AllocationsPerLook == 0 && a->document &&
      (a->deadline.hasExpired() || tooDeepSoFar(a->document)))
    std::longjmp(a->escape, 1);
  auto *b = static_cast<Block *>(std::malloc(sizeof(Block) + size));
  if (!b)
    std::longjmp(a->escape, 1);
  b->prev = &a->live;
  b->next = a->live.next;
  a->live.next->prev = b;
  a->live.next = b;
  if (!a->document && size == sizeof(GumboNode)) {
    std::memset(b + 1, 0, size);
    a->document = reinterpret_cast<const GumboNode *>(b + 1);
  }
  return b + 1;
}

void release(void *, void *p) {
  if (!p)
    return;
  Block *b = static_cast<Block *>(p) - 1;
  b->prev->next = b->next;
  b->next->prev = b->prev;
  std::free(b);
}

// Holds no object with a destructor between setjmp and the parse, so leaving
// the parse by longjmp skips nothing but gumbo's own C frames.
const GumboOutput *parseWithin(const GumboOptions *options, const char *data, size_t size,
                               Allocations *allocations) {
  if (setjmp(allocations->escape) != 0)
    return nullptr;
  return gumbo_parse_with_options(options, data, size);
}

// The tree of `utf8` within the budget for a page of its size and by
// `deadline`, its memory held by `allocations`; null past either.
const GumboOutput *parseBudgeted(const QByteArray &utf8, Allocations &allocations,
                                 QDeadlineTimer deadline) {
  allocations.maxBytes = BaseAllocationBytes + AllocationBytesPerInputByte * size_t(utf8.size());
  allocations.maxCount = BaseAllocationCount + size_t(utf8.size());
  allocations.deadline = deadline;
  GumboOptions options = kGumboDefaultOptions;
  options.allocator = allocate;
  options.deallocator = release;
  options.userdata = &allocations;
  options.max_errors = 0; // the parse errors of a mail are of no use here
  return parseWithin(&options, utf8.constData(), size_t(utf8.size()), &allocations);
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

// Parses `utf8` within its budget and writes the text of the tree. False
// when the page would cost more than the budget, or its tree is deeper or
// larger than the limits (a tree grown deep where the tree builder did not
// insert last, as around a table); the caller then discards what was written.
bool writeTree(const QByteArray &utf8, TextWriter &w, QDeadlineTimer deadline) {
  Allocations allocations;
  const GumboOutput *output = parseBudgeted(utf8, allocations, deadline);
  if (!output)
    return false;

  // Walked with a stack of our own: the tree may be as deep as the mail is long.
  std::vector<Frame> stack{Frame{output->document}};
  int elements = 0;
  while (!stack.empty()) {
    if (stack.size() > size_t(MaxTreeDepth) + 1 || elements > MaxTreeElements)
      return false;
    Frame &frame = stack.back();
    const GumboNode *node = frame.node;
    const GumboVector &children = childrenOf(node);
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
      ++elements;
      if (!isHidden(child->v.element.tag)) {
        stack.push_back(Frame{child});
        enter(w, stack.back());
      }
      break;
    default: // comments, templates
      break;
    }
  }
  return true;
}

// A linear pass over the markup: text runs and tags, comments and the
// content of script and style skipped. It follows the HTML tokenizer only as
// far as a reader of text needs to.
struct MarkupToken {
  enum Kind { Text, StartTag, EndTag } kind = Text;
  QStringView text;  // Text: the run as written (entities not decoded)
  GumboTag tag = GUMBO_TAG_UNKNOWN;
  bool selfClosing = false;
};

bool isAsciiLetter(QChar c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

// Elements whose content is text up to their end tag.
bool isRawText(GumboTag tag) {
  return tag == GUMBO_TAG_SCRIPT || tag == GUMBO_TAG_STYLE || tag == GUMBO_TAG_TITLE ||
         tag == GUMBO_TAG_TEXTAREA || tag == GUMBO_TAG_XMP || tag == GUMBO_TAG_IFRAME ||
         tag == GUMBO_TAG_NOEMBED || tag == GUMBO_TAG_NOFRAMES;
}

template <typename Visit> void scanMarkup(QStringView s, Visit visit) {
  const qsizetype n = s.size();
  qsizetype i = 0;
  while (i < n) {
    const qsizetype lt = s.indexOf(u'<', i);
    if (lt < 0) {
      visit(MarkupToken{MarkupToken::Text, s.mid(i)});
      return;
    }
    if (lt > i && !visit(MarkupToken{MarkupToken::Text, s.mid(i, lt - i)}))
      return;
    if (s.mid(lt).startsWith(QLatin1String("<!--"))) {
      // "<!-->" and "<!--->" are whole empty comments to an HTML5 reader.
      if (s.mid(lt + 4).startsWith(u'>')) {
        i = lt + 5;
        continue;
      }
      if (s.mid(lt + 4).startsWith(QLatin1String("->"))) {
        i = lt + 6;
        continue;
      }
      const qsizetype end = s.indexOf(QLatin1String("-->"), lt + 4);
      i = end < 0 ? n : end + 3;
      continue;
    }
    const QChar next = lt + 1 < n ? s[lt + 1] : QChar();
    if (next == u'!' || next == u'?') { // a doctype or a bogus comment
      const qsizetype end = s.indexOf(u'>', lt + 2);
      i = end < 0 ? n : end + 1;
      continue;
    }
    const bool closing = next == u'/';
    const qsizetype nameStart = lt + 1 + (closing ? 1 : 0);
    if (nameStart >= n || !isAsciiLetter(s[nameStart])) {
      // A "<" that starts no tag is text.
      if (!visit(MarkupToken{MarkupToken::Text, s.mid(lt, 1)}))
        return;
      i = lt + 1;
      continue;
    }
    qsizetype nameEnd = nameStart;
    while (nameEnd < n && (isAsciiLetter(s[nameEnd]) || s[nameEnd].isDigit()))
      ++nameEnd;
    const qsizetype gt = s.indexOf(u'>', nameEnd);
    if (gt < 0)
      return; // a tag left open eats the rest, as in a browser
    const QByteArray name = s.mid(nameStart, nameEnd - nameStart).toLatin1();
    MarkupToken token;
    token.kind = closing ? MarkupToken::EndTag : MarkupToken::StartTag;
    token.tag = gumbo_tagn_enum(name.constData(), unsigned(name.size()));
    token.selfClosing = s[gt - 1] == u'/';
    if (!visit(token))
      return;
    i = gt + 1;
    if (!closing && isRawText(token.tag)) {
      const QString endTag = QStringLiteral("</") + QString::fromLatin1(name);
      const qsizetype end = s.indexOf(endTag, i, Qt::CaseInsensitive);
      const qsizetype stop = end < 0 ? n : end;
      if (stop > i && !visit(MarkupToken{MarkupToken::Text, s.mid(i, stop - i), token.tag}))
        return;
      i = stop;
    }
  }
}

// Separates the text runs handed to the tree builder together: a private
// character of the last plane, which the tree builder passes through as it is
// (control characters it replaces), taken out of the runs themselves first.
const QString RunSeparator = QString::fromUcs4(U"\U0010FFFD");

// The character references in `runs` (joined by RunSeparator) decoded by the
// tree builder, one text per run; the runs as they are should it fail.
QList<QString> decodeReferences(const QString &runs, qsizetype count) {
  // Inside <body> no blank is dropped, and the runs hold no tag.
  const QByteArray utf8 = "<body>" + runs.toUtf8();
  Allocations allocations;
  const GumboOutput *output =
      parseBudgeted(utf8, allocations, QDeadlineTimer(QDeadlineTimer::Forever));
  QString decoded;
  bool ok = output != nullptr;
  std::vector<const GumboNode *> stack;
  if (ok)
    stack.push_back(output->root);
  while (!stack.empty()) {
    const GumboNode *node = stack.back();
    stack.pop_back();
    if (node->type == GUMBO_NODE_TEXT || node->type == GUMBO_NODE_WHITESPACE) {
      decoded += QString::fromUtf8(node->v.text.text);
    } else if (node->type == GUMBO_NODE_ELEMENT) {
      const GumboVector &children = node->v.element.children;
      for (unsigned i = children.length; i > 0; --i)
        stack.push_back(static_cast<const GumboNode *>(children.data[i - 1]));
    }
  }
  QList<QString> texts = decoded.split(RunSeparator);
  if (!ok || texts.size() != count)
    texts = runs.split(RunSeparator);
  return texts;
}

// Reads a page in one pass without building its tree: the text runs with
// their character references decoded, a line break where a block begins or
// ends and for <br>, list items marked, table cells apart, everything else
// dropped. The runs are decoded in batches of about FlatChunkChars, so a
// page of any size costs little memory.
void readPlainly(QStringView html, TextWriter &w) {
  enum class Op { Text, Break, Block, Cell, Item };
  QList<Op> ops;
  QString runs;
  qsizetype textOps = 0;
  auto flush = [&] {
    const QList<QString> texts = decodeReferences(runs, textOps);
    qsizetype t = 0;
    for (const Op op : std::as_const(ops)) {
      switch (op) {
      case Op::Text:
        w.text(texts.value(t++));
        break;
      case Op::Break:
        w.newline();
        break;
      case Op::Block:
        w.endLine();
        break;
      case Op::Cell:
        w.cellBreak();
        break;
      case Op::Item:
        w.endLine();
        w.out += QStringLiteral("・");
        break;
      }
    }
    ops.clear();
    runs.clear();
    textOps = 0;
  };
  auto addRun = [&](QString text) {
    text.replace(RunSeparator, QStringLiteral(" "));
    text.replace(u'<', QLatin1String("&lt;"));
    if (textOps > 0)
      runs += RunSeparator;
    runs += text;
    ops.append(Op::Text);
    ++textOps;
    if (runs.size() >= FlatChunkChars)
      flush();
  };
  auto addText = [&](QStringView text) {
    // A run longer than a batch goes in pieces, never cut inside a
    // character reference ("&CounterClockwiseContourIntegral;" is the
    // longest) or a character.
    while (text.size() > FlatChunkChars) {
      qsizetype cut = FlatChunkChars;
      const qsizetype amp = text.lastIndexOf(u'&', cut - 1);
      if (amp > 0 && cut - amp < 40)
        cut = amp;
      if (text[cut - 1].isHighSurrogate())
        --cut;
      addRun(text.left(cut).toString());
      text = text.mid(cut);
    }
    addRun(text.toString());
  };
  scanMarkup(html, [&](const MarkupToken &t) {
    if (t.kind == MarkupToken::Text) {
      if (t.tag == GUMBO_TAG_XMP)
        addText(QString(t.text.toString()).replace(u'&', QLatin1String("&amp;")));
      else if (t.tag == GUMBO_TAG_UNKNOWN || t.tag == GUMBO_TAG_TEXTAREA)
        addText(t.text);
    } else if (t.tag == GUMBO_TAG_BR) {
      ops.append(Op::Break);
    } else if (t.tag == GUMBO_TAG_TD || t.tag == GUMBO_TAG_TH) {
      ops.append(Op::Cell);
    } else if (t.tag == GUMBO_TAG_LI && t.kind == MarkupToken::StartTag) {
      ops.append(Op::Item);
    } else if (isBlock(t.tag) || t.tag == GUMBO_TAG_BODY) {
      ops.append(Op::Block);
    }
    return true;
  });
  flush();
}

} // namespace

QString htmlToText(const QString &html, QDeadlineTimer deadline) {
  TextWriter w;
  const QByteArray utf8 = html.toUtf8();
  const QDeadlineTimer parseDeadline = std::min(deadline, QDeadlineTimer(MaxParseMs));
  if (utf8.size() > MaxTreeInput || !writeTree(utf8, w, parseDeadline)) {
    w = TextWriter();
    readPlainly(html, w);
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
