// The watchdog closing the published root while the worker runs a whole attempt on the real
// services against the reference server on 127.0.0.1, swept across the attempt from its first
// call to past its end. Wherever the close lands, each handle is closed exactly once, nothing
// stays open, and the job reports the failure of the step that the close cut (or success, when
// the close came after the last network call).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "attempt_support.h"
#include "hardening_support.h"
#include "transport/internet_root.h"

namespace tessaly::hardening {
namespace {

using attempt_test::Attempt;
using attempt_test::AttemptTest;
using attempt_test::SharedPki;
using ::testing::IsEmpty;
namespace inet = platform::inet;
using Clock = std::chrono::steady_clock;

constexpr std::u16string_view kPassword = u"Renew-2024!";
constexpr char16_t kImported[] = u"証明書は正しくインポートされました。";

// The message of a job whose first failing call was `failure`.
std::u16string expectedMessage(const std::optional<FailedCall>& failure) {
    if (!failure) {
        return kImported;
    }
    const bool first = failure->exchange <= 1;
    const std::u16string inquiry = first ? u":検証データの問い合わせに失敗しました。"
                                         : u":証明書データの問い合わせに失敗しました。";
    const std::u16string body =
        first ? u":検証データが取得できませんでした。" : u":証明書ファイルは取得できませんでした。";
    const std::string& op = failure->op;
    if (op == "crackUrl") {
        return u"100" + inquiry;
    }
    if (op == "open") {
        return u"102" + inquiry;
    }
    if (op == "connect") {
        return u"103" + inquiry;
    }
    if (op == "openRequest") {
        return u"104" + inquiry;
    }
    if (op == "sendRequest") {
        return u"115" + inquiry;
    }
    if (op == "queryInfoNumber" && failure->infoLevel == inet::kQueryStatusCode) {
        return u"130" + inquiry;
    }
    if (op == "queryInfoText" && failure->infoLevel == inet::kQueryContentType) {
        return u"140" + inquiry;
    }
    if (op == "queryInfoText" && failure->infoLevel == inet::kQueryRawHeadersCrlf) {
        return u"160" + inquiry;
    }
    // Without its length the body is read with the default size, and that read fails too.
    if (op == "readFile" ||
        (op == "queryInfoNumber" && failure->infoLevel == inet::kQueryContentLength)) {
        return u"300" + body;
    }
    return u"unexpected failure of " + std::u16string(op.begin(), op.end());
}

std::string stepName(const std::optional<FailedCall>& failure) {
    if (!failure) {
        return "none (success)";
    }
    return failure->op + "#" + std::to_string(failure->infoLevel) + " of exchange " +
           std::to_string(std::max(failure->exchange, 1));
}

class AttemptRace : public AttemptTest {
  protected:
    // One attempt; the watchdog fires `delay` after the worker has published the root (never,
    // when none). `published` is when that happened.
    Attempt attemptClosedAfter(std::uint16_t port, std::optional<Clock::duration> delay,
                               std::optional<FailedCall>& failure, Clock::time_point& published) {
        const auto run = [&](platform::curl::CurlInternet& net, RenewalJob& job) {
            ObservedInternet observed(net);
            const int result = runJobWatched(services(), observed, job, [&] {
                // The clock starts once there is a root to close: before, the watchdog would
                // find nothing (meanwhile the services read the system's trust store).
                const auto patience = Clock::now() + std::chrono::seconds(20);
                while (!g_hInternet.load() && Clock::now() < patience) {
                    std::this_thread::yield();
                }
                published = Clock::now();
                if (delay) {
                    std::this_thread::sleep_for(*delay);
                    closePublishedInternetHandle(observed);
                }
            });
            failure = observed.firstFailure();
            timeline_ = observed.timeline();
            EXPECT_THAT(observed.openHandles(), IsEmpty());
            EXPECT_THAT(observed.badCloses(), IsEmpty());
            return result;
        };
        return attemptAt(port, SharedPki::instance().pki.tlsRootPem,
                         SharedPki::instance().expiredUserDer, kPassword, run);
    }

    std::vector<CallSpan> timeline_;  // of the last attempt
};

TEST_F(AttemptRace, ClosingTheRootAtAnyStepEndsTheAttemptWithThatStepsFailure) {
    renewal_server::Server server(serverConfig());

    // The length of an attempt left alone on this machine (longer under a sanitizer).
    std::optional<FailedCall> failure;
    Clock::time_point published;
    const Attempt undisturbed = attemptClosedAfter(server.port(), std::nullopt, failure, published);
    const Clock::duration length = Clock::now() - published;
    ASSERT_EQ(undisturbed.message, kImported);

    // Into the middle of each call the undisturbed attempt made after publishing its root, and
    // just past its end (into the work between calls: the signing, the pause, the import); then
    // evenly over the whole attempt and past its end.
    std::vector<Clock::duration> delays;
    for (const CallSpan& call : timeline_) {
        if (call.ended >= published) {
            delays.push_back(std::max(call.started - published, Clock::duration{}) +
                             (call.ended - std::max(call.started, published)) / 2);
            delays.push_back(call.ended - published + std::chrono::microseconds(200));
        }
    }
    constexpr int kSteps = 10;
    for (int step = 0; step <= kSteps + 1; ++step) {
        delays.push_back(length * step / kSteps);
    }
    std::sort(delays.begin(), delays.end());

    std::map<std::string, int> stepsHit;
    for (const Clock::duration delay : delays) {
        SCOPED_TRACE(std::to_string(std::chrono::duration<double, std::milli>(delay).count()) +
                     " ms");
        const auto listingBefore = certutilListing();
        const int keysBefore = certutilKeyCount();

        const Attempt outcome = attemptClosedAfter(server.port(), delay, failure, published);

        ++stepsHit[stepName(failure)];
        EXPECT_EQ(outcome.message, expectedMessage(failure)) << stepName(failure);
        EXPECT_EQ(outcome.result, failure ? 0 : 1);
        EXPECT_EQ(outcome.handlesLeftOpen, 0u);
        EXPECT_FALSE(g_hInternet.load());
        if (failure) {
            EXPECT_EQ(certutilListing(), listingBefore);
            EXPECT_EQ(certutilKeyCount(), keysBefore);
        }
    }
    server.stop();

    std::cout << delays.size() << " delays over an attempt of "
              << std::chrono::duration<double, std::milli>(length).count()
              << " ms from the root's publication; the step each close cut:\n";
    for (const auto& [step, count] : stepsHit) {
        std::cout << "  " << step << ": " << count << "\n";
    }
}

}  // namespace
}  // namespace tessaly::hardening
