// The program's icon, drawn in code so that the window, the About box and the package's icon
// files all come from the same drawing.
#pragma once

#include <QIcon>
#include <QImage>

namespace tessaly::ui {

// The icon as a square image of `size` pixels; 16 is the design size, others are scaled
// drawings of it.
QImage drawProgramIcon(int size);

// The window's icon: the 16 and the 32 pixel images.
QIcon programIcon();

}  // namespace tessaly::ui
