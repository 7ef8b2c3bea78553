// The qelmar.ini format. No I/O here, so the rules can be held against bytes
// written by hand.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace settings {

struct ServerSettings {
  QString smtp;
  QString pop3;
  QString mail;
  qint16 apop = 0;
};

// Longest value kept from a qelmar.ini line.
inline constexpr int ServerValueMaxLength = 100;

// Applies the lines of a qelmar.ini file (CP932) to `values`: a key present
// on several lines takes the last one, a key on none keeps its value.
void applyServerFile(const QByteArray &bytes, ServerSettings &values);

// The four CR LF lines of qelmar.ini in CP932; nothing when a value cannot be
// written faithfully (a line break in it, or a character CP932 lacks).
std::optional<QByteArray> serverFileBytes(const ServerSettings &values);

// The APOP flag from the text after "APOP=": the leading number, rounded
// half to even, clamped to the 16-bit range; no number reads as 0.
qint16 apopValue(const QString &text);

} // namespace settings
