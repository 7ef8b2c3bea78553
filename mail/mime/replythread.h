// The thread a reply joins: the In-Reply-To and References lines that let
// the recipient's program put the answer under the mail it answers.
#pragma once

#include <QByteArray>

namespace nmail {

// The two header lines (each ended by CR LF) of a reply to the mail whose
// header block is `answeredHeader`: In-Reply-To names its Message-ID,
// References its References (or its one In-Reply-To) followed by that
// Message-ID. Empty when the answered mail has no usable Message-ID.
QByteArray replyThreadHeaders(const QByteArray &answeredHeader);

// While one lives, the mails NMailSmtpSendMail builds on this thread answer
// the mail with `answeredHeader` and carry its thread lines.
class AnsweringMail {
public:
  explicit AnsweringMail(const QByteArray &answeredHeader);
  ~AnsweringMail();
  AnsweringMail(const AnsweringMail &) = delete;
  AnsweringMail &operator=(const AnsweringMail &) = delete;

private:
  QByteArray previous_;
};

namespace detail {
// The thread lines of the mail being built now, empty when it answers none.
QByteArray currentReplyThreadHeaders();
} // namespace detail

} // namespace nmail
