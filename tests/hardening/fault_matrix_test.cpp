// Whole attempts on the real NSS and curl services against a reference server that misbehaves
// on 127.0.0.1 in one way per row. Each row ends with the exact message the job reports, and
// leaves nothing behind: no Internet handle open or closed twice, no descriptor open, and the
// NSS database as it was unless the import ran.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "attempt_support.h"
#include "hardening_support.h"
#include "transport/internet_root.h"

namespace tessaly::hardening {
namespace {

using attempt_test::Attempt;
using attempt_test::AttemptTest;
using attempt_test::SharedPki;
using renewal_server::Config;
using renewal_server::Reply;
using ::testing::IsEmpty;

constexpr std::u16string_view kPassword = u"Renew-2024!";
constexpr char16_t kImported[] = u"証明書は正しくインポートされました。";
constexpr char16_t kInquiry115[] = u"115:検証データの問い合わせに失敗しました。";
constexpr char16_t kFirstBody300[] = u"300:検証データが取得できませんでした。";
constexpr char16_t kSecondInquiry115[] = u"115:証明書データの問い合わせに失敗しました。";
constexpr char16_t kSecondBody300[] = u"300:証明書ファイルは取得できませんでした。";
constexpr char16_t kNoMemory[] = u"システム障害（メモリ）が発生しました。";

// How the server treats the attempt.
enum class Server {
    Serves,
    Refuses,  // nobody listens on the port
    Parks,    // holds the connection: the watchdog closes the root after a short delay
};

struct FaultRow {
    const char* name;
    Server server;
    std::function<void(Config&)> script;
    std::u16string message;
    bool imports;  // the renewed certificate reached the database
};

void PrintTo(const FaultRow& row, std::ostream* out) {
    *out << row.name;
}

class FaultMatrix : public AttemptTest, public ::testing::WithParamInterface<FaultRow> {};

TEST_P(FaultMatrix, EndsWithItsMessageAndLeavesNothingBehind) {
    const FaultRow& row = GetParam();
    Config config = serverConfig();
    if (row.script) {
        row.script(config);
    }
    storeContents(u"MY");  // the database is open before the descriptors are counted
    const std::map<int, std::string> descriptorsBefore = openDescriptors();

    Attempt outcome;
    {
        std::optional<RefusingPort> refusing;
        std::optional<renewal_server::Server> server;
        std::uint16_t port = 0;
        if (row.server == Server::Refuses) {
            port = refusing.emplace().port();
        } else {
            port = server.emplace(std::move(config)).port();
        }
        outcome = attemptAt(
            port, SharedPki::instance().pki.tlsRootPem, SharedPki::instance().expiredUserDer,
            kPassword, [&](platform::curl::CurlInternet& net, RenewalJob& job) {
                ObservedInternet observed(net);
                const int result = runJobWatched(services(), observed, job, [&] {
                    if (row.server == Server::Parks) {
                        EXPECT_TRUE(server->waitForParked(1, std::chrono::seconds(20)));
                        std::this_thread::sleep_for(std::chrono::milliseconds(50));
                        EXPECT_TRUE(closePublishedInternetHandle(observed));
                    }
                });
                EXPECT_THAT(observed.openHandles(), IsEmpty());
                EXPECT_THAT(observed.badCloses(), IsEmpty());
                return result;
            });
        if (server) {
            server->stop();
        }
    }

    EXPECT_EQ(outcome.message, row.message);
    EXPECT_EQ(outcome.result, row.imports ? 1 : 0);
    EXPECT_EQ(outcome.handlesLeftOpen, 0u);
    EXPECT_FALSE(g_hInternet.load());
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
    if (row.imports) {
        EXPECT_EQ(certutilKeyCount(), 2) << "the renewed key beside the old one";
    } else {
        EXPECT_EQ(certutilListing(), seeded_);
        EXPECT_EQ(certutilKeyCount(), 1);
    }
}

// A reply's head, from the status line to the empty line, is this long with the filler.
Reply renewalWithHeadOf(std::size_t length) {
    Reply reply = Reply::renewal();
    reply.headLength = length;
    return reply;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultMatrix,
    ::testing::Values(
        FaultRow{"ConnectionRefused", Server::Refuses, nullptr, kInquiry115, false},
        FaultRow{"FirstResetMidHead", Server::Serves,
                 [](Config& c) { c.first.cut = Reply::Cut::ResetMidHead; }, kInquiry115, false},
        FaultRow{"SecondResetMidHead", Server::Serves,
                 [](Config& c) { c.second.cut = Reply::Cut::ResetMidHead; }, kSecondInquiry115,
                 false},
        FaultRow{"FirstResetMidBody", Server::Serves,
                 [](Config& c) { c.first.cut = Reply::Cut::ResetMidBody; }, kFirstBody300, false},
        FaultRow{"SecondResetMidBody", Server::Serves,
                 [](Config& c) { c.second.cut = Reply::Cut::ResetMidBody; }, kSecondBody300, false},
        FaultRow{"FirstHangBeforeHead", Server::Parks,
                 [](Config& c) { c.first.cut = Reply::Cut::HangBeforeHead; }, kInquiry115, false},
        FaultRow{"FirstHangMidBody", Server::Parks,
                 [](Config& c) { c.first.cut = Reply::Cut::HangMidBody; }, kFirstBody300, false},
        FaultRow{"SecondHangBeforeHead", Server::Parks,
                 [](Config& c) { c.second.cut = Reply::Cut::HangBeforeHead; }, kSecondInquiry115,
                 false},
        FaultRow{"SecondHangMidBody", Server::Parks,
                 [](Config& c) { c.second.cut = Reply::Cut::HangMidBody; }, kSecondBody300, false},
        // What follows the Content-Length is not part of the body, nor the next answer.
        FaultRow{"FirstBodyLongerThanItsLength", Server::Serves,
                 [](Config& c) { c.first.excess = "HTTP/1.1 200 OK\r\n\r\nsurplus"; }, kImported,
                 true},
        FaultRow{"PackageLongerThanItsLength", Server::Serves,
                 [](Config& c) { c.second.excess = std::string(64, '\x30'); }, kImported, true},
        // A length that cannot be had is refused before any buffer is taken.
        FaultRow{"FirstLengthOf4GiBMinus1", Server::Serves,
                 [](Config& c) { c.first.declaredLength = "4294967295"; }, kNoMemory, false},
        FaultRow{"SecondLengthOf4GiBMinus1", Server::Serves,
                 [](Config& c) { c.second.declaredLength = "4294967295"; }, kNoMemory, false},
        // The raw headers are read into 2048 bytes: 1023 characters and the terminator fit.
        FaultRow{"HeadOf1023Characters", Server::Serves,
                 [](Config& c) { c.second = renewalWithHeadOf(1023); }, kImported, true},
        FaultRow{"HeadOf1024Characters", Server::Serves,
                 [](Config& c) { c.second = renewalWithHeadOf(1024); },
                 u"160:証明書データの問い合わせに失敗しました。", false},
        // The verification data ends at the first NUL; what follows it is never signed.
        FaultRow{"NulInTheFirstBody", Server::Serves,
                 [](Config& c) { c.first.body = std::string("\0tail", 5); }, kImported, true},
        // Bytes that are not Shift_JIS show as U+FFFD; the rest of the text stays.
        FaultRow{"RefusalInInvalidShiftJis", Server::Serves,
                 [](Config& c) { c.second = Reply::text("\x83\x47\xFF\x83\x89\x81"); },
                 u"550:証明書ファイルは取得できませんでした。\nエ\uFFFDラ\uFFFD", false},
        FaultRow{"VerificationDataInInvalidShiftJis", Server::Serves,
                 [](Config& c) { c.first = Reply::text("\x83\x47\x80:x"); },
                 u"不正な検証データです。\nエ\uFFFD:x", false}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tessaly::hardening
