// The thread lines of a reply are made from the answered mail's header,
// which came from anybody: only message identifiers cross into ours.
#include "mail/mime/replythread.h"

#include <gtest/gtest.h>

using nmail::replyThreadHeaders;

TEST(ReplyThread, ChainsTheAnsweredMailsReferencesAndKeepsEverythingElseOut) {
  // Folded References, then the mail's own id last.
  EXPECT_EQ(replyThreadHeaders("Subject: x\r\nReferences: <a@x.jp>\r\n\t<b@x.jp>\r\n"
                               "Message-ID: <c@x.jp>\r\n\r\nbody <d@x.jp>\r\n"),
            "In-Reply-To: <c@x.jp>\r\nReferences: <a@x.jp>\r\n <b@x.jp>\r\n <c@x.jp>\r\n");
  // Without References, a single In-Reply-To is the thread so far.
  EXPECT_EQ(replyThreadHeaders("In-Reply-To: <a@x.jp>\nMessage-Id: <c@x.jp>\n"),
            "In-Reply-To: <c@x.jp>\r\nReferences: <a@x.jp>\r\n <c@x.jp>\r\n");
  // No Message-ID, or one that is not an identifier: nothing to thread on.
  EXPECT_TRUE(replyThreadHeaders("Subject: x\r\n\r\n").isEmpty());
  EXPECT_TRUE(replyThreadHeaders("Message-ID: no id here\r\n").isEmpty());
  // A header folded to smuggle a line of its own, or text around the ids,
  // gives ids only.
  const QByteArray hostile = replyThreadHeaders(
      "Message-ID: <c@x.jp>\r\nReferences: (comment) <a@x.jp>\r\n Bcc: <evil@x.jp\r\n"
      " <sp ace@x.jp> <b@x.jp>\r\n");
  EXPECT_EQ(hostile, "In-Reply-To: <c@x.jp>\r\nReferences: <a@x.jp>\r\n <b@x.jp>\r\n <c@x.jp>\r\n");
}

TEST(ReplyThread, ALongThreadKeepsItsStartAndItsLatestMails) {
  QByteArray refs;
  for (int i = 1; i <= 30; ++i)
    refs += " <m" + QByteArray::number(i) + "@x.jp>";
  const QByteArray lines = replyThreadHeaders("References:" + refs + "\r\nMessage-ID: <me@x.jp>\r\n");
  EXPECT_EQ(lines.count('<'), 21); // In-Reply-To and 20 references
  EXPECT_TRUE(lines.contains("References: <m1@x.jp>\r\n <m13@x.jp>\r\n"));
  EXPECT_TRUE(lines.endsWith(" <m30@x.jp>\r\n <me@x.jp>\r\n"));
}
