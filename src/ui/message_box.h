// The program's own message boxes: caption "Tessaly", an OK button, the error icon or none.
#pragma once

#include <QMessageBox>
#include <QString>

namespace tessaly::ui {

// Object names, so that tests and tools can find the boxes.
inline constexpr char kMessageBoxName[] = "tessalyMessage";
inline constexpr char kQuestionBoxName[] = "tessalyQuestion";

// Shows `text` modally over `owner` and returns when it is closed.
void showMessage(QWidget* owner, const QString& text, QMessageBox::Icon icon);

// Asks a yes/no question with the error icon and No as the default. True for Yes.
bool askYesNo(QWidget* owner, const QString& text);

}  // namespace tessaly::ui
