#include "ui/supervision.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <optional>
#include <thread>

#include "transport/internet_root.h"
#include "ui/message_box.h"
#include "ui/qt_text.h"
#include "ui/texts.h"
#include "ui/wait_dialog.h"

namespace tessaly::ui {

quintptr g_watchdogTimerId = 0;

namespace {

// The armed watchdog; UI thread only.
struct Watchdog {
    QPointer<QTimer> timer;
    std::shared_ptr<platform::InternetServices> net;
};
Watchdog g_watchdog;
quintptr g_nextWatchdogId = 1;

// Worker threads that have not finished yet.
std::mutex g_workersMutex;
std::condition_variable g_workersDone;
int g_liveWorkers = 0;

bool onUiThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

// Arms the one-shot watchdog; 0 when it cannot be armed (no application event loop here).
quintptr armWatchdog(std::shared_ptr<platform::InternetServices> net,
                     std::chrono::milliseconds interval) {
    if (!onUiThread()) {
        return 0;
    }
    disarmWatchdog();  // one attempt at a time: an older watchdog must not cut a newer attempt
    auto* timer = new QTimer(QCoreApplication::instance());
    timer->setSingleShot(true);
    timer->setInterval(interval);
    QObject::connect(timer, &QTimer::timeout, [] { watchdogTimerProc(); });
    timer->start();
    g_watchdog = {timer, std::move(net)};
    g_watchdogTimerId = g_nextWatchdogId++;
    return g_watchdogTimerId;
}

std::thread startWorker(const std::shared_ptr<RenewalWork>& work) {
    {
        const std::lock_guard lock(g_workersMutex);
        ++g_liveWorkers;
    }
    try {
        return std::thread([share = work]() mutable {
            const unsigned code = renewalThreadProc(share.get());
            share->exitCode_ = code;
            share->ended_.store(true, std::memory_order_release);
            share.reset();  // the last share may be this one
            {
                const std::lock_guard lock(g_workersMutex);
                --g_liveWorkers;
            }
            g_workersDone.notify_all();
        });
    } catch (...) {
        const std::lock_guard lock(g_workersMutex);
        --g_liveWorkers;
        throw;
    }
}

// Waits for the worker while the UI thread keeps serving its event loop (the worker may still
// ask for a dialog), without taking user input meanwhile.
void waitWithEventLoop(const RenewalWork& work) {
    if (work.ended()) {
        return;
    }
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(std::chrono::milliseconds(10));
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (work.ended()) {
            loop.quit();
        }
    });
    poll.start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

// Off the UI thread there is no event loop for the watchdog: the wait itself keeps its time and
// cuts the attempt's connection when the interval has passed.
void waitWithoutEventLoop(const RenewalWork& work, platform::InternetServices& net,
                          std::chrono::milliseconds watchdog) {
    const auto deadline = std::chrono::steady_clock::now() + watchdog;
    bool cut = false;
    while (!work.ended()) {
        if (!cut && std::chrono::steady_clock::now() >= deadline) {
            closePublishedInternetHandle(net);
            cut = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

unsigned renewalThreadProc(RenewalWork* work) {
    if (work == nullptr || !work->job) {
        return 1;
    }
    RenewalJob& job = *work->job;
    job.result = _doImport(*work->certs, *work->net, job, job.url, job.password);
    return 0;
}

void watchdogTimerProc() {
    if (g_watchdogTimerId != 0 && g_watchdog.net) {
        closePublishedInternetHandle(*g_watchdog.net);
    }
    if (g_watchdogTimerId != 0) {
        disarmWatchdog();
    }
}

void disarmWatchdog() {
    if (g_watchdog.timer) {
        g_watchdog.timer->stop();
        g_watchdog.timer->deleteLater();  // this may run inside the timer's own signal
    }
    g_watchdog = {};
    g_watchdogTimerId = 0;
}

bool waitForWorkers(std::chrono::milliseconds timeout) {
    std::unique_lock lock(g_workersMutex);
    return g_workersDone.wait_for(lock, timeout, [] { return g_liveWorkers == 0; });
}

int runRenewalJob(std::shared_ptr<RenewalJob>& job, std::u16string url,
                  platform::WideString password, std::shared_ptr<ChosenCertificate> certificate,
                  const RenewalServices& services, const SupervisionOptions& options) {
    platform::WipeOnExit wipePassword(password);
    if (!job) {
        job = std::make_shared<RenewalJob>();
    }
    std::shared_ptr<RenewalWork> work;
    std::optional<std::thread> worker;
    bool abandoned = false;
    bool watched = false;
    try {
        RenewalJob& current = *job;
        current.url.assign(url.begin(), url.end());
        current.password = password;
        current.certificate = certificate ? certificate->handle() : platform::CertHandle{};
        current.result = 0;

        work = std::make_shared<RenewalWork>();
        work->job = job;
        work->certs = services.certs;
        work->net = std::make_shared<AbandonableInternet>(services.net);
        work->certificate = std::move(certificate);
        worker = startWorker(work);

        watched = armWatchdog(services.net, options.watchdog) != 0;
        if (watched) {
            CAA_WaitDialogBox dialog(work, options.owner, options.tick, options.linger);
            while (dialog.exec() != QDialog::Accepted) {
                if (!askYesNo(options.owner, toQString(kForceEndQuestion))) {
                    continue;  // No: the dialog runs again
                }
                if (!work->ended()) {
                    abandoned = true;
                }
                break;
            }
        }
    } catch (...) {
    }

    if (worker) {
        if (abandoned) {
            work->net->abandon();
            if (services.bridge) {
                services.bridge->close();
            }
            worker->detach();
            job = std::make_shared<RenewalJob>();  // the old one stays with the worker
        } else {
            if (watched) {
                waitWithEventLoop(*work);
            } else {
                waitWithoutEventLoop(*work, *services.net, options.watchdog);
            }
            worker->join();
        }
    }
    return job->result;
}

}  // namespace tessaly::ui
