#include "settings/serverfile.h"

#include "platform/core/ansi.h"

#include <QList>

#include <cmath>
#include <cstdlib>
#include <locale.h>
#include <limits>
#include <string>

namespace settings {

namespace {

// A line ends at CR, CR LF or LF. Line Input on Windows knew only the first
// two; a lone LF is taken as an end too, so a file saved by a Unix editor
// does not run all four settings into one host name.
QList<QByteArray> splitLines(const QByteArray &bytes) {
  QList<QByteArray> lines;
  qsizetype start = 0;
  const qsizetype n = bytes.size();
  qsizetype i = 0;
  while (i < n) {
    const char c = bytes.at(i);
    if (c == '\r' || c == '\n') {
      lines.append(bytes.mid(start, i - start));
      if (c == '\r' && i + 1 < n && bytes.at(i + 1) == '\n')
        ++i;
      ++i;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < n)
    lines.append(bytes.mid(start));
  return lines;
}

bool hasLineBreak(const QString &s) {
  return s.contains(QLatin1Char('\r')) || s.contains(QLatin1Char('\n'));
}

} // namespace

qint16 apopValue(const QString &text) {
  // The longest leading part that reads as a decimal number, as Basic's Val
  // takes it: blanks first, a sign, digits with one point, an exponent.
  const QString t = text;
  qsizetype i = 0;
  const qsizetype n = t.size();
  auto isDigit = [&](qsizetype k) { return k < n && t.at(k) >= u'0' && t.at(k) <= u'9'; };
  while (i < n && (t.at(i) == u' ' || t.at(i) == u'\t'))
    ++i;
  std::string number;
  if (i < n && (t.at(i) == u'+' || t.at(i) == u'-'))
    number += char(t.at(i++).unicode());
  bool digits = false;
  while (isDigit(i)) {
    number += char(t.at(i++).unicode());
    digits = true;
  }
  if (i < n && t.at(i) == u'.') {
    number += '.';
    ++i;
    while (isDigit(i)) {
      number += char(t.at(i++).unicode());
      digits = true;
    }
  }
  if (!digits)
    return 0;
  if (i < n && (t.at(i) == u'e' || t.at(i) == u'E' || t.at(i) == u'd' || t.at(i) == u'D')) {
    qsizetype k = i + 1;
    std::string exponent = "e";
    if (k < n && (t.at(k) == u'+' || t.at(k) == u'-'))
      exponent += char(t.at(k++).unicode());
    if (isDigit(k)) {
      while (isDigit(k))
        exponent += char(t.at(k++).unicode());
      number += exponent;
    }
  }
  // Read with the C locale's decimal point: the file says "1.5" whatever
  // the user's own locale writes.
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(0));
  const double value = strtod_l(number.c_str(), nullptr, cLocale);
  // The flag only asks "zero or not", so a number outside the 16-bit range is
  // held at the nearest end rather than refused or wrapped to a wrong sign.
  if (!(value > std::numeric_limits<qint16>::min() - 0.5))
    return std::numeric_limits<qint16>::min();
  if (!(value < std::numeric_limits<qint16>::max() + 0.5))
    return std::numeric_limits<qint16>::max();
  return static_cast<qint16>(std::nearbyint(value)); // default rounding: half to even
}

void applyServerFile(const QByteArray &bytes, ServerSettings &values) {
  for (const QByteArray &raw : splitLines(bytes)) {
    const QString line = platform::fromAnsi(raw);
    const QString key = line.left(5);
    const QString rest = line.mid(5);
    if (key == u"SMTP=")
      values.smtp = rest.left(ServerValueMaxLength);
    else if (key == u"POP3=")
      values.pop3 = rest.left(ServerValueMaxLength);
    else if (key == u"MAIL=")
      values.mail = rest.left(ServerValueMaxLength);
    else if (key == u"APOP=")
      values.apop = apopValue(rest);
  }
}

std::optional<QByteArray> serverFileBytes(const ServerSettings &values) {
  for (const QString *v : {&values.smtp, &values.pop3, &values.mail}) {
    // A line break would add a line of its own; a character CP932 lacks would
    // come back as "?" and quietly change the server name.
    if (hasLineBreak(*v) || !platform::fitsAnsi(*v))
      return std::nullopt;
  }
  QByteArray out;
  out += "SMTP=" + platform::toAnsi(values.smtp) + "\r\n";
  out += "POP3=" + platform::toAnsi(values.pop3) + "\r\n";
  out += "MAIL=" + platform::toAnsi(values.mail) + "\r\n";
  out += "APOP=" + QByteArray::number(values.apop) + "\r\n";
  return out;
}

} // namespace settings
