#include "ui/wait_dialog.h"

#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>

#include "ui/dialog_units.h"
#include "ui/qt_text.h"
#include "ui/supervision.h"
#include "ui/texts.h"

namespace tessaly::ui {

CAA_WaitDialogBox::CAA_WaitDialogBox(std::shared_ptr<const RenewalWork> worker, QWidget* owner,
                                     std::chrono::milliseconds tick,
                                     std::chrono::milliseconds linger)
    : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint), m_hWorkerThread(std::move(worker)) {
    setObjectName("waitDialog");
    setWindowTitle(QString());
    setFont(dialogFont(QStringLiteral("MS Shell Dlg"), 8));
    const DialogUnits units = DialogUnits::of(font());
    setFixedSize(units.size(186, 90));

    text_ = new QLabel(toQString(kWaitText), this);
    text_->setObjectName("waitText");
    text_->setTextFormat(Qt::PlainText);
    text_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    text_->setGeometry(units.rect(36, 20, 108, 18));
    growToFitWrappedText(text_, units.y(49));  // down to the progress bar at most

    progress_ = new QProgressBar(this);
    progress_->setObjectName("waitProgress");
    progress_->setGeometry(units.rect(24, 49, 131, 14));
    progress_->setRange(0, 100);
    progress_->setTextVisible(false);

    tick_.setInterval(tick);
    connect(&tick_, &QTimer::timeout, this, &CAA_WaitDialogBox::onTimer);
    linger_.setSingleShot(true);
    linger_.setInterval(linger);
    connect(&linger_, &QTimer::timeout, this, [this] { done(QDialog::Accepted); });
}

int CAA_WaitDialogBox::exec() {
    progress_->setValue(0);
    tick_.start();
    const int result = QDialog::exec();
    tick_.stop();
    linger_.stop();
    return result;
}

void CAA_WaitDialogBox::reject() {}

void CAA_WaitDialogBox::keyPressEvent(QKeyEvent* event) {
    if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
            done(QDialog::Accepted);  // the OK command
            return;
        }
    }
    QDialog::keyPressEvent(event);
}

void CAA_WaitDialogBox::onTimer() {
    // One step; past the end the bar starts again from the beginning.
    const int next = progress_->value() + 1;
    progress_->setValue(next > progress_->maximum() ? progress_->minimum() : next);
    if (!m_hWorkerThread || !m_hWorkerThread->ended()) {
        return;
    }
    // The worker has ended: the full bar stays a moment (the event loop keeps running), then OK.
    tick_.stop();
    progress_->setValue(progress_->maximum());
    linger_.start();
}

}  // namespace tessaly::ui
