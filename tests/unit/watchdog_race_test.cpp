// The watchdog closes the published root handle from another thread while the worker runs.
// Each root must be closed exactly once, and a blocked call must end the step it belongs to.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "fake_certificates.h"
#include "fake_internet.h"
#include "renewal/renewal_job.h"
#include "renewal_scene.h"
#include "transport/http_exchange.h"
#include "transport/internet_root.h"

namespace tessaly {
namespace {

using fakes::FakeCertificates;
using fakes::FakeInternet;
using fakes::FakeResponse;
using fakes::Outcome;

using testing_scene::kPackage;
using testing_scene::plain;

class WatchdogRaceTest : public testing_scene::RenewalScene {
  protected:
    // Runs the job on a worker; once the worker is blocked in `op`, the watchdog fires.
    void runWithWatchdogDuring(const std::string& op) {
        std::thread worker([&] { result = _doImport(certs, net, job, job.url, job.password); });
        // Wait until the worker has made the blocking call.
        while (true) {
            const auto calls = net.callsTo(op);
            if (!calls.empty() && std::count_if(calls.begin(), calls.end(),
                                                [](const auto& c) { return !c.succeeded; }) > 0) {
                break;
            }
            std::this_thread::yield();
        }
        EXPECT_TRUE(closePublishedInternetHandle(net));
        worker.join();
    }

    void expectEachHandleClosedOnce() {
        EXPECT_TRUE(net.openHandles().empty());
        EXPECT_EQ(net.extraCloses(), 0);
        EXPECT_FALSE(g_hInternet.load());
    }

    int result = -1;
};

TEST_F(WatchdogRaceTest, BlockedStepFailsWithItsCodeAndTheRootIsClosedOnce) {
    struct Case {
        const char* name;
        std::function<void(FakeInternet&)> script;
        std::string blockedOp;
        std::u16string message;
    };
    const Case cases[] = {
        {"first send",
         [](FakeInternet& n) { n.queueOutcome("sendRequest", Outcome::blockUntilClosed()); },
         "sendRequest", u"115:検証データの問い合わせに失敗しました。"},
        {"status of the first answer",
         [](FakeInternet& n) {
             n.queueResponse(FakeResponse::text("0:x"));
             n.queueOutcome("queryInfoNumber", Outcome::blockUntilClosed());
         },
         "queryInfoNumber", u"130:検証データの問い合わせに失敗しました。"},
        {"first body",
         [](FakeInternet& n) {
             n.queueResponse(FakeResponse::text("0:x"));
             n.queueOutcome("readFile", Outcome::blockUntilClosed());
         },
         "readFile", u"300:検証データが取得できませんでした。"},
        {"raw headers of the second answer",
         [](FakeInternet& n) {
             n.queueResponse(FakeResponse::text("0:x"));
             n.queueResponse(FakeResponse::pkcs12(kPackage, false));
             n.queueOutcome("queryInfoText", Outcome::pass());
             n.queueOutcome("queryInfoText", Outcome::pass());
             n.queueOutcome("queryInfoText", Outcome::blockUntilClosed());
         },
         "queryInfoText", u"160:証明書データの問い合わせに失敗しました。"},
        {"second body",
         [](FakeInternet& n) {
             n.queueResponse(FakeResponse::text("0:x"));
             n.queueResponse(FakeResponse::pkcs12(kPackage, false));
             n.queueOutcome("readFile", Outcome::pass());
             n.queueOutcome("readFile", Outcome::blockUntilClosed());
         },
         "readFile", u"300:証明書ファイルは取得できませんでした。"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        net.reset();
        g_hInternet.store({});
        c.script(net);
        runWithWatchdogDuring(c.blockedOp);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(plain(job.message), c.message);
        expectEachHandleClosedOnce();
    }
}

TEST(InternetRootRace, WorkerAndWatchdogClosingTogetherCloseTheRootExactlyOnce) {
    FakeInternet net;
    for (int round = 0; round < 2000; ++round) {
        platform::InternetHandle root = net.open(u"agent", 0, {}, {}, 0);
        g_hInternet.store(root);
        std::atomic<bool> go{false};
        std::thread watchdog([&] {
            while (!go.load()) {
            }
            closePublishedInternetHandle(net);
        });
        go.store(true);
        closeInternetHandle(net, root);
        watchdog.join();
        EXPECT_FALSE(root);
        ASSERT_EQ(net.extraCloses(), 0) << "round " << round;
    }
    EXPECT_TRUE(net.openHandles().empty());
    EXPECT_FALSE(g_hInternet.load());
}

TEST_F(WatchdogRaceTest, WatchdogFiringAtAnyMomentOfAnAttemptClosesEachHandleOnce) {
    // Sweeps the watchdog across a whole attempt (the second request comes 100 ms in).
    for (int delayMs = 0; delayMs <= 130; delayMs += 10) {
        SCOPED_TRACE(delayMs);
        net.reset();
        g_hInternet.store({});
        net.queueResponse(FakeResponse::text("0:x"));
        net.queueResponse(FakeResponse::pkcs12(kPackage, false));
        job.message.clear();
        std::thread worker([&] { result = _doImport(certs, net, job, job.url, job.password); });
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        closePublishedInternetHandle(net);
        worker.join();
        EXPECT_TRUE(result == 1 || !job.message.empty());
        expectEachHandleClosedOnce();
    }
}

}  // namespace
}  // namespace tessaly
