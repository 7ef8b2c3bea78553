#include "tests/support/messageboxdouble.h"

#include <gtest/gtest.h>

MessageBoxDouble::MessageBoxDouble() { platform::setMessageBoxBackend(this); }

MessageBoxDouble::~MessageBoxDouble() { platform::setMessageBoxBackend(nullptr); }

platform::MsgAnswer MessageBoxDouble::show(QWidget *, const platform::MessageBoxRequest &request) {
  boxes_.append(request);
  if (!answers_.isEmpty())
    return answers_.dequeue();
  ADD_FAILURE() << "unexpected message box: \"" << request.text.toStdString() << "\" titled \""
                << request.title.toStdString() << "\"";
  // The answer that commits to nothing.
  switch (request.buttons) {
  case platform::MsgButtons::YesNo:
  case platform::MsgButtons::YesNoCancel: return platform::MsgAnswer::No;
  default: return platform::MsgAnswer::Ok;
  }
}
