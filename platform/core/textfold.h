// Text compared the way a Japanese reader expects: full-width and half-width
// forms of one character are one character (ＡＢＣ and ABC, ｶﾞ and ガ), and
// letter case does not count. The whole-mail search and the editor's find
// both compare so.
#pragma once

#include <QString>

namespace platform {

// NFKC, then case folding.
QString foldText(const QString &text);

struct FoldedHit {
  qsizetype position = -1; // in `text`; -1: not found
  qsizetype length = 0;    // of the hit in `text`, which may differ from the needle's
};
// The first place at or after `from` where `text`, folded, holds `needle`,
// folded. A hit covers whole characters of `text` (with the marks that go
// with them, such as a half-width voiced mark). An empty needle is found at
// `from` itself while that lies within the text.
FoldedHit findFolded(const QString &text, const QString &needle, qsizetype from = 0);

} // namespace platform
