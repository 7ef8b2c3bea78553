#include "settings/servercopies.h"

#include "platform/core/paths.h"
#include "platform/core/profile.h"
#include "platform/core/replacefile.h"

#include <algorithm>

namespace settings {

namespace {

const QString Section = QStringLiteral("SERVERCOPIES");
constexpr int ValueBufferSize = 64;

QString read(const QString &key) {
  return platform::getPrivateProfileString(Section, key, QString(), ValueBufferSize,
                                           serverCopiesPath());
}

} // namespace

QString serverCopiesPath() {
  return platform::dataFile(QStringLiteral("servercopies.ini"));
}

std::optional<int> parseServerCopyDays(const QString &text) {
  // "３０" typed with the input method on is thirty days too.
  const QString t = text.normalized(QString::NormalizationForm_KC).trimmed();
  if (t.isEmpty())
    return 0;
  // Digits only: no sign, no blank inside, no "1e3"; and few enough that
  // the number cannot overflow before the range check.
  if (t.size() > 9 || !std::all_of(t.begin(), t.end(), [](QChar c) {
        return c >= QLatin1Char('0') && c <= QLatin1Char('9');
      }))
    return std::nullopt;
  const int days = t.toInt();
  if (days < 1 || days > MaxServerCopyDays)
    return std::nullopt;
  return days;
}

ServerCopies serverCopies() {
  ServerCopies c;
  // Only an exact "1" turns a choice on: whatever else a damaged file holds
  // reads as off.
  c.keep = read(QStringLiteral("Keep")) == QLatin1String("1");
  c.deleteWithRecord = read(QStringLiteral("DeleteWithRecord")) == QLatin1String("1");
  // A day count that cannot be read deletes nothing: a copy left on the
  // server can still be deleted later, one deleted is gone.
  c.deleteAfterDays = parseServerCopyDays(read(QStringLiteral("DeleteAfterDays"))).value_or(0);
  return c;
}

bool saveServerCopies(const ServerCopies &c) {
  // The program never creates its data folder.
  if (!platform::dataFolderExists() || c.deleteAfterDays < 0 ||
      c.deleteAfterDays > MaxServerCopyDays)
    return false;
  // The three values in one file written at once: a crash between them must
  // not leave the copies kept with an old deletion rule, or the reverse.
  const QByteArray days = c.deleteAfterDays > 0 ? QByteArray::number(c.deleteAfterDays) : "";
  const QByteArray bytes =
      "[SERVERCOPIES]\r\nKeep=" + QByteArray(c.keep ? "1" : "0") + "\r\nDeleteAfterDays=" + days +
      "\r\nDeleteWithRecord=" + QByteArray(c.deleteWithRecord ? "1" : "0") + "\r\n";
  return platform::replaceFile(serverCopiesPath(), bytes);
}

} // namespace settings
