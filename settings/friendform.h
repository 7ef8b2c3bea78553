// The address book window.
#pragma once

#include "platform/forms.h"

#include <QWidget>

class FriendForm : public QWidget {
  Q_OBJECT
public:
  explicit FriendForm(QWidget *parent = nullptr);

  void Form_Load();
};

namespace forms {
platform::FormSlot<FriendForm> &friendForm();
}
