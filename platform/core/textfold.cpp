#include "platform/core/textfold.h"

#include <QHash>
#include <QList>

namespace platform {

QString foldText(const QString &text) {
  return text.normalized(QString::NormalizationForm_KC).toCaseFolded();
}

namespace {

char32_t codePointAt(const QString &text, qsizetype i, qsizetype *length) {
  const QChar c = text.at(i);
  if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
    *length = 2;
    return QChar::surrogateToUcs4(c, text.at(i + 1));
  }
  *length = 1;
  return c.unicode();
}

// Marks that belong to the character before them: combining marks, and the
// half-width voiced and semi-voiced marks, which NFKC joins with the kana
// in front (ｶﾞ is ガ).
bool joinsThePrevious(char32_t c) {
  return c == 0xFF9E || c == 0xFF9F || QChar::isMark(c);
}

} // namespace

FoldedHit findFolded(const QString &text, const QString &needle, qsizetype from) {
  from = std::max<qsizetype>(from, 0);
  if (needle.isEmpty())
    return from <= text.size() ? FoldedHit{from, 0} : FoldedHit{};
  const QString key = foldText(needle);

  // The text from `from` on is folded a character (with its marks) at a
  // time, noting for every folded unit which character it came from, so a
  // hit in the folded text maps back to whole characters of the text.
  QString folded;
  folded.reserve(text.size() - std::min(from, text.size()));
  QList<int> source;      // for each unit of `folded`: its character's index
  QList<qsizetype> start; // each character's start in `text`
  QHash<char32_t, QString> once;
  for (qsizetype i = from; i < text.size();) {
    qsizetype length = 0;
    const char32_t first = codePointAt(text, i, &length);
    qsizetype end = i + length;
    while (end < text.size()) {
      qsizetype next = 0;
      if (!joinsThePrevious(codePointAt(text, end, &next)))
        break;
      end += next;
    }
    QString piece;
    if (end - i == 1 && first < 0x80) {
      piece = QChar(first >= 'A' && first <= 'Z' ? first + 32 : first);
    } else if (end - i == length) {
      auto it = once.find(first);
      if (it == once.end())
        it = once.insert(first, foldText(text.mid(i, length)));
      piece = *it;
    } else {
      piece = foldText(text.mid(i, end - i));
    }
    start.append(i);
    folded += piece;
    source.insert(source.size(), piece.size(), int(start.size() - 1));
    i = end;
  }
  start.append(text.size());

  const qsizetype at = key.isEmpty() ? -1 : folded.indexOf(key);
  if (at < 0)
    return {};
  const qsizetype begin = start[source[at]];
  return FoldedHit{begin, start[source[at + key.size() - 1] + 1] - begin};
}

} // namespace platform
