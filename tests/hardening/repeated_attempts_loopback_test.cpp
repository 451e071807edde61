// Many whole attempts in one process on the real NSS and curl services, against the reference
// server run as a child process (so that only the tool's side is measured): once warmed up,
// the heap in use and the open descriptors stay where they were.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <string>

#include "attempt_support.h"
#include "hardening_support.h"

namespace tessaly::hardening {
namespace {

using attempt_test::Attempt;
using attempt_test::AttemptTest;
using attempt_test::SharedPki;

class RepeatedAttempts : public AttemptTest {};

TEST_F(RepeatedAttempts, ThirtyRenewalsLeaveTheHeapAndDescriptorsAsAfterWarmUp) {
    const attempt_test::ServerProgram server;
    const std::uint16_t port = server.port;

    constexpr int kWarmUp = 5;
    constexpr int kAttempts = 30;
    std::size_t heapAfterWarmUp = 0;
    std::size_t residentAfterWarmUp = 0;
    std::map<int, std::string> descriptorsAfterWarmUp;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const Attempt outcome = attemptAt(port, SharedPki::instance().pki.tlsRootPem,
                                          SharedPki::instance().expiredUserDer, u"Renew-2024!");
        ASSERT_EQ(outcome.message, u"証明書は正しくインポートされました。") << attempt;
        EXPECT_EQ(outcome.handlesLeftOpen, 0u);
        // NSS caches the growing database and keeps each imported package's decoder until it
        // shuts down; shut down, only what the attempt left elsewhere remains.
        ASSERT_TRUE(services().shutdown());
        if (attempt + 1 == kWarmUp) {
            heapAfterWarmUp = heapInUse();
            residentAfterWarmUp = residentBytes();
            descriptorsAfterWarmUp = openDescriptors();
        }
    }
    const std::size_t heapAtEnd = heapInUse();
    const std::size_t residentAtEnd = residentBytes();
    std::cout << "after " << kWarmUp << " attempts: heap " << heapAfterWarmUp << " bytes, resident "
              << residentAfterWarmUp << "; after " << kAttempts << ": heap " << heapAtEnd
              << " bytes, resident " << residentAtEnd << "\n";
    EXPECT_LT(heapAtEnd, heapAfterWarmUp + 64 * 1024);
    EXPECT_EQ(openDescriptors(), descriptorsAfterWarmUp);

    server.process->closeInput();
    EXPECT_EQ(
        server.process->readLine(std::chrono::seconds(10)),
        "handshakes " + std::to_string(kAttempts) + " requests " + std::to_string(2 * kAttempts));
}

}  // namespace
}  // namespace tessaly::hardening
