// Cancellation: closing the root handle from another thread (what the watchdog does) ends the
// call the worker is blocked in, and the step fails with its own code; the worker's later
// closing of the child handles is safe, and every handle is released exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "curl_fixture.h"
#include "platform/last_error.h"
#include "transport/internet_root.h"

namespace tessaly::curltest {
namespace {

namespace inet = platform::inet;
using platform::InternetHandle;
using renewal_server::Config;
using renewal_server::Reply;

constexpr auto kPatience = std::chrono::seconds(20);

// Joins the worker on every way out of a test; closing the published root first frees it if
// the test ends before the worker does.
struct WorkerGuard {
    std::thread& worker;
    platform::InternetServices& net;

    ~WorkerGuard() {
        if (worker.joinable()) {
            closePublishedInternetHandle(net);
            worker.join();
        }
    }
};

struct BlockedStep {
    const char* name;
    std::function<void(Config&)> script;
    bool blocksInBodyRead;
    std::uint32_t errorCode;
};

void PrintTo(const BlockedStep& row, std::ostream* out) {
    *out << row.name;
}

class CancelTest : public CurlFixture, public ::testing::WithParamInterface<BlockedStep> {};

TEST_P(CancelTest, ClosingTheRootEndsTheBlockedStepWithItsCode) {
    const BlockedStep& row = GetParam();
    Config config;
    row.script(config);
    startServer(std::move(config));
    auto& net = this->net();

    HttpExchange exchange;
    exchange.url = url();
    int exchangeResult = -1;
    std::uint32_t readError = 0;
    std::promise<void> exchanged;
    std::thread worker([&] {
        exchangeResult = _queryInfo(net, exchange);
        const bool reads = exchangeResult == 1;
        exchanged.set_value();
        if (reads) {
            readBody(exchange, &readError);
        }
    });
    const WorkerGuard guard{worker, net};

    if (row.blocksInBodyRead) {
        exchanged.get_future().wait();
        ASSERT_EQ(exchangeResult, 1) << exchange.errorCode;
    }
    // The server holds the connection at the point the row chose: the worker waits on it.
    ASSERT_TRUE(server().waitForParked(1, kPatience));
    const InternetHandle root = g_hInternet.load();
    ASSERT_TRUE(root);
    EXPECT_TRUE(closePublishedInternetHandle(net));
    worker.join();

    if (row.blocksInBodyRead) {
        EXPECT_EQ(readError, row.errorCode);
        closeExchangeHandles(net, exchange);  // children first, the root is taken already
    } else {
        EXPECT_EQ(exchangeResult, 0);
        EXPECT_EQ(exchange.errorCode, row.errorCode);
    }
    EXPECT_FALSE(exchange.requestHandle);
    EXPECT_FALSE(exchange.connectHandle);
    EXPECT_FALSE(exchange.internetHandle);
    // The root was closed once, by the closer; a second close finds nothing.
    EXPECT_FALSE(net.closeHandle(root));
    EXPECT_EQ(platform::lastError(), inet::kErrorInvalidHandle);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CancelTest,
    ::testing::Values(
        BlockedStep{"tls_handshake", [](Config& c) { c.stallHandshake = true; }, false, 115},
        BlockedStep{"response_head", [](Config& c) { c.first.cut = Reply::Cut::HangBeforeHead; },
                    false, 115},
        BlockedStep{"body_read",
                    [](Config& c) {
                        c.first = Reply::text(std::string(2000, 'b'));
                        c.first.cut = Reply::Cut::HangMidBody;
                    },
                    true, 300}),
    [](const auto& row) { return std::string(row.param.name); });

class CloseOrderTest : public CurlFixture {};

TEST_F(CloseOrderTest, ChildrenOfARootClosedElsewhereFailAndCloseOnce) {
    Config config;
    config.first.cut = Reply::Cut::HangBeforeHead;
    startServer(std::move(config));
    auto& net = this->net();
    const auto [root, connection, request] = openRequestToServer();
    ASSERT_TRUE(request);

    // The handle is copied in: clang 14 cannot capture a structured binding.
    std::thread([&net, root = root] { EXPECT_TRUE(net.closeHandle(root)); }).join();

    EXPECT_FALSE(net.sendRequest(request, {}, {}));
    EXPECT_EQ(platform::lastError(), inet::kErrorOperationCancelled);
    std::uint32_t status = 0;
    EXPECT_FALSE(
        net.queryInfoNumber(request, inet::kQueryFlagNumber | inet::kQueryStatusCode, status));
    static constexpr std::u16string_view kAccept[] = {u"*/*"};
    EXPECT_FALSE(net.openRequest(connection, u"POST", u"/", {}, {}, kAccept, 0, 0));
    EXPECT_TRUE(net.closeHandle(request));
    EXPECT_TRUE(net.closeHandle(connection));
    EXPECT_FALSE(net.closeHandle(request));
    EXPECT_FALSE(net.closeHandle(connection));
    EXPECT_FALSE(net.closeHandle(root));
}

// The watchdog's close may land anywhere in an attempt. Whatever step it hits, the attempt ends
// with that step's code (or succeeds when the close comes too late), and the handles are
// released once. Run under ThreadSanitizer, this also checks the closing path for races.
TEST_F(CloseOrderTest, CloseRacingAWholeAttemptIsSafeAnywhere) {
    Config config;
    config.second = Reply::pkcs12(std::string(3000, 'p'), true);
    startServer(std::move(config));
    auto& net = this->net();

    // When the close comes, from the start of the attempt: the first exchange takes a few
    // milliseconds here, then the logic pauses 100 ms before the second request.
    constexpr int kDelaysUs[] = {0,     300,    600,    1000,   1500,   3000,
                                 50000, 101000, 102000, 102500, 103000, 104000};
    for (const int delayUs : kDelaysUs) {
        SCOPED_TRACE(delayUs);
        HttpExchange exchange;
        exchange.url = url();
        std::atomic<bool> started{false};
        std::uint32_t failure = 0;
        std::thread worker([&] {
            started = true;
            if (_queryInfo(net, exchange) != 1) {
                failure = exchange.errorCode;
                return;
            }
            std::uint32_t errorCode = 0;
            readBody(exchange, &errorCode);
            exchange.requestBody = "passwd=x";
            if (errorCode != 0) {
                failure = errorCode;
            } else if (_requeryInfo(net, exchange) != 1) {
                failure = exchange.errorCode;
                return;
            } else {
                readBody(exchange, &errorCode);
                failure = errorCode;
            }
            closeExchangeHandles(net, exchange);
        });
        const WorkerGuard guard{worker, net};
        while (!started) {
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
        closePublishedInternetHandle(net);
        worker.join();

        const std::uint32_t allowed[] = {0, 104, 115, 130, 140, 160, 300, 1103};
        EXPECT_NE(std::find(std::begin(allowed), std::end(allowed), failure), std::end(allowed))
            << failure;
        EXPECT_FALSE(exchange.requestHandle);
        EXPECT_FALSE(exchange.connectHandle);
        EXPECT_FALSE(exchange.internetHandle);
        EXPECT_FALSE(g_hInternet.load());
    }
}

}  // namespace
}  // namespace tessaly::curltest
