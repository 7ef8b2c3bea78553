#include "main/lib/schedule.h"

#include "platform/core/paths.h"
#include "platform/core/profile.h"

#include <QRegularExpression>

namespace korvex {

QString japanTimeText(const QDateTime &utc) {
  const QTime t = utc.toUTC().time();
  const int hour = t.hour() <= 15 ? t.hour() + 9 : t.hour() - 15;
  return QStringLiteral("%1:%2").arg(hour).arg(t.minute(), 2, 10, QLatin1Char('0'));
}

QString optionIniPath() { return platform::dataFile(QStringLiteral("option.ini")); }

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
  return platform::getPrivateProfileString(QStringLiteral("EXEINI"), QStringLiteral("NAME"), QString(),
                                           1256, optionIniPath());
}

bool writeConnectionValue(bool hangUpMode) {
  return platform::writePrivateProfileString(QStringLiteral("EXEINI"), QStringLiteral("NAME"),
                                             hangUpMode ? QStringLiteral("1") : QStringLiteral("0"),
                                             optionIniPath());
}

} // namespace korvex
