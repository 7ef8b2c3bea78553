// Mails built to hurt a mail reader, as they arrive from the wire (CR LF):
// the receive test stores them and the receive benchmark times them.
#pragma once

#include <QByteArray>
#include <QList>

namespace testsupport {

// 40 KB of HTML whose formatting tags are never closed, each with an
// attribute of its own, so that an HTML5 tree builder copies all of them
// into every later paragraph.
QByteArray nestedFormattingPage();

// Four mails: the page above as an HTML-only mail, a mail with 3,000
// attachments all named "photo.jpg", and two plain letters. Subjects are
// "page", "attachments", "letter 1" and "letter 2".
QList<QByteArray> hostileMails();

} // namespace testsupport
