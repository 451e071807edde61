#include "desktop_flow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QInputDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include "ui/message_box.h"

namespace tessaly::desktop_flow {

namespace {

std::string utf8(const QString& text) {
    return text.toStdString();
}

// The first line of a text, for reports that stay one line each.
QString firstLine(const QString& text) {
    return text.section(QLatin1Char('\n'), 0, 0);
}

void press(QWidget* box, QMessageBox::StandardButton which) {
    if (auto* messageBox = qobject_cast<QMessageBox*>(box)) {
        if (QAbstractButton* button = messageBox->button(which)) {
            button->click();
        }
    }
}

}  // namespace

DesktopFlow::DesktopFlow(FlowAnswers answers) : answers_(std::move(answers)) {
    timer_.setInterval(20);
    QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
    timer_.start();
}

DesktopFlow::~DesktopFlow() {
    timer_.stop();
}

void DesktopFlow::step(const std::string& text) {
    steps_.push_back(text);
    if (answers_.report) {
        answers_.report(text);
    }
}

void DesktopFlow::poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (!started_) {
        startOnMainDialog();
        return;
    }
    if (modal == nullptr || !modal->isVisible() || modal == lastAnswered_) {
        return;
    }
    lastAnswered_ = modal;
    // Queued: an answer may open a nested loop, which must not hold up this timer.
    QTimer::singleShot(0, modal, [this, modal] { answer(modal); });
}

void DesktopFlow::startOnMainDialog() {
    QWidget* main = nullptr;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->objectName() == QLatin1String("mainDialog") && window->isVisible()) {
            main = window;
        }
    }
    if (main == nullptr) {
        return;
    }
    auto* edit = main->findChild<QLineEdit*>("passwordEdit");
    auto* update = main->findChild<QPushButton*>("updateButton");
    if (edit == nullptr || update == nullptr) {
        return;
    }
    started_ = true;
    lastAnswered_ = main;
    step("main dialog shown: " + utf8(main->windowTitle()));
    edit->setText(answers_.password);
    step("password typed (" + std::to_string(answers_.password.size()) + " characters)");
    QTimer::singleShot(0, update, [this, update] {
        step("更新 pressed");
        update->click();
    });
}

void DesktopFlow::answer(QWidget* modal) {
    const QString name = modal->objectName();
    if (name == QLatin1String("mainDialog")) {
        return;  // active again between the dialogs it opens; the user waits
    }
    if (name == QLatin1String("certificateSelection")) {
        auto* list = modal->findChild<QTreeWidget*>("certificateList");
        auto* buttons = modal->findChild<QDialogButtonBox*>("selectionButtons");
        const int count = list != nullptr ? list->topLevelItemCount() : 0;
        step("picker \"" + utf8(modal->windowTitle()) + "\" lists " + std::to_string(count) +
             " certificate(s)");
        if (count == 0 || buttons == nullptr) {
            qobject_cast<QDialog*>(modal)->reject();
            step("picker closed: nothing to choose");
            return;
        }
        QTreeWidgetItem* first = list->topLevelItem(0);
        list->setCurrentItem(first);
        step("chosen: " + utf8(first->text(0)) + " / " + utf8(first->text(1)) + " / expires " +
             utf8(first->text(2)));
        buttons->button(QDialogButtonBox::Ok)->click();
    } else if (name == QLatin1String("waitDialog")) {
        // It closes by itself; it becomes the active window again after each question over it.
        if (modal != waitDialog_) {
            waitDialog_ = modal;
            ++waitDialogs_;
            step("wait dialog shown");
        }
    } else if (name == QLatin1String("rootConfirmation")) {
        ++rootQuestions_;
        const QString text = qobject_cast<QMessageBox*>(modal)->text();
        step("root certificate question: " + utf8(text.section(QLatin1Char('\n'), 2, 2)));
        press(modal, answers_.trustRoot ? QMessageBox::Yes : QMessageBox::No);
        step(answers_.trustRoot ? "answered はい" : "answered いいえ");
    } else if (name == QLatin1String("databasePassword")) {
        step("database password asked: refused");
        qobject_cast<QDialog*>(modal)->reject();
    } else if (name == QLatin1String(ui::kQuestionBoxName)) {
        step("question: " + utf8(qobject_cast<QMessageBox*>(modal)->text()) + " → いいえ");
        press(modal, QMessageBox::No);
    } else if (name == QLatin1String(ui::kMessageBoxName)) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        final_ = FinalMessage{box->text(), box->windowTitle(), box->icon()};
        step("final message: " + utf8(firstLine(box->text())));
        press(modal, QMessageBox::Ok);
    } else {
        step("unexpected window \"" + utf8(name) + "\": closed");
        modal->close();
    }
}

}  // namespace tessaly::desktop_flow
