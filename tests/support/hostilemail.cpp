#include "tests/support/hostilemail.h"

#include <algorithm>

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

QByteArray commentThenDivsPage(int divs) {
  QByteArray page = "<html><body><!-->";
  page.reserve(page.size() + divs * 5 + 32);
  for (int i = 0; i < divs; ++i)
    page += "<div>";
  return page + "end of page</body></html>";
}

QByteArray strayEndTagsPage(int times) {
  QByteArray page = "<html><body>";
  page.reserve(page.size() + times * 9 + 32);
  for (int i = 0; i < times; ++i)
    page += "<div></q>";
  return page + "end of page</body></html>";
}

QByteArray htmlMail(const QByteArray &subject, const QByteArray &page) {
  return head(subject) + "Content-Type: text/html; charset=utf-8\r\n\r\n" + page + "\r\n";
}

QByteArray hiddenFilesMail(int files, int copies) {
  QByteArray m = head("alternative") +
                 "Content-Type: multipart/alternative; boundary=\"alt\"\r\n\r\n--alt\r\n"
                 "Content-Type: text/plain; charset=us-ascii\r\n\r\nshown text\r\n--alt\r\n"
                 "Content-Type: multipart/mixed; boundary=\"mix\"\r\n\r\n--mix\r\n"
                 "Content-Type: text/html; charset=us-ascii\r\n\r\n<p>shown text</p>\r\n";
  for (int i = 1; i <= files + copies; ++i) {
    const int n = i <= files ? i : 1;
    m += "--mix\r\nContent-Type: image/jpeg\r\nContent-Transfer-Encoding: base64\r\n"
         "Content-Disposition: attachment; filename=\"photo.jpg\"\r\n\r\n" +
         QByteArray::number(100000 + n).repeated(100).toBase64() + "\r\n";
  }
  return m + "--mix--\r\n--alt--\r\n";
}

QList<QByteArray> splitMail(int parts, int bytes) {
  QByteArray data(bytes, Qt::Uninitialized);
  for (int i = 0; i < bytes; ++i)
    data[i] = char((i * 37) ^ (i >> 8));
  QByteArray inner = head("split whole") +
                     "Content-Type: multipart/mixed; boundary=\"s\"\r\n\r\n--s\r\n"
                     "Content-Type: text/plain; charset=us-ascii\r\n\r\nthe joined text\r\n"
                     "--s\r\nContent-Type: application/octet-stream\r\n"
                     "Content-Transfer-Encoding: base64\r\n"
                     "Content-Disposition: attachment; filename=\"parts.bin\"\r\n\r\n";
  const QByteArray b64 = data.toBase64();
  for (qsizetype k = 0; k < b64.size(); k += 76)
    inner += b64.mid(k, 76) + "\r\n";
  inner += "--s--\r\n";
  // Cut at line ends, as mailers split.
  QList<QByteArray> mails;
  const qsizetype piece = inner.size() / parts + 1;
  qsizetype at = 0;
  for (int n = 1; n <= parts; ++n) {
    qsizetype end = n == parts ? inner.size() : inner.indexOf("\r\n", at + piece);
    end = end < 0 ? inner.size() : std::min(end + 2, inner.size());
    mails << head("split " + QByteArray::number(n)) +
                 "Content-Type: message/partial; id=\"split.budget@example.jp\"; number=" +
                 QByteArray::number(n) + "; total=" + QByteArray::number(parts) + "\r\n\r\n" +
                 inner.mid(at, end - at);
    at = end;
  }
  return mails;
}

QByteArray longLetter(qsizetype bytes) {
  QByteArray m = head("long letter") + "Content-Type: text/plain; charset=us-ascii\r\n\r\n";
  m.reserve(bytes + 128);
  for (int n = 1; m.size() < bytes; ++n)
    m += "line " + QByteArray::number(n) +
         " of a letter that goes on and on, as a log file sent by mail does\r\n";
  return m;
}

QList<QByteArray> budgetMails() {
  QList<QByteArray> mails;
  mails << htmlMail("comment page", commentThenDivsPage(100000));
  mails << htmlMail("stray ends", strayEndTagsPage(40000));
  mails << hiddenFilesMail(3000);
  mails << splitMail(10, 200 * 1024);
  mails << longLetter(54 * 1024 * 1024);
  for (int n = 1; n <= 2; ++n)
    mails << head("letter " + QByteArray::number(n)) +
                 "Content-Type: text/plain; charset=us-ascii\r\n\r\nDear Alice,\r\nletter " +
                 QByteArray::number(n) + "\r\n";
  return mails;
}

} // namespace testsupport
