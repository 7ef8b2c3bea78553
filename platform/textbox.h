// One-line boxes that the program fills show their text from its start, as
// the Windows boxes did; Qt leaves the cursor at the end of a text set by the
// program, which scrolls a long text to its end (a date without its weekday,
// an address without the name).
#pragma once

class QWidget;

namespace platform {

// From now on, every text the program puts into the one-line box `widget`
// (or, for a window or panel, into each one-line box inside it) is shown
// from its first character. What the user types is left alone.
void showTextFromStart(QWidget *widget);

} // namespace platform
