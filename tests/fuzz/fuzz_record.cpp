// The fixed-record reader and the recovery of an interrupted compaction on
// any pair of data file and work file ("%%NEXT%%" line between them).
#include "platform/core/recordfile.h"
#include "tests/fuzz/fuzzsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

void writeFile(const QString &path, const QByteArray &bytes) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
    std::abort();
  f.write(bytes);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::startQt();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1)
    return 0;
  // The layouts of the address book and check-time list, and a tiny one
  // that small inputs fill with many records.
  static const platform::CompactionLayout layouts[] = {{124, 122}, {404, 402}, {8, 6}, {6, 0}};
  const platform::CompactionLayout layout = layouts[data[0] % 4];
  const QList<QByteArray> files = fuzz::pieces(fuzz::bytes(data + 1, size - 1), 2);
  const QString path = fuzz::scratchDir().filePath(QStringLiteral("Qlmdata20.data"));
  const QString tmp = fuzz::scratchDir().filePath(QStringLiteral("QLMDATA20.TMP"));
  writeFile(path, files[0]);
  if (files.size() > 1)
    writeFile(tmp, files[1]);

  const platform::RecordFile records(path, layout.recordLength);
  const qint64 count = records.count();
  const auto all = records.readAll();
  if (!all || all->size() != count)
    std::abort();
  for (qint64 n = 0; n <= count + 1; ++n) {
    const auto one = records.read(n);
    if (n >= 1 && n <= count ? (!one || *one != all->at(n - 1)) : bool(one))
      std::abort();
  }

  if (platform::recoverCompaction(path, tmp, layout) && QFile::exists(tmp))
    std::abort(); // recovered, yet the work file is still there
  const QStringList left = QDir(fuzz::scratchDir().path()).entryList(QDir::Files | QDir::Hidden);
  for (const QString &name : left)
    if (name != QStringLiteral("Qlmdata20.data"))
      QFile::remove(fuzz::scratchDir().filePath(name));
  QFile::remove(path);
  return 0;
}
