#include "platform/twips.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <cmath>

namespace platform {
namespace {

constexpr double TwipsPerInch = 1440.0;

// The logical DPI of the primary screen; 96 when there is none (the Windows
// program's windows were laid out at 96 DPI, 15 twips to the pixel).
double dpiX() {
  const QScreen *s = QGuiApplication::primaryScreen();
  const double dpi = s ? s->logicalDotsPerInchX() : 96.0;
  return dpi > 0 ? dpi : 96.0;
}
double dpiY() {
  const QScreen *s = QGuiApplication::primaryScreen();
  const double dpi = s ? s->logicalDotsPerInchY() : 96.0;
  return dpi > 0 ? dpi : 96.0;
}

} // namespace

int twipsToPixelsX(double twips) { return int(std::lround(twips * dpiX() / TwipsPerInch)); }
int twipsToPixelsY(double twips) { return int(std::lround(twips * dpiY() / TwipsPerInch)); }
double pixelsToTwipsX(int pixels) { return pixels * TwipsPerInch / dpiX(); }
double pixelsToTwipsY(int pixels) { return pixels * TwipsPerInch / dpiY(); }

void setTwipsGeometry(QWidget *widget, double left, double top, double width, double height) {
  if (!widget)
    return;
  widget->setGeometry(twipsToPixelsX(left), twipsToPixelsY(top), twipsToPixelsX(width), twipsToPixelsY(height));
}

} // namespace platform
