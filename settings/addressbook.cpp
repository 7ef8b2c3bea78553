#include "settings/addressbook.h"

#include "platform/core/ansi.h"
#include "platform/core/paths.h"
#include "platform/core/recordfile.h"

namespace settings {
namespace {

using namespace AddressLayout;

constexpr platform::CompactionLayout compaction{RecordLength, FlagOffset};

bool recoverAddressBook() {
  return platform::recoverCompaction(addressBookPath(), addressBookWorkPath(), compaction);
}

} // namespace

QString paddedName(const QString &typed) {
  if (typed.size() >= NameChars)
    return typed;
  return typed + QString(NameChars - typed.size(), QChar(0x3000));
}

QByteArray encodeAddressRecord(const AddressRecord &record) {
  QByteArray bytes;
  bytes.reserve(RecordLength);
  bytes.append(platform::ansiField(record.Name, NameWidth));
  bytes.append("\r\n", CrlfWidth);
  bytes.append(QByteArray(FlagWidth, '\0'));
  bytes.append(platform::ansiField(record.Address, AddressWidth));
  platform::writeInt16LE(bytes, FlagOffset, record.Flag);
  return bytes;
}

AddressRecord decodeAddressRecord(const QByteArray &bytes) {
  AddressRecord record;
  record.Name = platform::readAnsiField(bytes.mid(NameOffset, NameWidth), false);
  record.Flag = platform::readInt16LE(bytes, FlagOffset);
  record.Address = platform::readAnsiField(bytes.mid(AddressOffset, AddressWidth), false);
  return record;
}

QString addressOf(const AddressRecord &record) {
  return platform::trimBlanks(record.Address);
}

QString addressTooLongText() {
  return QStringLiteral("メールアドレスが長すぎるため登録できません。アドレス帳には半角60文字"
                        "（全角30文字）までのアドレスを登録できます。");
}

std::optional<QString> addressForField(const QString &typed) {
  const auto fits = [](const QString &text) {
    return platform::toAnsi(text).size() <= AddressLayout::AddressWidth;
  };
  if (fits(typed))
    return typed;
  const QString text = platform::trimBlanks(typed);
  if (fits(text))
    return text;
  const qsizetype open = text.lastIndexOf(u'<');
  const qsizetype close = text.indexOf(u'>', open);
  if (open >= 0 && close > open + 1) {
    const QString address = text.mid(open + 1, close - open - 1).trimmed();
    if (!address.isEmpty() && fits(address))
      return address;
  }
  return std::nullopt;
}

QString addressBookPath() {
  return platform::dataFile(QStringLiteral("Qlmdata20.data"));
}
QString addressBookWorkPath() {
  return platform::dataFile(QStringLiteral("QLMDATA20.TMP"));
}
QString addressMasterPath() {
  return platform::dataFile(QStringLiteral("QLMASTER20.INI"));
}

std::optional<QList<AddressRecord>> readAddressFile(const QString &path) {
  const platform::RecordFile file(path, RecordLength);
  if (!file.ensureExists())
    return std::nullopt;
  const auto all = file.readAll();
  if (!all)
    return std::nullopt;
  QList<AddressRecord> records;
  records.reserve(all->size());
  for (const QByteArray &bytes : *all)
    records.append(decodeAddressRecord(bytes));
  return records;
}

std::optional<AddressRecord> readAddressFileRecord(const QString &path, int n) {
  const auto bytes = platform::RecordFile(path, RecordLength).read(n);
  if (!bytes)
    return std::nullopt;
  return decodeAddressRecord(*bytes);
}

std::optional<QList<AddressRecord>> readAddressBook() {
  if (!recoverAddressBook())
    return std::nullopt;
  return readAddressFile(addressBookPath());
}

std::optional<AddressRecord> readAddressBookRecord(int n) {
  if (!recoverAddressBook())
    return std::nullopt;
  return readAddressFileRecord(addressBookPath(), n);
}

int addressBookCount() {
  recoverAddressBook();
  return int(platform::RecordFile(addressBookPath(), RecordLength).count());
}

AddressWriteResult appendAddressRecord(const AddressRecord &record) {
  if (!recoverAddressBook())
    return AddressWriteResult::Failed;
  const platform::RecordFile file(addressBookPath(), RecordLength);
  if (file.count() >= MaxRecords)
    return AddressWriteResult::Full;
  return file.append(encodeAddressRecord(record)) > 0 ? AddressWriteResult::Ok
                                                      : AddressWriteResult::Failed;
}

bool deleteAddressRecord(int n, bool mark) {
  if (!recoverAddressBook())
    return false;
  const platform::RecordFile file(addressBookPath(), RecordLength);
  if (mark) {
    auto bytes = file.read(n);
    if (!bytes)
      return false;
    platform::writeInt16LE(*bytes, FlagOffset, 0);
    if (!file.write(n, *bytes))
      return false;
  }
  return platform::compactRecords(addressBookPath(), addressBookWorkPath(), compaction);
}

} // namespace settings
