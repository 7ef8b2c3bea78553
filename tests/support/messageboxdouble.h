// Answers message boxes for a test. Installed for its lifetime; each box
// takes the next queued answer. A box nobody queued an answer for fails the
// test (and is answered Ok, or No for a question) so that nothing hangs.
#pragma once

#include "platform/messagebox.h"

#include <QList>
#include <QQueue>
#include <optional>

class MessageBoxDouble final : public platform::MessageBoxBackend {
public:
  MessageBoxDouble();
  ~MessageBoxDouble() override;
  MessageBoxDouble(const MessageBoxDouble &) = delete;
  MessageBoxDouble &operator=(const MessageBoxDouble &) = delete;

  void pushAnswer(platform::MsgAnswer answer) { answers_.enqueue(answer); }
  // The next box is answered by Enter alone: its default button.
  void pushEnter() { answers_.enqueue(std::nullopt); }
  // Every box shown so far, in order; the title is as requested (empty when
  // the program's title was meant).
  const QList<platform::MessageBoxRequest> &boxes() const { return boxes_; }
  int pendingAnswers() const { return int(answers_.size()); }
  void clear() {
    boxes_.clear();
    answers_.clear();
  }

  platform::MsgAnswer show(QWidget *parent, const platform::MessageBoxRequest &request) override;

private:
  QQueue<std::optional<platform::MsgAnswer>> answers_;
  QList<platform::MessageBoxRequest> boxes_;
};
