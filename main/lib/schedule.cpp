#include "main/lib/schedule.h"

#include "platform/core/paths.h"
#include "platform/core/profile.h"

#include <QRegularExpression>

#include <optional>
#include <utility>

namespace korvex {

QString japanTimeText(const QDateTime &utc) {
  const QTime t = utc.toUTC().time();
  const int hour = t.hour() <= 15 ? t.hour() + 9 : t.hour() - 15;
  return QStringLiteral("%1:%2").arg(hour).arg(t.minute(), 2, 10, QLatin1Char('0'));
}

bool isJapanOffset(const QDateTime &utc, const QDateTime &local) {
  // Both as wall-clock readings: the difference is the zone's offset, to the
  // nearest quarter of an hour (every zone's offset is a multiple of it).
  const QDateTime wallUtc(utc.toUTC().date(), utc.toUTC().time(), Qt::UTC);
  const QDateTime wallLocal(local.date(), local.time(), Qt::UTC);
  const qint64 quarters = qRound64(double(wallUtc.secsTo(wallLocal)) / 900.0);
  return quarters == 9 * 4;
}

namespace {
// Hour and minute of "H:MM" or "HH:MM" in ASCII digits; nothing otherwise.
std::optional<std::pair<int, int>> hourAndMinute(const QString &entry) {
  static const QRegularExpression form(QStringLiteral("^([0-9]{1,2}):([0-9]{2})$"));
  const QRegularExpressionMatch m = form.match(entry);
  if (!m.hasMatch())
    return std::nullopt;
  return std::pair{m.captured(1).toInt(), m.captured(2).toInt()};
}
} // namespace

QString scheduleTextOf(const QString &entry) {
  const auto hm = hourAndMinute(entry);
  if (!hm)
    return entry;
  const int hour = hm->first == 0 ? 24 : hm->first;
  return QStringLiteral("%1:%2").arg(hour).arg(entry.mid(entry.indexOf(u':') + 1));
}

bool isCheckTimeThatCanCome(const QString &entry) {
  const auto hm = hourAndMinute(entry);
  return hm && hm->first <= 24 && hm->second <= 59;
}

QString optionIniPath() {
  return platform::dataFile(QStringLiteral("option.ini"));
}

bool connectionValueSelectsHangUp(const QString &value) {
  // The leading number of the text, the way a lenient numeric conversion
  // reads it; text without one counts as 0.
  static const QRegularExpression number(
      QStringLiteral("^[ \\t]*([+-]?(?:[0-9]+(?:\\.[0-9]*)?|\\.[0-9]+))"));
  const QRegularExpressionMatch m = number.match(value);
  if (!m.hasMatch())
    return false;
  bool ok = false;
  const double v = m.captured(1).toDouble(&ok);
  return ok && v != 0.0;
}

QString readConnectionValue() {
  return platform::getPrivateProfileString(QStringLiteral("EXEINI"), QStringLiteral("NAME"),
                                           QString(), 1256, optionIniPath());
}

bool writeConnectionValue(bool hangUpMode) {
  return platform::writePrivateProfileString(QStringLiteral("EXEINI"), QStringLiteral("NAME"),
                                             hangUpMode ? QStringLiteral("1") : QStringLiteral("0"),
                                             optionIniPath());
}

} // namespace korvex
