#include "tests/support/messageboxdouble.h"

#include <gtest/gtest.h>

MessageBoxDouble::MessageBoxDouble() { platform::setMessageBoxBackend(this); }

MessageBoxDouble::~MessageBoxDouble() { platform::setMessageBoxBackend(nullptr); }

platform::MsgAnswer MessageBoxDouble::show(QWidget *, const platform::MessageBoxRequest &request) {
  boxes_.append(request);
  if (!request.blocking)
    return platform::MsgAnswer::Ok; // nobody answers a box that does not wait
  if (!answers_.isEmpty()) {
    if (const auto answer = answers_.dequeue())
      return *answer;
    // Enter presses the default button, as the production box sets it.
    switch (request.buttons) {
    case platform::MsgButtons::YesNo:
    case platform::MsgButtons::YesNoCancel:
      return request.defaultNo ? platform::MsgAnswer::No : platform::MsgAnswer::Yes;
    default: return platform::MsgAnswer::Ok;
    }
  }
  ADD_FAILURE() << "unexpected message box: \"" << request.text.toStdString() << "\" titled \""
                << request.title.toStdString() << "\"";
  // The answer that commits to nothing.
  switch (request.buttons) {
  case platform::MsgButtons::YesNo:
  case platform::MsgButtons::YesNoCancel: return platform::MsgAnswer::No;
  default: return platform::MsgAnswer::Ok;
  }
}
