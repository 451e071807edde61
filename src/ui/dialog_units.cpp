#include "ui/dialog_units.h"

#include <QFontMetrics>

#include <algorithm>

namespace tessaly::ui {

DialogUnits DialogUnits::of(const QFont& font) {
    const QFontMetrics metrics(font);
    const int alphabet = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(alphabet / 26 + 1) / 2, metrics.height()};
}

void growToFitWrappedText(QLabel* label, int bottomLimit) {
    label->setWordWrap(true);
    const int wanted = label->heightForWidth(label->width());
    const int room = bottomLimit - label->y();
    label->resize(label->width(), std::max(label->height(), std::min(wanted, room)));
}

QFont dialogFont(const QString& family, int pointSize) {
    QFont font;
    font.setFamilies({family, QStringLiteral("Noto Sans CJK JP"), QStringLiteral("Noto Sans JP"),
                      QStringLiteral("Noto Sans Mono CJK JP"), QStringLiteral("Sans Serif")});
    font.setPointSize(pointSize);
    return font;
}

}  // namespace tessaly::ui
