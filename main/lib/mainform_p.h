// Texts and helpers shared by the two halves of the main window's code.
#pragma once

#include <QColor>
#include <QPalette>
#include <QPushButton>
#include <QString>

namespace mainform_detail {

inline QString caption() { return QStringLiteral("Korvex　Ver 2.15"); }
inline QString minimizedCaption() { return QStringLiteral("メールチェック中・・・"); }
inline QString startCaption() { return QStringLiteral("チェック開始"); }
inline QString stopCaption() { return QStringLiteral("チェック停止"); }

inline void setButtonColour(QPushButton *button, const QColor &colour) {
  QPalette p = button->palette();
  p.setColor(QPalette::Button, colour);
  button->setPalette(p);
  button->setAutoFillBackground(true);
}

} // namespace mainform_detail
