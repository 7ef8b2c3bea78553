// The scheduling clock of the unattended check and the connection mode file.
#pragma once

#include <QDateTime>
#include <QString>

namespace korvex {

// Japan Standard Time as "H:MM" from a UTC time: nine hours ahead, the hour
// without a leading zero and running 1..24 (the hour after midnight is 24).
QString japanTimeText(const QDateTime &utc);
// Whether the machine's wall-clock time `local`, read with `utc`, is Japan's
// (nine hours ahead of UTC). The two reads may lie a moment apart.
bool isJapanOffset(const QDateTime &utc, const QDateTime &local);

// A registered time as the scheduling clock writes it: a leading zero of the
// hour dropped and an hour of 0 read as 24 ("08:30" -> "8:30", "0:30" and
// "00:30" -> "24:30"). Users type the hour with a leading zero as they are
// told to type the minute; the entry itself stays stored as typed. Any other
// text comes back unchanged.
QString scheduleTextOf(const QString &entry);

// True when a time typed as "H:MM" (blanks already trimmed) can ever match
// the scheduling clock: one or two digits of hour 0..24, two digits of
// minute 00..59.
bool isCheckTimeThatCanCome(const QString &entry);

// "★MailData\option.ini", section EXEINI, key NAME.
QString optionIniPath();
// True when the stored value selects the hang-up mode: any text that begins
// with a number other than 0 ("1", "-1", "2"); anything else (empty, "0",
// "abc") selects the permanent connection.
bool connectionValueSelectsHangUp(const QString &value);
// The stored value, read with a 1256-character buffer as the Windows program
// reads it; "" when
// the file or the key is missing.
QString readConnectionValue();
// Writes NAME; failures are silent for the user, the selection stays.
bool writeConnectionValue(bool hangUpMode);

} // namespace korvex
