// The 12284-byte record of both mail histories. The same bytes mean
// different things in the two files: Info1 is the sender of a received mail
// but the sending date of a sent one; Info2 the date of a received mail but
// the recipients of a sent one.
#pragma once

#include <QByteArray>
#include <QString>

namespace mail {

namespace MailLayout {
inline constexpr int SubjectOffset = 0, SubjectWidth = 100;
inline constexpr int Info1Offset = 100, Info1Width = 90;
inline constexpr int Info2Offset = 190, Info2Width = 90;
inline constexpr int BodyOffset = 280, BodyWidth = 12000;
inline constexpr int CrlfOffset = 12280, CrlfWidth = 2;
inline constexpr int FlagOffset = 12282, FlagWidth = 2;
inline constexpr int RecordLength = 12284;
static_assert(FlagOffset + FlagWidth == RecordLength);
// Record numbers are 16-bit in every procedure that handles them.
inline constexpr int MaxRecords = 32766;
} // namespace MailLayout

struct MailRecord {
  QString Subject;
  QString Info1;
  QString Info2;
  QString Body;
  qint16 Flag = 1;
};

// CP932 fields cut at a character boundary and blank-padded; Crlf = CR LF.
QByteArray encodeMailRecord(const MailRecord &record);
// Each text field converted and trimmed of leading and trailing blanks.
MailRecord decodeMailRecord(const QByteArray &bytes);

// The identity of a record: SHA-256 (hex) of its bytes in front of the Flag,
// as encodeMailRecord writes them or as they lie in the file. Marking a
// record deleted does not change it, nor does the compaction that moves it.
// The originals index and the UIDL journal store it; the search index keeps
// its first 64 bits.
QByteArray recordKey(const QByteArray &recordBytes);
QByteArray recordKey(const MailRecord &record);

// The line the receive routine adds under the body of a mail that mentions
// an attachment; the record carries it, and so does the mail's whole text.
extern const QString AttachmentNotice;

enum class History { Received, Sent };
// "qlmdata2.data" / "qlmdata5.data" in the data folder, and their work files.
QString historyPath(History which);
QString historyWorkPath(History which);

} // namespace mail
