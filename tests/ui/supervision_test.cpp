// The supervision of one attempt: wait dialog, watchdog, forced end, and dialogs the worker asks
// for while the UI thread waits. Runs the real renewal job on the scripted fakes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "fake_certificates.h"
#include "fake_internet.h"
#include "modal_script.h"
#include "transport/internet_root.h"
#include "ui/qt_text.h"
#include "ui/supervision.h"
#include "ui/texts.h"
#include "ui/wait_dialog.h"

namespace tessaly::ui {
namespace {

using namespace std::chrono_literals;
using fakes::FakeCertificates;
using fakes::FakeInternet;
using fakes::FakeResponse;
using fakes::Outcome;
using testing::ModalScript;
using testing::pressButton;
using testing::saveScreenshot;

constexpr std::u16string_view kUrl =
    u"https://renewal.example.test/kivra/DownloadPkcs12GracePre.do";
constexpr std::u16string_view kPassword = u"pa ss/ワ";
const std::string kPackage = "RENEWED-PKCS12";
constexpr std::u16string_view kImported = u"証明書は正しくインポートされました。";
constexpr std::u16string_view kFirstSendCut = u"115:検証データの問い合わせに失敗しました。";

std::u16string plain(const platform::WideString& text) {
    return {text.begin(), text.end()};
}

// Before its first send the worker asks the UI thread a question through the bridge, once the
// test lets it.
class AskingInternet : public FakeInternet {
  public:
    std::shared_ptr<UiThreadBridge> bridge;  // set: the first send asks first
    std::atomic<bool> askedOnUiThread{false};
    std::atomic<bool> answered{false};

    void allowAsking() {
        {
            const std::lock_guard lock(mutex_);
            allowed_ = true;
        }
        allowedChanged_.notify_all();
    }

    bool sendRequest(platform::InternetHandle request, std::u16string_view headers,
                     std::span<const std::uint8_t> body) override {
        if (bridge && !asked_) {
            asked_ = true;
            {
                std::unique_lock lock(mutex_);
                allowedChanged_.wait(lock, [&] { return allowed_; });
            }
            answered = bridge->run([this] {
                askedOnUiThread = QThread::currentThread() == qApp->thread();
                QMessageBox box(QMessageBox::Question, "proxy", "user?", QMessageBox::Ok);
                box.setObjectName("workerQuestion");
                box.exec();
            });
        }
        return FakeInternet::sendRequest(request, headers, body);
    }

  private:
    bool asked_ = false;  // worker thread only
    std::mutex mutex_;
    std::condition_variable allowedChanged_;
    bool allowed_ = false;
};

class SupervisionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_hInternet.store({});
        net = std::make_shared<AskingInternet>();
        expired = certs->addCertificate({.name = "expired", .hasKey = true});
        certs->putInStore(u"MY", expired);
        const int root = certs->addCertificate({.name = "root", .selfIssued = true});
        const int intermediate = certs->addCertificate({.name = "intermediate"});
        const int renewed = certs->addCertificate({.name = "renewed", .hasKey = true});
        certs->registerPackage(kPackage, std::u16string(kPassword), {root, intermediate, renewed});
        bridge = UiThreadBridge::create();
        options.watchdog = 60s;
        options.tick = 10ms;
        options.linger = 200ms;
    }

    void TearDown() override {
        disarmWatchdog();
        ASSERT_TRUE(waitForWorkers(10s));
        bridge->close();
        EXPECT_TRUE(net->openHandles().empty());
        EXPECT_EQ(net->extraCloses(), 0);
        EXPECT_FALSE(g_hInternet.load());
        EXPECT_EQ(certs->liveContexts(), 0);  // the chosen certificate was released too
        EXPECT_EQ(certs->openStores(), 0);
        EXPECT_EQ(certs->badReleases(), 0);
    }

    void scriptSuccess() {
        net->queueResponse(FakeResponse::text("0:challenge"));
        net->queueResponse(FakeResponse::pkcs12(kPackage, true));
    }

    int run() {
        auto chosen = std::make_shared<ChosenCertificate>(certs, certs->contextOf(expired));
        return runRenewalJob(job, std::u16string(kUrl), platform::WideString(kPassword),
                             std::move(chosen), {certs, net, bridge}, options);
    }

    std::shared_ptr<FakeCertificates> certs = std::make_shared<FakeCertificates>();
    std::shared_ptr<AskingInternet> net;
    std::shared_ptr<UiThreadBridge> bridge;
    std::shared_ptr<RenewalJob> job = std::make_shared<RenewalJob>();
    SupervisionOptions options;
    int expired = 0;
};

TEST_F(SupervisionTest, SuccessfulAttemptFillsTheBarClosesTheDialogAndReturnsTheResult) {
    scriptSuccess();
    int barWhenClosed = -1;
    int dialogResult = -1;
    QString text;
    bool textFits = false;
    bool framed = true;
    ModalScript script;
    script.then("waitDialog", [&](QWidget* w) {
        auto* dialog = qobject_cast<CAA_WaitDialogBox*>(w);
        ASSERT_NE(dialog, nullptr);
        framed = !dialog->windowFlags().testFlag(Qt::FramelessWindowHint);
        auto* label = dialog->findChild<QLabel*>("waitText");
        text = label->text();
        textFits = label->height() >= label->heightForWidth(label->width()) &&
                   label->geometry().bottom() < dialog->progressBar()->geometry().top();
        QObject::connect(dialog, &QDialog::finished, [&, dialog](int result) {
            dialogResult = result;
            barWhenClosed = dialog->progressBar()->value();
        });
    });

    EXPECT_EQ(run(), 1);
    EXPECT_TRUE(script.finished()) << script.pending();
    EXPECT_EQ(plain(job->message), kImported);
    EXPECT_EQ(job->result, 1);
    EXPECT_EQ(net->callsTo("sendRequest").size(), 2u);
    EXPECT_EQ(dialogResult, QDialog::Accepted);
    EXPECT_EQ(barWhenClosed, 100);
    EXPECT_FALSE(framed);
    EXPECT_EQ(text, toQString(kWaitText));
    EXPECT_TRUE(textFits);  // wrapped, the whole text shows above the bar
    // The watchdog stays armed after the attempt and fires later without harm.
    EXPECT_NE(g_watchdogTimerId, 0u);
    watchdogTimerProc();
    EXPECT_EQ(g_watchdogTimerId, 0u);
}

TEST_F(SupervisionTest, WatchdogCutsAHangingAttemptWhileEscapeAndCloseDoNothing) {
    net->queueOutcome("sendRequest", Outcome::blockUntilClosed());
    options.watchdog = 400ms;
    bool stayedOpen = false;
    ModalScript script;
    script.then("waitDialog", [&](QWidget* dialog) {
        QTest::keyClick(dialog, Qt::Key_Escape);
        dialog->close();
        stayedOpen = dialog->isVisible();
        EXPECT_NE(g_watchdogTimerId, 0u);
    });

    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(script.finished()) << script.pending();
    EXPECT_TRUE(stayedOpen);
    EXPECT_EQ(plain(job->message), kFirstSendCut);
    EXPECT_EQ(g_watchdogTimerId, 0u);  // it disarmed itself
}

TEST_F(SupervisionTest, ForcedEndAfterYesAbandonsTheWorkerWhichUnwindsOnItsOwn) {
    net->queueOutcome("sendRequest", Outcome::blockUntilClosed());
    const std::shared_ptr<RenewalJob> original = job;
    QString question;
    QString caption;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool noIsDefault = false;
    ModalScript script;
    script.then("waitDialog", [](QWidget* dialog) { qobject_cast<QDialog*>(dialog)->done(0); })
        .then("tessalyQuestion", [&](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            question = box->text();
            caption = box->windowTitle();
            icon = box->icon();
            noIsDefault =
                static_cast<QAbstractButton*>(box->defaultButton()) == box->button(QMessageBox::No);
            pressButton(box, QMessageBox::Yes);
        });

    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(script.finished()) << script.pending();
    EXPECT_EQ(question, toQString(kForceEndQuestion));
    EXPECT_EQ(caption, "Tessaly");
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_TRUE(noIsDefault);
    // The caller reads a fresh job; the worker kept its own and is refused the UI from now on.
    EXPECT_NE(job, original);
    EXPECT_TRUE(job->message.empty());
    EXPECT_TRUE(bridge->isClosed());

    ASSERT_TRUE(waitForWorkers(10s));
    EXPECT_EQ(plain(original->message), kFirstSendCut);
    EXPECT_EQ(original.use_count(), 1);  // the worker let go of everything it shared
}

TEST_F(SupervisionTest, NoRunsTheWaitDialogAgainWithAFreshBar) {
    net->queueOutcome("sendRequest", Outcome::blockUntilClosed());
    options.tick = 20ms;
    int barAtSecondRun = -1;
    int runs = 0;
    ModalScript script;
    script
        .then(
            "waitDialog",
            [&](QWidget* w) {
                ++runs;
                auto* dialog = qobject_cast<CAA_WaitDialogBox*>(w);
                EXPECT_TRUE(QTest::qWaitFor([&] { return dialog->progressBar()->value() >= 10; }));
                dialog->done(0);
            })
        .then("tessalyQuestion",
              [](QWidget* box) {
                  saveScreenshot(box, "forced-end-question");
                  pressButton(box, QMessageBox::No);
              })
        .then("waitDialog", [&](QWidget* w) {
            ++runs;
            barAtSecondRun = qobject_cast<CAA_WaitDialogBox*>(w)->progressBar()->value();
            watchdogTimerProc();  // the worker's send fails; the dialog closes by itself
        });

    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(script.finished()) << script.pending();
    EXPECT_EQ(runs, 2);
    EXPECT_GE(barAtSecondRun, 0);
    EXPECT_LT(barAtSecondRun, 10);
    EXPECT_EQ(plain(job->message), kFirstSendCut);
}

TEST_F(SupervisionTest, WorkersQuestionIsAnsweredOnTheUiThreadAlsoAfterTheDialogEndedWithOk) {
    for (const bool enterFirst : {false, true}) {
        SCOPED_TRACE(enterFirst ? "Enter ends the wait dialog first" : "over the wait dialog");
        net = std::make_shared<AskingInternet>();
        net->bridge = bridge;
        scriptSuccess();
        ModalScript script;
        if (!enterFirst) {
            net->allowAsking();
        } else {
            script.then("waitDialog", [&](QWidget* dialog) {
                QTest::keyClick(dialog, Qt::Key_Return);
                EXPECT_FALSE(dialog->isVisible());
                net->allowAsking();
            });
        }
        script.then("workerQuestion", [](QWidget* box) { pressButton(box, QMessageBox::Ok); });

        EXPECT_EQ(run(), 1);
        EXPECT_TRUE(script.finished()) << script.pending();
        EXPECT_TRUE(net->answered);
        EXPECT_TRUE(net->askedOnUiThread);
        EXPECT_EQ(plain(job->message), kImported);
    }
}

TEST_F(SupervisionTest, OffTheUiThreadTheWaitKeepsTheWatchdogsTimeWithoutDialogs) {
    struct Case {
        const char* name;
        bool hang;
        int result;
        std::u16string_view message;
    };
    for (const Case& c : {Case{"ends by itself", false, 1, kImported},
                          Case{"hangs past the interval", true, 0, kFirstSendCut}}) {
        SCOPED_TRACE(c.name);
        if (c.hang) {
            net->queueOutcome("sendRequest", Outcome::blockUntilClosed());
        } else {
            scriptSuccess();
        }
        options.watchdog = c.hang ? 100ms : 10s;
        int result = -1;
        std::thread caller([&] { result = run(); });
        caller.join();
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(g_watchdogTimerId, 0u);
        EXPECT_EQ(plain(job->message), c.message);
    }
}

TEST(RenewalThreadProc, WithoutAJobItReturnsOneAtOnce) {
    EXPECT_EQ(renewalThreadProc(nullptr), 1u);
    RenewalWork work;
    EXPECT_EQ(renewalThreadProc(&work), 1u);
}

TEST(UiThreadBridge, RunsTasksOnTheUiThreadUntilClosedAndThenRefuses) {
    const auto bridge = UiThreadBridge::create();
    std::atomic<bool> ranOnUi{false};
    bool ran = false;
    std::thread asker(
        [&] { ran = bridge->run([&] { ranOnUi = QThread::currentThread() == qApp->thread(); }); });
    QTRY_VERIFY(ranOnUi.load());  // the UI thread's loop served it
    asker.join();
    EXPECT_TRUE(ran);

    // A task queued when the bridge closes is refused, and so is every later one. No events are
    // processed here, so the task cannot run before the close (queued or not yet: refused).
    std::atomic<bool> started{false};
    std::thread refused([&] {
        started = true;
        ran = bridge->run([] { ADD_FAILURE() << "ran after close"; });
    });
    while (!started) {
        std::this_thread::yield();
    }
    bridge->close();
    refused.join();
    EXPECT_FALSE(ran);
    std::thread later([&] { ran = bridge->run([] {}); });
    later.join();
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace tessaly::ui
