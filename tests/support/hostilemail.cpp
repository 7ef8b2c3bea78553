#include "tests/support/hostilemail.h"

namespace testsupport {

namespace {

QByteArray head(const QByteArray &subject) {
  return "From: Taro <taro@example.jp>\r\nTo: alice@korvex.test\r\nSubject: " + subject +
         "\r\nDate: Mon, 7 Dec 2026 09:05:00 +0900\r\nMIME-Version: 1.0\r\n";
}

} // namespace

QByteArray nestedFormattingPage() {
  QByteArray page = "<html><body>";
  static const char *const tags[] = {"b", "i", "u", "font", "em", "strong", "s", "small"};
  for (int i = 0; page.size() < 40 * 1024; ++i)
    page += QByteArray("<") + tags[i % 8] + " id=n" + QByteArray::number(i) + ">word<p>";
  return page + "</body></html>";
}

QList<QByteArray> hostileMails() {
  QList<QByteArray> mails;
  mails << head("page") + "Content-Type: text/html; charset=utf-8\r\n\r\n" +
               nestedFormattingPage() + "\r\n";

  QByteArray many = head("attachments") +
                    "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
                    "Content-Type: text/plain; charset=us-ascii\r\n\r\nphotos\r\n";
  for (int i = 1; i <= 3000; ++i)
    many += "--b\r\nContent-Type: image/jpeg\r\nContent-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename=\"photo.jpg\"\r\n\r\n" +
            ("photo " + QByteArray::number(i)).toBase64() + "\r\n";
  mails << many + "--b--\r\n";

  for (int n = 1; n <= 2; ++n)
    mails << head("letter " + QByteArray::number(n)) +
                 "Content-Type: text/plain; charset=us-ascii\r\n\r\nDear Alice,\r\nletter " +
                 QByteArray::number(n) + "\r\n";
  return mails;
}

} // namespace testsupport
