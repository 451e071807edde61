// The wait dialog: no title bar, the two-line text, a progress bar stepping on every tick.
// It polls the worker on each tick; once the worker has ended it fills the bar and ends with
// Accepted a moment later. Escape and close requests do nothing; Enter ends it with Accepted.
#pragma once

#include <QDialog>
#include <QTimer>
#include <chrono>
#include <memory>

class QLabel;
class QProgressBar;

namespace tessaly::ui {

struct RenewalWork;

class CAA_WaitDialogBox : public QDialog {
    Q_OBJECT

  public:
    // `worker` may be null: the dialog then steps its bar and never ends by itself.
    CAA_WaitDialogBox(std::shared_ptr<const RenewalWork> worker, QWidget* owner,
                      std::chrono::milliseconds tick = std::chrono::milliseconds(500),
                      std::chrono::milliseconds linger = std::chrono::milliseconds(1000));

    // Each run starts with an empty bar and its own tick.
    int exec() override;
    void reject() override;  // the Cancel command does nothing

    QProgressBar* progressBar() const { return progress_; }

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void onTimer();

    std::shared_ptr<const RenewalWork> m_hWorkerThread;
    QLabel* text_;
    QProgressBar* progress_;
    QTimer tick_;
    QTimer linger_;
};

}  // namespace tessaly::ui
