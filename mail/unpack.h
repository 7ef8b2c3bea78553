// The unpack step of one received mail: the mail goes through the work file
// "0.txt" in the attachment folder to the transport's unpacker, which writes
// attachments into that folder and joins split mails once every part is in.
#pragma once

#include <QString>

class QWidget;

namespace mail {

struct UnpackInput {
  QString subject;    // cut at NUL
  QString date;       // cut at NUL
  QString from;       // cut at NUL
  QString header;     // cut at NUL
  QString bodyBuffer; // as the transport filled it, uncut
  QString body;       // cut at NUL
};

// While one lives, the work file is kept between mails and rewritten in
// place, and removed when the last one goes: creating and deleting a file
// for every mail of a long receive costs more than the rest of the step.
class UnpackRun {
public:
  UnpackRun();
  ~UnpackRun();
  UnpackRun(const UnpackRun &) = delete;
  UnpackRun &operator=(const UnpackRun &) = delete;
};

// Runs the unpack step and reports its two failure outcomes in message boxes
// over `parent`. Returns the transport's result taken as a 16-bit value.
int unpackMail(const UnpackInput &mail, QWidget *parent);

// The attachment folder as the transport is given it (with a closing
// separator) and the work file inside it.
QString attachmentFolderArgument();
QString workFilePath();

// The header line and body as the work file holds them, read back line by
// line, each line followed by CR LF.
QString messageTextOf(const QByteArray &workFileBytes);

} // namespace mail
