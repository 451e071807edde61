// One renewal attempt on a worker thread, supervised from the UI thread: a wait dialog that
// polls the worker, a one-shot watchdog that cuts the attempt's network connection, and the
// question before a forced end.
//
// Ownership: the worker holds a share of everything it touches (the job, both services, the
// chosen certificate), so a forced end never frees anything under it. A forced end cannot kill
// a thread: it abandons the attempt (every later network call fails at once, the published
// root is closed so that a blocked call fails), refuses the worker's dialog requests, and
// leaves the thread to unwind on its own.
//
// Hand-over of the job: the UI thread writes the job before the worker starts and reads it only
// after the worker's "ended" flag (set with release order after its last write) has been seen.
// After a forced end of a worker that is still running, the UI reads nothing of its job: the
// caller's job slot gets a fresh job (result 0, empty message) and the worker keeps the old one.
#pragma once

#include <QtGlobal>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "platform/certificate_services.h"
#include "platform/internet_services.h"
#include "platform/secure_memory.h"
#include "renewal/renewal_job.h"
#include "ui/abandonable_internet.h"
#include "ui/ui_thread_bridge.h"

class QWidget;

namespace tessaly::ui {

// The services an attempt runs on, and the bridge its dialog requests come through.
struct RenewalServices {
    std::shared_ptr<platform::CertificateServices> certs;
    std::shared_ptr<platform::InternetServices> net;
    std::shared_ptr<UiThreadBridge> bridge;  // may be null; closed after a forced end
};

// The picker's chosen certificate context: freed once, when its last share goes.
class ChosenCertificate {
  public:
    ChosenCertificate(std::shared_ptr<platform::CertificateServices> certs,
                      platform::CertHandle handle)
        : certs_(std::move(certs)), handle_(handle) {}
    ~ChosenCertificate() {
        if (handle_ && certs_) {
            certs_->freeCertificate(handle_);
        }
    }
    ChosenCertificate(const ChosenCertificate&) = delete;
    ChosenCertificate& operator=(const ChosenCertificate&) = delete;

    platform::CertHandle handle() const { return handle_; }

  private:
    std::shared_ptr<platform::CertificateServices> certs_;
    platform::CertHandle handle_;
};

struct SupervisionOptions {
    QWidget* owner = nullptr;  // the main dialog: owner of the wait dialog and the question
    std::chrono::milliseconds watchdog{60000};
    std::chrono::milliseconds tick{500};     // progress step and poll of the worker
    std::chrono::milliseconds linger{1000};  // full bar shown after the worker has ended
};

// What the worker thread owns a share of, and how it says that it has ended.
struct RenewalWork {
    std::shared_ptr<RenewalJob> job;
    std::shared_ptr<platform::CertificateServices> certs;
    std::shared_ptr<AbandonableInternet> net;
    std::shared_ptr<ChosenCertificate> certificate;

    bool ended() const { return ended_.load(std::memory_order_acquire); }
    unsigned exitCode() const { return exitCode_; }  // once ended()

    std::atomic<bool> ended_{false};
    unsigned exitCode_ = 0;
};

// The worker's entry: 1 at once without a job; otherwise runs the attempt, stores its result in
// the job and returns 0.
unsigned renewalThreadProc(RenewalWork* work);

// Runs one attempt and returns the job's result once the worker has ended or been abandoned.
// UI thread only. `job` may be replaced by a fresh job (see above).
int runRenewalJob(std::shared_ptr<RenewalJob>& job, std::u16string url,
                  platform::WideString password, std::shared_ptr<ChosenCertificate> certificate,
                  const RenewalServices& services, const SupervisionOptions& options = {});

// The watchdog: armed by runRenewalJob, fires once from whatever event loop the UI thread runs,
// closes the published root and disarms itself. UI thread only.
extern quintptr g_watchdogTimerId;
void watchdogTimerProc();
void disarmWatchdog();

// Waits until every worker thread started here has finished (abandoned ones included); false
// on time-out. For the end of the program and for tests.
bool waitForWorkers(std::chrono::milliseconds timeout);

}  // namespace tessaly::ui
