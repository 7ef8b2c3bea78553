// The content of a mail: its texts and its files, found by walking the
// parsed message's parts (alternatives, hidden branches, forwarded mails),
// each text read no further than what is shown needs and each file decoded
// only when it is written or measured.
#include "mail/mime/mime_parts.h"

#include "mail/mime/charset.h"
#include "platform/core/diskflush.h"
#include "mail/mime/mime_headers.h"
#include "mail/mime/mime_html.h"
#include "mail/mime/mime_names.h"
#include "mail/mime/mime_split.h"
#include "mail/mime/mime_words.h"
#include "mail/mime/unpackresult.h"
#include "platform/core/ansi.h"
#include "platform/core/filesync.h"
#include "platform/core/privatefiles.h"

#include <gmime/gmime.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <utility>
#include <vector>

namespace nmail::mime::parts {

// Reads a part's content as it lies in the mail, transfer encoding and all,
// a large piece at a time, handing each piece to `take`; the content's
// stream is left at its start, as GMime's own writers leave it.
template <class F> bool readEncoded(GMimeDataWrapper *wrapper, F &&take) {
  GMimeStream *encoded = g_mime_data_wrapper_get_stream(wrapper);
  if (!encoded)
    return true;
  g_mime_stream_reset(encoded);
  static thread_local std::vector<char> piece(256 * 1024);
  bool ok = true;
  // A bounded stream at its end answers a read with an error, not with 0.
  while (!g_mime_stream_eos(encoded)) {
    const ssize_t n = g_mime_stream_read(encoded, piece.data(), piece.size());
    if (n < 0)
      ok = false;
    if (n <= 0)
      break;
    if (!take(piece.data(), size_t(n))) {
      ok = false;
      break;
    }
  }
  g_mime_stream_reset(encoded);
  return ok;
}

// Base64 as GMime's decoder reads it, which this program always used: the
// characters of the alphabet carry six bits each (their rank here), four
// make three bytes, and any other character is passed over. The first "="
// ends the content: two or three characters begun before it make one or two
// bytes more, and nothing after it counts; four begun without an end make
// nothing.
constexpr unsigned char PassedOver = 0x80, Padding = 0x40;
const std::array<unsigned char, 256> &base64Ranks() {
  static const std::array<unsigned char, 256> ranks = [] {
    std::array<unsigned char, 256> t{};
    t.fill(PassedOver);
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (unsigned char r = 0; r < 64; ++r)
      t[size_t(static_cast<unsigned char>(alphabet[r]))] = r;
    t['='] = Padding;
    return t;
  }();
  return ranks;
}

// The bytes that `begun` characters of the last four make when "=" ends them.
int bytesBeforePadding(int begun) {
  return begun >= 2 ? begun - 1 : 0;
}

// The size of base64 content once decoded, counted instead of decoded (a
// large attachment is listed with its size before it is unpacked).
qint64 base64Size(GMimeDataWrapper *wrapper) {
  const auto &ranks = base64Ranks();
  qint64 count = 0; // characters of the alphabet
  bool ended = false;
  readEncoded(wrapper, [&](char *data, size_t length) {
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    const void *padding = std::memchr(p, '=', length);
    const size_t n = padding ? size_t(static_cast<const unsigned char *>(padding) - p) : length;
    size_t i = 0;
#ifdef __SSE2__
    // Sixteen characters at a time: an attachment of 10 MB is counted in a
    // fraction of the time a character at a time takes.
    const auto within = [](__m128i v, char low, char count) {
      // v - low, moved so that `low` lands on the least signed value:
      // then v lies in [low, low + count) when it is below -128 + count.
      const __m128i moved = _mm_add_epi8(v, _mm_set1_epi8(char(-128 - low)));
      return _mm_cmplt_epi8(moved, _mm_set1_epi8(char(-128 + count)));
    };
    // Each lane counts its characters of the alphabet (a match is -1, taken
    // away) for at most 255 steps, then the lanes are summed: no bit count,
    // which without a POPCNT instruction is a library call each time.
    while (i + 16 <= n) {
      __m128i lanes = _mm_setzero_si128();
      for (int step = 0; step < 255 && i + 16 <= n; ++step, i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        const __m128i bits = _mm_or_si128(
            _mm_or_si128(within(v, 'A', 26), within(v, 'a', 26)),
            _mm_or_si128(within(v, '0', 10), _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('+')),
                                                          _mm_cmpeq_epi8(v, _mm_set1_epi8('/')))));
        lanes = _mm_sub_epi8(lanes, bits);
      }
      const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
      count += _mm_cvtsi128_si64(sums) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums));
    }
#endif
    for (; i < n; ++i)
      count += !(ranks[p[i]] & PassedOver);
    ended = padding != nullptr;
    return !ended;
  });
  return count / 4 * 3 + (ended ? bytesBeforePadding(int(count % 4)) : 0);
}

// Base64 decoded a piece at a time, to the byte as base64Size counts it.
class Base64Decoder {
public:
  // Appends what the `n` characters at `p` decode to; false once the
  // content has ended.
  bool decode(const unsigned char *p, size_t n, QByteArray &out) {
    if (ended_)
      return false;
    const auto &ranks = base64Ranks();
    const qsizetype start = out.size();
    out.resize(start + qsizetype(n / 4 * 3 + 3));
    char *o = out.data() + start;
    size_t i = 0;
    while (i < n) {
      // Four characters of the alphabet in a row, as nearly all are: one
      // step for the three bytes they make.
      for (; begun_ == 0 && i + 4 <= n; i += 4) {
        const unsigned a = ranks[p[i]], b = ranks[p[i + 1]], c = ranks[p[i + 2]],
                       d = ranks[p[i + 3]];
        if ((a | b | c | d) & (PassedOver | Padding))
          break;
        const unsigned v = a << 18 | b << 12 | c << 6 | d;
        *o++ = char(v >> 16);
        *o++ = char(v >> 8);
        *o++ = char(v);
      }
      if (i >= n)
        break;
      const unsigned r = ranks[p[i++]];
      if (r & PassedOver)
        continue;
      if (r & Padding) {
        // The bits begun, moved up as if the four were complete.
        const unsigned v = bits_ << (6 * (4 - begun_));
        const int more = bytesBeforePadding(begun_);
        for (int k = 0; k < more; ++k)
          *o++ = char(v >> (16 - 8 * k));
        ended_ = true;
        break;
      }
      bits_ = bits_ << 6 | r;
      if (++begun_ == 4) {
        *o++ = char(bits_ >> 16);
        *o++ = char(bits_ >> 8);
        *o++ = char(bits_);
        begun_ = 0;
        bits_ = 0;
      }
    }
    out.resize(o - out.constData());
    return !ended_;
  }

private:
  unsigned bits_ = 0;
  int begun_ = 0; // characters of the four begun
  bool ended_ = false;
};

qint64 sizeOf(Attachment &a) {
  if (!a.part)
    return a.data.size();
  if (a.size < 0) {
    GMimeDataWrapper *wrapper = g_mime_part_get_content(a.part);
    if (!wrapper) {
      a.size = 0;
    } else if (g_mime_data_wrapper_get_encoding(wrapper) == GMIME_CONTENT_ENCODING_BASE64) {
      a.size = base64Size(wrapper);
    } else {
      Owned<GMimeStream> counter(g_mime_stream_null_new());
      a.size = std::max<gint64>(g_mime_data_wrapper_write_to_stream(wrapper, counter.get()), 0);
    }
  }
  return a.size;
}

// A part's content with its transfer encoding undone, a large piece at a
// time, handed to `take`, which stops it by answering false.
template <class F> bool decodeContent(GMimePart *part, F &&take) {
  GMimeDataWrapper *wrapper = g_mime_part_get_content(part);
  if (!wrapper)
    return true;
  const GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(wrapper);
  if (encoding == GMIME_CONTENT_ENCODING_BASE64) {
    Base64Decoder base64;
    QByteArray out;
    bool taken = true, ended = false;
    const bool read = readEncoded(wrapper, [&](char *data, size_t n) {
      out.resize(0); // keeps its capacity for the next piece
      ended = !base64.decode(reinterpret_cast<const unsigned char *>(data), n, out);
      taken = out.isEmpty() || take(static_cast<const char *>(out.constData()), size_t(out.size()));
      return taken && !ended;
    });
    // Stopped where the content ended, it was read whole.
    return read || (ended && taken);
  }
  Owned<GMimeFilter> decoder;
  if (encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE ||
      encoding == GMIME_CONTENT_ENCODING_UUENCODE)
    decoder.reset(g_mime_filter_basic_new(encoding, FALSE));
  bool ok = readEncoded(wrapper, [&](char *data, size_t n) {
    if (!decoder)
      return take(static_cast<const char *>(data), n);
    char *out = nullptr;
    size_t length = 0, prespace = 0;
    g_mime_filter_filter(decoder.get(), data, n, 0, &out, &length, &prespace);
    return take(static_cast<const char *>(out), length);
  });
  if (ok && decoder) {
    char *out = nullptr;
    size_t length = 0, prespace = 0;
    char none = 0;
    g_mime_filter_complete(decoder.get(), &none, 0, 0, &out, &length, &prespace);
    ok = take(static_cast<const char *>(out), length);
  }
  return ok;
}

// At most `limit` bytes of a part's decoded content, read no further than
// that; `more` says whether the content went on.
QByteArray partPrefix(GMimePart *part, qsizetype limit, bool *more) {
  QByteArray out;
  *more = false;
  decodeContent(part, [&](const char *data, size_t n) {
    const qsizetype room = limit - out.size();
    if (qsizetype(n) > room) {
      out.append(data, room);
      *more = true;
      return false;
    }
    out.append(data, qsizetype(n));
    return true;
  });
  return out;
}

// What tells two files of one name apart: the size and SHA-256 of the
// content, made once per file, reading it a piece at a time.
const QByteArray &digestOf(Attachment &a) {
  if (a.digest.isEmpty()) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    qint64 size = 0;
    if (a.part) {
      decodeContent(a.part, [&](const char *data, size_t n) {
        hash.addData(QByteArrayView(data, qsizetype(n)));
        size += qint64(n);
        return true;
      });
    } else {
      hash.addData(a.data);
      size = a.data.size();
    }
    a.digest = QByteArray::number(size) + ':' + hash.result();
  }
  return a.digest;
}

// Bytes read up to a limit may end inside a character, and a charset guessed
// from them would then be the wrong one (UTF-8 that is not valid to its end).
// They are cut back to their last line end, where every charset that mail
// uses is between characters (a JIS line has returned to ASCII); false when
// the last 64 KB hold none.
bool cutAtLineEnd(QByteArray &bytes) {
  const qsizetype end = bytes.lastIndexOf('\n');
  if (end < 0 || end < bytes.size() - 64 * 1024)
    return false;
  bytes.truncate(end + 1);
  return true;
}

// `text` cut to at most `limit` UTF-16 units, never inside a character;
// true when it was cut.
bool cutText(QString &text, qsizetype limit) {
  if (text.size() <= limit)
    return false;
  qsizetype end = limit;
  if (end > 0 && text[end - 1].isHighSurrogate())
    --end;
  text.truncate(end);
  return true;
}


QString proposedName(const ParsedField &type, const ParsedField &disposition) {
  QString name = disposition.params.value("filename").trimmed();
  if (name.isEmpty())
    name = type.params.value("name").trimmed();
  // Some mailers send the sender's whole path; the last piece is the name.
  const qsizetype sep = std::max(name.lastIndexOf(u'/'), name.lastIndexOf(u'\\'));
  if (sep >= 0 && sep + 1 < name.size())
    name = name.mid(sep + 1);
  return name.isEmpty() ? nameForType(type.token) : name;
}

// The text of a part, at most `room` UTF-16 units of it and read no further
// than that needs; `cut` is set when the part went on.
QString textOf(GMimePart *part, const ParsedField &type, qsizetype room, QDeadlineTimer deadline,
               bool *cut) {
  const bool html = type.token == "text/html";
  bool more = false;
  QByteArray bytes = partPrefix(part, html ? MaxHtmlBytes : MaxTextBytes, &more);
  const bool atLineEnd = more && cutAtLineEnd(bytes);
  QByteArray declared = type.params.value("charset").toLatin1();
  QString text;
  if (html) {
    if (declared.isEmpty())
      declared = htmlDeclaredCharset(bytes);
    text = htmlToText(charset::decode(bytes, declared), deadline);
  } else {
    text = charset::crlf(charset::decode(bytes, declared));
    // The bytes may end inside a character.
    if (more && !atLineEnd)
      cutText(text, text.size() - 1);
  }
  *cut = cutText(text, room) || more;
  return text;
}

// How good a child of multipart/alternative is for a person reading plain
// text: the plain part first, then a structure holding one, then HTML.
int readability(GMimeObject *child) {
  const QByteArray token = contentType(child).token;
  if (token == "text/plain")
    return 3;
  if (GMIME_IS_MULTIPART(child))
    return 2;
  if (token == "text/html")
    return 1;
  return 0;
}

bool isNamedOrAttached(GMimeObject *object) {
  if (GMIME_IS_MULTIPART(object))
    return true;
  const ParsedField type = contentType(object);
  const ParsedField disposition = parseField(rawHeader(object, "Content-Disposition"));
  return disposition.token == "attachment" || disposition.params.contains("filename") ||
         type.params.contains("name");
}

// A forwarded mail opens with a double click only under ".eml"; a name such
// as "Forwarded Message" or "Re: v1.2" has no extension a desktop knows.
QString withMailExtension(const QString &name) {
  static const QRegularExpression extension(QStringLiteral("\\.[A-Za-z0-9]*[A-Za-z][A-Za-z0-9]*$"));
  const auto m = extension.match(name);
  if (m.hasMatch() && m.capturedLength() <= 6)
    return name;
  return name + QStringLiteral(".eml");
}

void addAttachment(Content &content, Attachment attachment, bool shown) {
  Content::SameName &same = content.byName[attachment.name];
  // Both branches of an alternative often carry the same file.
  if (!shown && !same.indexes.isEmpty()) {
    const QByteArray name = attachment.name.toUtf8() + '\0';
    for (; same.digested < same.indexes.size(); ++same.digested)
      content.digests.insert(name + digestOf(content.attachments[same.indexes[same.digested]]));
    if (content.digests.contains(name + digestOf(attachment)))
      return;
  }
  same.indexes << content.attachments.size();
  content.attachments << std::move(attachment);
}

// Collects what `object` holds. With `withText` false only the files are
// taken: the branches of an alternative that are not shown still carry
// attachments (an HTML branch as multipart/related or mixed), and the mail is
// deleted on the server once it is stored.
void collect(GMimeObject *object, Content &content, bool withText = true) {
  // Past the budget the parts left are not looked at: the mail is kept whole.
  if (content.overBudget())
    return;
  const ParsedField type = contentType(object);
  if (GMIME_IS_MULTIPART(object)) {
    GMimeMultipart *multipart = GMIME_MULTIPART(object);
    const int count = g_mime_multipart_get_count(multipart);
    if (type.token == "multipart/alternative") {
      int best = -1;
      int bestScore = -1;
      for (int i = 0; withText && i < count; ++i) {
        const int score = readability(g_mime_multipart_get_part(multipart, i));
        if (score > bestScore) {
          best = i;
          bestScore = score;
        }
      }
      if (best >= 0)
        collect(g_mime_multipart_get_part(multipart, best), content, true);
      for (int i = 0; i < count; ++i)
        if (i != best)
          collect(g_mime_multipart_get_part(multipart, i), content, false);
      return;
    }
    const bool related = type.token == "multipart/related";
    for (int i = 0; i < count; ++i) {
      GMimeObject *child = g_mime_multipart_get_part(multipart, i);
      // Unnamed pictures and style sheets behind an HTML page are part of
      // how it looks, not files the sender meant to hand over.
      if (related && i > 0 && !isNamedOrAttached(child))
        continue;
      collect(child, content, withText);
    }
    return;
  }
  const ParsedField disposition = parseField(rawHeader(object, "Content-Disposition"));
  if (GMIME_IS_MESSAGE_PART(object)) {
    GMimeMessage *inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
    const QByteArray bytes = inner ? objectBytes(GMIME_OBJECT(inner)) : QByteArray();
    QString name = proposedName(type, disposition);
    // A forwarded mail rarely has a name; its subject says what it is.
    const QString subject = decodeWords(headerValue(headerBlock(bytes), "Subject")).simplified();
    if (name == nameForType(type.token) && !subject.isEmpty())
      name = subject + QStringLiteral(".eml");
    addAttachment(content, Attachment{withMailExtension(name), bytes}, withText);
    return;
  }
  if (!GMIME_IS_PART(object))
    return;
  GMimePart *part = GMIME_PART(object);
  const bool named = disposition.params.contains("filename") || type.params.contains("name");
  const bool attached = named || disposition.token == "attachment";
  const bool text = type.token == "text/plain" || type.token == "text/html";
  if (!attached && text) {
    if (!withText || !content.wantsTexts)
      return;
    const qsizetype room = MaxReadableChars - content.textChars;
    if (room <= 0) {
      content.textCut = true;
      return;
    }
    bool cut = false;
    const QDeadlineTimer deadline =
        content.budget ? content.budget->deadline() : QDeadlineTimer(QDeadlineTimer::Forever);
    content.texts << textOf(part, type, room, deadline, &cut);
    content.textChars += content.texts.last().size() + 2;
    content.textCut |= cut;
    return;
  }
  // Another rendering of the text (text/enriched, Apple's text/watch-html)
  // in a branch that is not shown is not a file either.
  if (!attached && !withText && type.token.startsWith("text/"))
    return;
  addAttachment(content, Attachment{proposedName(type, disposition), {}, part}, withText);
}

Content contentOf(GMimeMessage *message, bool wantsTexts, Budget *budget) {
  Content content;
  content.wantsTexts = wantsTexts;
  content.budget = budget;
  if (GMimeObject *top = g_mime_message_get_mime_part(message))
    collect(top, content);
  return content;
}

// `text` as readableBody gives it: at most MaxReadableChars, then the
// notice when `cut` or when it had to be cut here.
QString cappedText(QString text, bool cut) {
  cut |= cutText(text, MaxReadableChars);
  if (!cut)
    return text;
  while (text.endsWith(u'\n') || text.endsWith(u'\r'))
    text.chop(1);
  return text + QStringLiteral("\r\n") + cutTextNotice();
}

QString readableText(Content &content) {
  QString text = content.texts.join(QStringLiteral("\r\n"));
  while (text.endsWith(u'\n') || text.endsWith(u'\r') || text.endsWith(u' '))
    text.chop(1);
  if (content.textCut)
    text = cappedText(text, true);
  if (content.attachments.isEmpty())
    return text;
  QStringList lines;
  qsizetype length = text.size();
  for (Attachment &a : content.attachments) {
    // A list longer than the text may be is not measured to the end.
    if (length > MaxReadableChars)
      break;
    lines << QStringLiteral("attachment: %1 (%2 bytes)")
                 .arg(cleanFileName(a.name))
                 .arg(sizeOf(a));
    length += lines.last().size() + 2;
  }
  if (!text.isEmpty())
    text += QStringLiteral("\r\n\r\n");
  return cappedText(text + lines.join(QStringLiteral("\r\n")),
                    lines.size() < content.attachments.size());
}

QString decodeAddress(const QByteArray &value) {
  if (value.isEmpty())
    return QString();
  ensureGMime();
  const QByteArray normal = normaliseWords(value);
  QString result;
  if (InternetAddressList *list = internet_address_list_parse(nullptr, normal.constData())) {
    if (internet_address_list_length(list) > 0) {
      char *text = internet_address_list_to_string(list, nullptr, FALSE);
      result = QString::fromUtf8(text);
      g_free(text);
    }
    g_object_unref(list);
  }
  return result.isEmpty() ? decodeWords(value) : result;
}

// A part's content decoded straight into the file, a large piece at a time.
// Not synced here: the files of a run count as on the disk only once the
// flush before QUIT has synced them together (a large one gets a head start
// on a worker).
bool writePart(QFile &file, GMimePart *part) {
  const int fd = file.handle();
  qint64 written = 0;
  // The disk starts on each piece now; the flush before QUIT then waits less.
  const bool ok = decodeContent(part, [&](const char *data, size_t n) {
    if (!platform::writeWhole(fd, data, qint64(n)))
      return false;
    platform::startWriteBack(fd, written, qint64(n));
    written += qint64(n);
    return true;
  });
  if (ok)
    platform::syncAsideIfLarge(fd, written);
  return ok;
}

} // namespace nmail::mime::parts
