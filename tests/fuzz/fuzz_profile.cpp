// The profile (INI) reader and writer on any file: a value written is the
// value read back, whatever else the file holds.
#include "platform/core/profile.h"
#include "tests/fuzz/fuzzsupport.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::startQt();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const QString file = fuzz::scratchDir().filePath(QStringLiteral("option.ini"));
  {
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
      std::abort();
    f.write(reinterpret_cast<const char *>(data), qsizetype(size));
  }
  for (const char *key : {"NAME", "NAME2", "NAME3"})
    platform::getPrivateProfileString(QStringLiteral("EXEINI"), QString::fromLatin1(key), QString(),
                                      255, file);
  const QString value = QStringLiteral("korvex 値 1");
  if (platform::writePrivateProfileString(QStringLiteral("EXEINI"), QStringLiteral("NAME2"), value,
                                          file)) {
    const QString back = platform::getPrivateProfileString(
        QStringLiteral("EXEINI"), QStringLiteral("NAME2"), QString(), 255, file);
    if (back != value) {
      std::fprintf(stderr, "wrote \"%s\", read \"%s\"\n", qPrintable(value), qPrintable(back));
      std::abort();
    }
  }
  QFile::remove(file);
  return 0;
}
