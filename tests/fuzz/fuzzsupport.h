// What every harness needs: a Qt application object for the code under test,
// and the input cut into pieces at a marker line.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace fuzz {

inline void startQt() {
  static int argc = 1;
  static char name[] = "fuzz";
  static char *argv[] = {name, nullptr};
  static QCoreApplication *app = new QCoreApplication(argc, argv);
  (void)app;
}

// A scratch folder for the whole run, removed when the run ends.
inline QTemporaryDir &scratchDir() {
  static QTemporaryDir dir;
  return dir;
}

inline QByteArray bytes(const uint8_t *data, size_t size) {
  return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

// The input's pieces between lines "%%NEXT%%": several mails, or several
// replies, in one input.
inline QList<QByteArray> pieces(const QByteArray &input, int most) {
  QList<QByteArray> out;
  qsizetype pos = 0;
  while (out.size() + 1 < most) {
    const qsizetype next = input.indexOf("\n%%NEXT%%\n", pos);
    if (next < 0)
      break;
    out << input.mid(pos, next - pos + 1);
    pos = next + 10;
  }
  out << input.mid(pos);
  return out;
}

} // namespace fuzz
