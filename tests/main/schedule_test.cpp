// The Japan-time text of the schedule and the connection-mode value.
#include "main/lib/helptexts.h"
#include "main/lib/schedule.h"

#include <QTimeZone>

#include <gtest/gtest.h>

using namespace korvex;

namespace {
QDateTime utc(int h, int m, int s = 0) { return QDateTime(QDate(2024, 5, 1), QTime(h, m, s), Qt::UTC); }
} // namespace

TEST(JapanTime, HourRunsFromOneToTwentyFourWithoutLeadingZero) {
  EXPECT_EQ(japanTimeText(utc(15, 0)), QStringLiteral("24:00"));
  EXPECT_EQ(japanTimeText(utc(15, 5)), QStringLiteral("24:05"));
  EXPECT_EQ(japanTimeText(utc(0, 0)), QStringLiteral("9:00"));
  EXPECT_EQ(japanTimeText(utc(14, 59, 59)), QStringLiteral("23:59"));
  EXPECT_EQ(japanTimeText(utc(16, 0)), QStringLiteral("1:00"));
  EXPECT_EQ(japanTimeText(utc(23, 59)), QStringLiteral("8:59"));
  EXPECT_EQ(japanTimeText(utc(0, 5)), QStringLiteral("9:05"));
}

TEST(JapanTime, IgnoresTheTimeZoneOfTheGivenTime) {
  // 09:30 in UTC+2 is 07:30 UTC, 16:30 in Japan.
  const QDateTime local(QDate(2024, 5, 1), QTime(9, 30), QTimeZone(2 * 3600));
  EXPECT_EQ(japanTimeText(local), QStringLiteral("16:30"));
}

TEST(ConnectionMode, AnyNumberOtherThanZeroMeansHangUp) {
  for (const char *v : {"1", "-1", "2", "  3", "1.5", "7abc", "+4"})
    EXPECT_TRUE(connectionValueSelectsHangUp(QString::fromLatin1(v))) << v;
  for (const char *v : {"0", "", "abc", "-0", "0.0", " ", "x1", "."})
    EXPECT_FALSE(connectionValueSelectsHangUp(QString::fromLatin1(v))) << v;
}

TEST(HelpTexts, ControlsPanelsAndTheRest) {
  EXPECT_EQ(mainHelpText(QStringLiteral("Command4")), QStringLiteral("新着メールの受信を行います。"));
  EXPECT_EQ(mainHelpText(QStringLiteral("Text3")), QStringLiteral("新着メールの有無が表示されます。"));
  for (const char *panel : {"MainForm", "Frame1", "Frame2", "Picture1"}) {
    const auto text = mainHelpText(QString::fromLatin1(panel));
    ASSERT_TRUE(text.has_value()) << panel;
    EXPECT_TRUE(text->isEmpty()) << panel;
  }
  for (const char *other : {"Text2", "Text6", "Option1", "Command13", "Label9"})
    EXPECT_FALSE(mainHelpText(QString::fromLatin1(other)).has_value()) << other;
}
