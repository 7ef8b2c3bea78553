#pragma once

class QWidget;

namespace platform {

// Window and control geometry is given in twips (1440 twips = 1 inch), as
// the Windows program gives it;
// converted with the screen's logical DPI.
int twipsToPixelsX(double twips);
int twipsToPixelsY(double twips);
double pixelsToTwipsX(int pixels);
double pixelsToTwipsY(int pixels);

// Sets a widget's geometry from a rectangle in twips.
void setTwipsGeometry(QWidget *widget, double left, double top, double width, double height);

} // namespace platform
