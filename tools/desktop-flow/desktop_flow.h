// Drives the tool's dialogs as a user would, for the end-to-end tests and the demo without a
// desktop: once the main dialog shows it types the password and presses 更新, takes the first
// certificate the picker lists, answers the root certificate question, and reads the final
// message. Every step is reported as a line of text.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tessaly::desktop_flow {

struct FinalMessage {
    QString text;
    QString caption;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

struct FlowAnswers {
    QString password;
    bool trustRoot = true;
    // Each step as it happens (also kept in DesktopFlow::steps()).
    std::function<void(const std::string&)> report;
};

class DesktopFlow {
  public:
    explicit DesktopFlow(FlowAnswers answers);
    ~DesktopFlow();
    DesktopFlow(const DesktopFlow&) = delete;
    DesktopFlow& operator=(const DesktopFlow&) = delete;

    const std::vector<std::string>& steps() const { return steps_; }
    const std::optional<FinalMessage>& finalMessage() const { return final_; }
    int rootQuestions() const { return rootQuestions_; }
    int waitDialogs() const { return waitDialogs_; }

  private:
    void poll();
    void startOnMainDialog();
    void answer(QWidget* modal);
    void step(const std::string& text);

    FlowAnswers answers_;
    QTimer timer_;
    bool started_ = false;
    QPointer<QWidget> lastAnswered_;
    QPointer<QWidget> waitDialog_;  // the one counted last
    std::vector<std::string> steps_;
    std::optional<FinalMessage> final_;
    int rootQuestions_ = 0;
    int waitDialogs_ = 0;
};

}  // namespace tessaly::desktop_flow
