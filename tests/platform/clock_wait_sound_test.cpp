#include "platform/core/clock.h"
#include "platform/core/sound.h"
#include "platform/core/wait.h"

#include "tests/support/fakes.h"
#include "tests/support/programfolder.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QThread>
#include <QTimer>

#include <atomic>

#include <gtest/gtest.h>

using namespace platform;

TEST(Clock, ElapsedTimeIsRightAcrossTheWrap) {
  EXPECT_EQ(elapsedSince(100, 4100), 4000u);
  EXPECT_EQ(elapsedSince(0xFFFFF000u, 0x00000FA0u), 0x1000u + 0xFA0u);
  EXPECT_EQ(elapsedSince(0xFFFFFFFFu, 0u), 1u);
}

TEST(Clock, InstalledSourceAndSystemClock) {
  {
    FakeClock clock;
    clock.setUtc(QDateTime(QDate(2024, 3, 1), QTime(0, 5), Qt::UTC));
    clock.setMilliseconds(42);
    EXPECT_EQ(utcNow(), QDateTime(QDate(2024, 3, 1), QTime(0, 5), Qt::UTC));
    EXPECT_EQ(millisecondCounter(), 42u);
    clock.advance(1000);
    EXPECT_EQ(millisecondCounter(), 1042u);
    EXPECT_EQ(utcNow().time(), QTime(0, 5, 1));
  }
  // Back on the system clock.
  EXPECT_LE(qAbs(utcNow().secsTo(QDateTime::currentDateTimeUtc())), 2);
  EXPECT_EQ(utcNow().timeSpec(), Qt::UTC);
  const std::uint32_t a = millisecondCounter();
  QThread::msleep(20);
  EXPECT_GE(elapsedSince(a, millisecondCounter()), 15u);
}

TEST(Wait, LetsTimersFireAndEndsAfterTheTime) {
  bool fired = false;
  QTimer::singleShot(10, [&] { fired = true; });
  const std::uint32_t start = millisecondCounter();
  waitMilliseconds(120);
  EXPECT_TRUE(fired);
  EXPECT_GT(elapsedSince(start, millisecondCounter()), 120u);
}

TEST(Wait, WorksAcrossACounterWrap) {
  FakeClock clock;
  clock.setMilliseconds(0xFFFFFFFFu - 30);
  clock.setRunning(true);
  bool fired = false;
  QTimer::singleShot(5, [&] { fired = true; });
  const std::uint32_t start = millisecondCounter();
  waitMilliseconds(80);
  const std::uint32_t end = millisecondCounter();
  EXPECT_LT(end, start); // the counter did wrap
  EXPECT_GT(elapsedSince(start, end), 80u);
  EXPECT_TRUE(fired);
}

// A stopped test clock holds the wait until the test moves it on, so a test
// can end a long wait at once.
TEST(Wait, FollowsTheInstalledCounter) {
  FakeClock clock;
  clock.setMilliseconds(1000);
  int ticks = 0;
  QTimer mover;
  QObject::connect(&mover, &QTimer::timeout, [&] {
    ++ticks;
    clock.advance(ticks < 3 ? 1000 : 2001); // 1000, 1000, then past 4000
    if (ticks == 3)
      mover.stop();
  });
  mover.start(5);
  waitMilliseconds(4000);
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(millisecondCounter(), 5001u);
}

TEST(Wait, ZeroAndNegativeReturnSoon) {
  const std::uint32_t start = millisecondCounter();
  waitMilliseconds(0);
  waitMilliseconds(-5);
  EXPECT_LT(elapsedSince(start, millisecondCounter()), 1000u);
}

// Closing the main window asks the application to end while handlers still
// run; a job awaited then must still let the window's events run (a new
// event loop returns at once after a quit, which left the wait spinning a
// core, blind to them, and a job needing one of them never ended).
TEST(Wait, AJobAwaitedAfterTheProgramWasAskedToEndStillLetsEventsRun) {
  bool seen = false;
  QTimer::singleShot(0, [&] {
    QCoreApplication::exit(0);
    std::atomic<bool> answered{false};
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&] { answered = true; }, Qt::QueuedConnection);
    runAndWait([&] {
      // A bound, so that a wait that runs no events fails the test instead of hanging it.
      const QDeadlineTimer bound(10000);
      while (!answered && !bound.hasExpired())
        QThread::msleep(5);
    });
    seen = answered;
  });
  QCoreApplication::exec();
  EXPECT_TRUE(seen);
}

TEST(Sound, ResultCodesAndFlagWords) {
  TempProgramFolder folder;
  const QString small = folder.file(QStringLiteral("chime.wav"));
  const QString large = folder.file(QStringLiteral("big.wav"));
  ASSERT_TRUE(folder.writeBytes(small, QByteArray(100, 'R')));
  ASSERT_TRUE(folder.writeBytes(large, QByteArray(2097153, 'R')));

  // The stop the program makes at exit.
  EXPECT_EQ(playSoundFile(QString(), false, false, false, true), 0);
  EXPECT_EQ(lastSoundFlags(), 0x40);

  EXPECT_EQ(playSoundFile(small, true, true, false, false), 2);

  // Nothing can be played here, and that is said, not hidden.
  EXPECT_EQ(playSoundFile(small, false, false, false, false), 4);
  EXPECT_EQ(lastSoundFlags(), 0x22013);
  EXPECT_EQ(playSoundFile(small, true, false, false, false), 4);
  EXPECT_EQ(lastSoundFlags(), 0x22012);
  EXPECT_EQ(playSoundFile(small, false, true, true, false), 4);
  EXPECT_EQ(lastSoundFlags(), 0x2016 | 1 | 8);

  EXPECT_EQ(playSoundFile(large, false, false, true, false), 1);
  ASSERT_TRUE(folder.writeBytes(large, QByteArray(2097152, 'R'))); // exactly 2 MB is allowed
  EXPECT_EQ(playSoundFile(large, true, false, true, false), 4);
  EXPECT_EQ(lastSoundFlags(), 0x2016);
  EXPECT_EQ(playSoundFile(folder.file(QStringLiteral("none.wav")), false, false, true, false), 3);
}
