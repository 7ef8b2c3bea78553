// Load-on-first-touch windows.
//
// Every window exists at most once. Touching a window that is not loaded
// creates it hidden and runs its Form_Load; `unload` destroys it and the next
// touch loads it anew. Closing a window with its close box unloads it too.
#pragma once

#include "platform/placement.h"

#include <QPointer>
#include <QWidget>

namespace platform {

template <class Form> class FormSlot {
public:
  // The window, created hidden (and its Form_Load run) on first use.
  Form *get() {
    dropClosed();
    if (!form_) {
      form_ = new Form();
      form_->setAttribute(Qt::WA_DeleteOnClose);
      form_->Form_Load();
    }
    return form_.data();
  }
  bool loaded() const { return form_ && !closed(form_.data()); }
  // Shows the window modeless and brings it forward; a window with no
  // position of its own opens over the main window.
  Form *show() {
    Form *f = get();
    platform::placeUnplacedWindow(f);
    f->show();
    f->raise();
    f->activateWindow();
    return f;
  }
  void unload() {
    if (form_) {
      Form *f = form_.data();
      form_.clear();
      f->hide();
      f->deleteLater();
    }
  }

private:
  // A window closed with its close box lives on until its deletion comes
  // round (Qt clears WA_DeleteOnClose as it schedules it). It counts as
  // unloaded already: whatever touches it next gets a fresh window, not one
  // about to vanish with what was written into it.
  static bool closed(const Form *f) { return !f->testAttribute(Qt::WA_DeleteOnClose); }
  void dropClosed() {
    if (form_ && closed(form_.data()))
      form_.clear();
  }

  QPointer<Form> form_;
};

} // namespace platform
