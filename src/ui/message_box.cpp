#include "ui/message_box.h"

#include "ui/qt_text.h"
#include "ui/texts.h"

namespace tessaly::ui {

void showMessage(QWidget* owner, const QString& text, QMessageBox::Icon icon) {
    QMessageBox box(icon, toQString(kCaption), text, QMessageBox::Ok, owner);
    box.setObjectName(kMessageBoxName);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

bool askYesNo(QWidget* owner, const QString& text) {
    QMessageBox box(QMessageBox::Critical, toQString(kCaption), text,
                    QMessageBox::Yes | QMessageBox::No, owner);
    box.setObjectName(kQuestionBoxName);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

}  // namespace tessaly::ui
