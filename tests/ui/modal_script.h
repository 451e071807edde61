// Answers the modal windows that the code under test opens, in order: each step waits until the
// active modal widget has the step's object name, then acts on it. A step that never comes is
// reported when the script is checked.
#pragma once

#include <QTimer>
#include <QWidget>
#include <deque>
#include <functional>
#include <string>

namespace tessaly::ui::testing {

class ModalScript {
  public:
    using Action = std::function<void(QWidget*)>;

    ModalScript();
    ~ModalScript();
    ModalScript(const ModalScript&) = delete;
    ModalScript& operator=(const ModalScript&) = delete;

    ModalScript& then(std::string objectName, Action action);
    bool finished() const { return steps_.empty(); }
    // The object names of the steps still waiting.
    std::string pending() const;

  private:
    struct Step {
        std::string objectName;
        Action action;
    };
    void poll();

    std::deque<Step> steps_;
    QTimer timer_;
};

// Writes a picture of `widget` to the build folder's screenshots, as `name`.png.
void saveScreenshot(QWidget* widget, const QString& name);

// Presses the button with `role` (or the standard button) of a message box.
void pressButton(QWidget* box, int standardButton);

}  // namespace tessaly::ui::testing
