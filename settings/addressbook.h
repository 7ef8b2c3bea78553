// The address book: a file of 124-byte AddressRecords in the data folder,
// read by the address-book window, the compose window's panel and the
// viewer's register command. Text is CP932 so that the Windows program and
// this one read each other's files.
//
// Every rewrite goes through the shared compaction, and an interrupted one is
// finished before any other access, so a delete cut short loses no entry.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

namespace settings {

namespace AddressLayout {
inline constexpr int NameOffset = 0, NameWidth = 60;
inline constexpr int CrlfOffset = 60, CrlfWidth = 2;
inline constexpr int FlagOffset = 62, FlagWidth = 2;
inline constexpr int AddressOffset = 64, AddressWidth = 60;
inline constexpr int RecordLength = 124;
static_assert(AddressOffset + AddressWidth == RecordLength);
// The name is filled with ideographic spaces up to this many characters.
inline constexpr int NameChars = 30;
// Record numbers are 16-bit signed in every procedure that handles them.
inline constexpr int MaxRecords = 32767;
} // namespace AddressLayout

// Texts as stored: Name and Address are the whole fields, padding included.
struct AddressRecord {
  QString Name;
  qint16 Flag = 1;
  QString Address;
};

// The name as registered: the typed text followed by ideographic spaces
// (U+3000) until it is NameChars characters long.
QString paddedName(const QString &typed);

// The 124 bytes of a record; Name and Address are converted, cut at a
// character boundary and blank-padded to 60 bytes each; Crlf = CR LF.
QByteArray encodeAddressRecord(const AddressRecord &record);
// Both fields converted back with their padding.
AddressRecord decodeAddressRecord(const QByteArray &bytes);
// The address a sender takes from a record: Address without its blanks.
QString addressOf(const AddressRecord &record);

// The text to store as a record's Address for what the user registers. A
// sender text too long for the field ("名前 <addr>") keeps its address whole
// and drops the name beside it (the record's Name holds the name); nothing
// when even the address does not fit, since a cut address would send mail
// to someone else.
std::optional<QString> addressForField(const QString &typed);
// What the user is told when addressForField gives nothing.
QString addressTooLongText();

// "Qlmdata20.data" and its work file "QLMDATA20.TMP" in the data folder.
QString addressBookPath();
QString addressBookWorkPath();
// "QLMASTER20.INI": same layout, read by the compose window at load.
QString addressMasterPath();

// Every whole record of `path` in file order (Flag not looked at). The file is
// created empty when it does not exist. Nothing when it can't be read.
std::optional<QList<AddressRecord>> readAddressFile(const QString &path);
// Record n (1-based) of `path`, or nothing when it can't be read.
std::optional<AddressRecord> readAddressFileRecord(const QString &path, int n);

// The address book itself (addressBookPath), after finishing any interrupted
// rewrite.
std::optional<QList<AddressRecord>> readAddressBook();
std::optional<AddressRecord> readAddressBookRecord(int n);
int addressBookCount();

enum class AddressWriteResult { Ok, Full, Failed };
// Appends a record after the last whole one.
AddressWriteResult appendAddressRecord(const AddressRecord &record);
// Marks record n deleted (Flag 0, the other bytes kept) when `mark` is set,
// then rewrites the file without deleted records. False when a step failed.
bool deleteAddressRecord(int n, bool mark);

} // namespace settings
