// Lets another thread have a task run on the UI thread and wait for it, while the UI thread
// keeps its event loop: the task is queued under our own lock, an eventfd wakes the UI
// thread's loop (whichever loop runs: a modal dialog's, a message box's, a plain wait), and
// the caller sleeps until the task has run. The hand-off never goes through Qt's own
// cross-thread machinery, so every access to shared state is ordered by our mutex.
//
// Closing (UI thread) refuses every later request and every queued one at once, so a thread
// that is still running when the UI goes away, or whose work was abandoned, never waits on it.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <QPointer>
#include <QSocketNotifier>

namespace tessaly::ui {

class UiThreadBridge {
  public:
    // Made on the UI thread, whose event loops will run the tasks.
    static std::shared_ptr<UiThreadBridge> create();
    ~UiThreadBridge();
    UiThreadBridge(const UiThreadBridge&) = delete;
    UiThreadBridge& operator=(const UiThreadBridge&) = delete;

    // Runs `task` on the UI thread; true when it ran. On the UI thread it runs at once. From
    // another thread it blocks until the UI thread has run it; false at once when the bridge is
    // closed, and false when it is closed while the task is still queued.
    bool run(const std::function<void()>& task);

    // UI thread only; idempotent. A task already running is let finish.
    void close();
    bool isClosed() const;

  private:
    struct Request {
        const std::function<void()>* task = nullptr;
        bool done = false;
        bool ran = false;
    };

    UiThreadBridge();
    void drain();  // UI thread: runs every queued task

    mutable std::mutex mutex_;
    std::condition_variable answered_;
    std::deque<Request*> queue_;
    bool closed_ = false;
    int eventFd_ = -1;
    std::thread::id uiThread_;
    QPointer<QSocketNotifier> notifier_;  // a child of the application; UI thread only
};

}  // namespace tessaly::ui
