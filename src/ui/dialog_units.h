// Dialog units to pixels, the way dialog templates are laid out: the font's average character
// width (over "A".."Z" and "a".."z") is 4 horizontal units, its height 8 vertical units.
#pragma once

#include <QFont>
#include <QLabel>
#include <QRect>
#include <QSize>
#include <QStringList>

namespace tessaly::ui {

struct DialogUnits {
    int baseX = 0;  // pixels per 4 horizontal units
    int baseY = 0;  // pixels per 8 vertical units

    static DialogUnits of(const QFont& font);

    int x(int units) const { return (units * baseX + 2) / 4; }
    int y(int units) const { return (units * baseY + 4) / 8; }
    QRect rect(int left, int top, int width, int height) const {
        return {x(left), y(top), x(width), y(height)};
    }
    QSize size(int width, int height) const { return {x(width), y(height)}; }
};

// Lets a word-wrapped label grow downwards, no further than `bottomLimit` (exclusive), until its
// whole text shows: the template sizes were made for narrower faces than the ones installed
// here, and some texts wrap onto one line more than the template leaves room for.
void growToFitWrappedText(QLabel* label, int bottomLimit);

// The dialogs' fonts: the named face first, then the CJK faces the install script provides.
QFont dialogFont(const QString& family, int pointSize);

}  // namespace tessaly::ui
