// The real main window in a program folder of the test's own, with the
// message boxes, the clock and the dial-up line as test doubles; what the
// tests of the window and of its check share, and the clean-up after them,
// so that one test's window, forms and server settings never reach the next.
#pragma once

#include "main/lib/mainform.h"
#include "tests/support/fakes.h"
#include "tests/support/messageboxdouble.h"
#include "tests/support/programfolder.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <memory>

// A short plain mail from Taro to alice, "Subject: <subject> <n>", dated
// Monday 7 December 2026 at 9:05 in Japan.
QByteArray numberedMail(const QByteArray &subject, int n);

class MainWindowTest : public ::testing::Test {
protected:
  void TearDown() override { closeWindow(); }

  // The check time 9:05 on file, and the clock at 9:05:10 in Japan; false
  // when the check time could not be written.
  [[nodiscard]] bool checkAtNineOhFive();
  // The program starting: the main window loaded, its timers stopped and
  // left to the test.
  void loadForm();
  // As loadForm, with the check on ("チェック開始" clicked).
  void loadFormChecking();
  // One pass of the check: the receive, then its 4-second wait, ended by the
  // clock's millisecond counter running fast.
  void runPass();
  // The window closed, every form unloaded, the server settings cleared.
  void closeWindow();

  TempProgramFolder folder;
  MessageBoxDouble boxes;
  FakeClock clock;
  FakeDialUpBackend dialUp;
  std::unique_ptr<MainForm> form;
};
