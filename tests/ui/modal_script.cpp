#include "modal_script.h"

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QMessageBox>

namespace tessaly::ui::testing {

ModalScript::ModalScript() {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
    timer_.start();
}

ModalScript::~ModalScript() {
    timer_.stop();
}

ModalScript& ModalScript::then(std::string objectName, Action action) {
    steps_.push_back({std::move(objectName), std::move(action)});
    return *this;
}

std::string ModalScript::pending() const {
    std::string names;
    for (const auto& step : steps_) {
        names += step.objectName + " ";
    }
    return names;
}

void ModalScript::poll() {
    if (steps_.empty()) {
        return;
    }
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible() ||
        modal->objectName().toStdString() != steps_.front().objectName) {
        return;
    }
    Step step = std::move(steps_.front());
    steps_.pop_front();
    // Queued, so that an action that opens a nested loop (a click that runs a modal dialog)
    // does not hold up the next steps.
    QTimer::singleShot(0, modal, [action = std::move(step.action), modal] { action(modal); });
}

void saveScreenshot(QWidget* widget, const QString& name) {
    QDir().mkpath(QStringLiteral(TESSALY_SCREENSHOT_DIR));
    widget->grab().save(QStringLiteral(TESSALY_SCREENSHOT_DIR "/") + name + ".png");
}

void pressButton(QWidget* box, int standardButton) {
    auto* messageBox = qobject_cast<QMessageBox*>(box);
    ASSERT_NE(messageBox, nullptr);
    QAbstractButton* button =
        messageBox->button(static_cast<QMessageBox::StandardButton>(standardButton));
    ASSERT_NE(button, nullptr);
    button->click();
}

}  // namespace tessaly::ui::testing
