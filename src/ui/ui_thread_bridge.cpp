#include "ui/ui_thread_bridge.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdint>
#include <stdexcept>

namespace tessaly::ui {

std::shared_ptr<UiThreadBridge> UiThreadBridge::create() {
    std::shared_ptr<UiThreadBridge> bridge(new UiThreadBridge());
    // A child of the application, so that it never outlives it; it holds the bridge weakly.
    bridge->notifier_ =
        new QSocketNotifier(bridge->eventFd_, QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(bridge->notifier_, &QSocketNotifier::activated,
                     [weak = std::weak_ptr<UiThreadBridge>(bridge)] {
                         if (const auto self = weak.lock()) {
                             std::uint64_t count = 0;
                             while (read(self->eventFd_, &count, sizeof count) ==
                                    static_cast<ssize_t>(sizeof count)) {
                             }
                             self->drain();
                         }
                     });
    return bridge;
}

UiThreadBridge::UiThreadBridge() : uiThread_(std::this_thread::get_id()) {
    eventFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (eventFd_ < 0) {
        throw std::runtime_error("eventfd failed");
    }
}

UiThreadBridge::~UiThreadBridge() {
    // The notifier belongs to the UI thread; close() lets it go there. Without a close, the
    // application deletes it with its other children.
    if (std::this_thread::get_id() == uiThread_ && notifier_) {
        notifier_->setEnabled(false);
        notifier_->deleteLater();  // this may run inside the notifier's own signal
    }
    if (eventFd_ >= 0) {
        ::close(eventFd_);
    }
}

bool UiThreadBridge::run(const std::function<void()>& task) {
    if (std::this_thread::get_id() == uiThread_) {
        if (isClosed()) {
            return false;
        }
        task();
        return true;
    }
    Request request;
    request.task = &task;
    std::unique_lock lock(mutex_);
    if (closed_) {
        return false;
    }
    queue_.push_back(&request);
    const std::uint64_t one = 1;
    if (write(eventFd_, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
        queue_.pop_back();
        return false;
    }
    answered_.wait(lock, [&] { return request.done; });
    return request.ran;
}

void UiThreadBridge::drain() {
    while (true) {
        Request* request = nullptr;
        {
            const std::lock_guard lock(mutex_);
            if (queue_.empty() || closed_) {
                return;
            }
            request = queue_.front();
            queue_.pop_front();
        }
        bool ran = true;
        try {
            (*request->task)();
        } catch (...) {
            ran = false;
        }
        {
            const std::lock_guard lock(mutex_);
            request->ran = ran;
            request->done = true;
        }
        answered_.notify_all();
    }
}

void UiThreadBridge::close() {
    {
        const std::lock_guard lock(mutex_);
        closed_ = true;
        for (Request* request : queue_) {
            request->done = true;
        }
        queue_.clear();
    }
    answered_.notify_all();
    if (notifier_) {
        // close() may run inside the notifier's own signal (a task that closes the bridge).
        notifier_->setEnabled(false);
        notifier_->deleteLater();
        notifier_.clear();
    }
}

bool UiThreadBridge::isClosed() const {
    const std::lock_guard lock(mutex_);
    return closed_;
}

}  // namespace tessaly::ui
