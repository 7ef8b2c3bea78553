// Server settings as users type them: host, host:port, pop3s:// and smtps://,
// IPv6, and a pinned certificate fingerprint.
#include "mail/net/endpoint.h"

#include <gtest/gtest.h>

using namespace nmail;

namespace {

const QString Hex =
    QStringLiteral("9aeef3a6d3b05dea82ac4ccea1c3bf011fb94be0373b84d18cf536c9feb4405f");

struct Row {
  const char *text;
  Protocol protocol;
  const char *host;
  int port;
  bool tls;
};

class EndpointAccepted : public ::testing::TestWithParam<Row> {};

TEST_P(EndpointAccepted, GivesHostPortAndTls) {
  const Row r = GetParam();
  QString error;
  const auto ep = parseEndpoint(QString::fromUtf8(r.text), r.protocol, &error);
  ASSERT_TRUE(ep) << r.text << ": " << error.toStdString();
  EXPECT_EQ(ep->host, QString::fromUtf8(r.host));
  EXPECT_EQ(ep->port, r.port);
  EXPECT_EQ(ep->implicitTls, r.tls);
  EXPECT_TRUE(ep->pinnedSha256.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Forms, EndpointAccepted,
    ::testing::Values(Row{"pop.example.jp", Protocol::Pop3, "pop.example.jp", 110, false},
                      Row{"  pop.example.jp  ", Protocol::Pop3, "pop.example.jp", 110, false},
                      Row{"pop.example.jp:995", Protocol::Pop3, "pop.example.jp", 995, true},
                      Row{"pop.example.jp:1110", Protocol::Pop3, "pop.example.jp", 1110, false},
                      Row{"pop3s://pop.example.jp", Protocol::Pop3, "pop.example.jp", 995, true},
                      Row{"POP3S://pop.example.jp:2995/", Protocol::Pop3, "pop.example.jp", 2995,
                          true},
                      Row{"pop3://pop.example.jp", Protocol::Pop3, "pop.example.jp", 110, false},
                      Row{"smtp.example.jp", Protocol::Smtp, "smtp.example.jp", 25, false},
                      Row{"smtp.example.jp:587", Protocol::Smtp, "smtp.example.jp", 587, false},
                      Row{"smtp.example.jp:465", Protocol::Smtp, "smtp.example.jp", 465, true},
                      Row{"smtps://smtp.example.jp", Protocol::Smtp, "smtp.example.jp", 465, true},
                      Row{"smtp.example.jp:995", Protocol::Smtp, "smtp.example.jp", 995, false},
                      Row{"127.0.0.1:10110", Protocol::Pop3, "127.0.0.1", 10110, false},
                      Row{"[::1]:10110", Protocol::Pop3, "::1", 10110, false},
                      Row{"::1", Protocol::Pop3, "::1", 110, false},
                      Row{"メール.example.jp", Protocol::Pop3, "メール.example.jp", 110, false}));

class EndpointRefused : public ::testing::TestWithParam<std::pair<const char *, Protocol>> {};

TEST_P(EndpointRefused, ExplainsInJapanese) {
  QString error;
  EXPECT_FALSE(parseEndpoint(QString::fromUtf8(GetParam().first), GetParam().second, &error))
      << GetParam().first;
  EXPECT_TRUE(error.contains(QStringLiteral("正しくありません"))) << error.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Forms, EndpointRefused,
    ::testing::Values(
        std::pair{"", Protocol::Pop3}, std::pair{"   ", Protocol::Pop3},
        std::pair{"host:", Protocol::Pop3}, std::pair{"host:0", Protocol::Pop3},
        std::pair{"host:65536", Protocol::Pop3}, std::pair{"host:+110", Protocol::Pop3},
        std::pair{"host:11x", Protocol::Pop3}, std::pair{"smtps://host", Protocol::Pop3},
        std::pair{"imap://host", Protocol::Pop3}, std::pair{"pop3s://host", Protocol::Smtp},
        std::pair{"ho st", Protocol::Pop3}, std::pair{"host/x", Protocol::Pop3},
        std::pair{"[::1", Protocol::Pop3}, std::pair{"[::1]x", Protocol::Pop3},
        std::pair{"a:b:c", Protocol::Pop3}, std::pair{"host#sha1=abcd", Protocol::Pop3},
        std::pair{"host#sha256=abcd", Protocol::Pop3}, std::pair{"host\r\nRCPT", Protocol::Smtp}));

TEST(Endpoint, PinnedFingerprintInEveryWrittenForm) {
  const QByteArray raw = QByteArray::fromHex(Hex.toLatin1());
  QString colons;
  for (int i = 0; i < Hex.size(); i += 2)
    colons += (i ? QStringLiteral(":") : QString()) + Hex.mid(i, 2).toUpper();
  for (const QString &text : {QStringLiteral("127.0.0.1:995#sha256=") + Hex,
                              QStringLiteral("pop3s://127.0.0.1#SHA256=") + Hex.toUpper(),
                              QStringLiteral("127.0.0.1:995 #sha256=") + colons}) {
    QString error;
    const auto ep = parseEndpoint(text, Protocol::Pop3, &error);
    ASSERT_TRUE(ep) << text.toStdString() << ": " << error.toStdString();
    EXPECT_EQ(ep->pinnedSha256, raw);
    EXPECT_EQ(ep->host, QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(ep->implicitTls);
  }
}

} // namespace
