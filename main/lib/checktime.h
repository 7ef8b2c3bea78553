// The check-time list file: fixed 404-byte records, one registered time each.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

namespace korvex {

namespace CheckTimeLayout {
inline constexpr int ReservedOffset = 0, ReservedWidth = 200;
inline constexpr int CrlfOffset = 200, CrlfWidth = 2;
inline constexpr int FlagOffset = 202, FlagWidth = 2;
inline constexpr int CheckTimeOffset = 204, CheckTimeWidth = 200;
inline constexpr int RecordLength = 404;
static_assert(CheckTimeOffset + CheckTimeWidth == RecordLength);
// Record numbers are 16-bit signed wherever the program handles them.
inline constexpr int MaxRecords = 32767;
} // namespace CheckTimeLayout

struct CheckTimeRecord {
  QString CheckTime;
  qint16 Flag = 1;
};

// Reserved is written as blanks (nothing reads it); CheckTime is CP932,
// left-aligned and blank-padded; Crlf = CR LF.
QByteArray encodeCheckTimeRecord(const CheckTimeRecord &record);
// CheckTime exactly as stored, trailing blanks included: the list shows it
// that way and every comparison trims it first.
CheckTimeRecord decodeCheckTimeRecord(const QByteArray &bytes);

// "Qlmdata90.data" and its work file "QLMDATA90.TMP" in the data folder.
QString checkTimePath();
QString checkTimeWorkPath();

// Every record's CheckTime in file order, the Flag not looked at. Creates the
// file, empty, when it is missing, and first finishes a delete that was cut
// short. Nothing when the file cannot be opened (no data folder).
std::optional<QStringList> readCheckTimes();

enum class CheckTimeError {
  None,
  NoDataFolder,
  Full,        // already MaxRecords records
  WriteFailed, // the file cannot be opened or written
};
// A sentence for the user saying why a change of the list failed.
QString checkTimeErrorText(CheckTimeError error);

// Whole records in the file.
qint64 checkTimeCount();
// Writes record n with CheckTime = `text` trimmed of blanks, Flag 1.
CheckTimeError putCheckTimeRecord(qint64 n, const QString &text);
// Writes Flag 0 into record n; a record that does not exist is left alone.
CheckTimeError markCheckTimeDeleted(qint64 n);
// Rewrites the file through the work file keeping the live records in order.
CheckTimeError compactCheckTimes();

} // namespace korvex
