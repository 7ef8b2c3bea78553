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

// "<!-->" and then `divs` "<div>" never closed, then "end of page": an HTML5
// reader takes "<!-->" for a whole empty comment, so the divs nest.
QByteArray commentThenDivsPage(int divs);
// "<div></q>" `times` times, then "end of page": the tree builder ignores
// the stray end tags, so the divs nest.
QByteArray strayEndTagsPage(int times);
// An HTML-only mail of `page`.
QByteArray htmlMail(const QByteArray &subject, const QByteArray &page);
// multipart/alternative: the plain text "shown text", and an HTML branch
// (multipart/mixed) holding `files` attachments all named "photo.jpg", all
// of one size, each with a content of its own, followed by `copies` more
// that repeat the first one's content.
QByteArray hiddenFilesMail(int files, int copies = 0);
// A mail with the attachment "parts.bin" (`bytes` of it) sent split into
// `parts` message/partial mails of one id; subjects "split 1" … .
QList<QByteArray> splitMail(int parts, int bytes);
// A plain-text letter of about `bytes` (ASCII lines "line <n> …").
QByteArray longLetter(qsizetype bytes);

// The sixteen mails of a receive built to stall a mail reader: the two
// pages above (100,000 divs; 40,000 stray end tags), the alternative with
// 3,000 hidden files, a mail split into 10 parts, a letter of 54 MB and two
// plain letters.
QList<QByteArray> budgetMails();

} // namespace testsupport
