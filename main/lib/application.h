#pragma once

namespace korvex {

// The whole program: one main window on a QApplication, until it closes.
int runApplication(int argc, char **argv);

} // namespace korvex
