#pragma once

class QWidget;

namespace platform {

// Window and control geometry is designed in twips (1440 twips = 1 inch);
// converted with the screen's logical DPI.
int twipsToPixelsX(double twips);
int twipsToPixelsY(double twips);
double pixelsToTwipsX(int pixels);
double pixelsToTwipsY(int pixels);

// Sets a widget's geometry from a design rectangle in twips.
void setTwipsGeometry(QWidget *widget, double left, double top, double width, double height);

} // namespace platform
