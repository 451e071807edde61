// Start-up benchmarks: the moment a dialog is first drawn. Call watchForShown() before the
// QApplication is made; when the top-level widget named `objectName` gets its first paint
// event, "shown <CLOCK_MONOTONIC ms>" goes to standard output and the widget is closed, so the
// program then ends the way it ends when the user closes it.
#pragma once

namespace tessaly::bench {

void watchForShown(const char* objectName);

// Installs the watch on the application; Qt calls it as the QApplication is made.
void installShownProbe();

}  // namespace tessaly::bench
