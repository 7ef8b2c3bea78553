#include "mail/store/mailrecord.h"

#include "platform/core/ansi.h"
#include "platform/core/paths.h"
#include "platform/core/recordfile.h"

#include <QCryptographicHash>

#include <algorithm>

#include <openssl/evp.h>

namespace mail {

using namespace MailLayout;

QByteArray encodeMailRecord(const MailRecord &record) {
  QByteArray bytes;
  bytes.reserve(RecordLength);
  bytes += platform::ansiField(record.Subject, SubjectWidth);
  bytes += platform::ansiField(record.Info1, Info1Width);
  bytes += platform::ansiField(record.Info2, Info2Width);
  bytes += platform::ansiField(record.Body, BodyWidth);
  bytes += "\r\n";
  bytes += QByteArray(FlagWidth, '\0');
  platform::writeInt16LE(bytes, FlagOffset, record.Flag);
  return bytes;
}

MailRecord decodeMailRecord(const QByteArray &bytes) {
  MailRecord record;
  if (bytes.size() < RecordLength)
    return record;
  record.Subject = platform::readAnsiField(bytes.mid(SubjectOffset, SubjectWidth));
  record.Info1 = platform::readAnsiField(bytes.mid(Info1Offset, Info1Width));
  record.Info2 = platform::readAnsiField(bytes.mid(Info2Offset, Info2Width));
  record.Body = platform::readAnsiField(bytes.mid(BodyOffset, BodyWidth));
  record.Flag = platform::readInt16LE(bytes, FlagOffset);
  return record;
}

QByteArray recordKey(const QByteArray &recordBytes) {
  const qsizetype length = std::min<qsizetype>(FlagOffset, recordBytes.size());
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  if (EVP_Digest(recordBytes.constData(), size_t(length), digest, &digestLength, EVP_sha256(),
                 nullptr) != 1)
    return QCryptographicHash::hash(QByteArrayView(recordBytes).first(length),
                                    QCryptographicHash::Sha256)
        .toHex();
  return QByteArray::fromRawData(reinterpret_cast<const char *>(digest), int(digestLength)).toHex();
}

QByteArray recordKey(const MailRecord &record) {
  MailRecord stored = record;
  stored.Flag = 1;
  return recordKey(encodeMailRecord(stored));
}

QString historyPath(History which) {
  return platform::dataFile(which == History::Received ? QStringLiteral("qlmdata2.data")
                                                       : QStringLiteral("qlmdata5.data"));
}

QString historyWorkPath(History which) {
  return platform::dataFile(which == History::Received ? QStringLiteral("QLMDATA2.TMP")
                                                       : QStringLiteral("QLMDATA5.TMP"));
}

const QString AttachmentNotice =
    QStringLiteral("♪♪♪　添付ファイルがありましので、添付フォルダに展開しました。♪♪♪");

} // namespace mail
