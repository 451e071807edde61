// How fast closing the root ends a blocked call, and what one renewal attempt costs on the
// wire: both exchanges on one TLS connection to the reference server on 127.0.0.1.
//
//   curl_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "platform/curl/curl_internet.h"
#include "renewal_server.h"
#include "test_pki.h"
#include "transport/http_exchange.h"

namespace {

using namespace tessaly;
using platform::InternetHandle;
using renewal_server::Config;
using renewal_server::Reply;
namespace inet = platform::inet;
using Clock = std::chrono::steady_clock;

constexpr std::u16string_view kAccept[] = {u"*/*"};
constexpr std::u16string_view kFormHeader = u"Content-Type: application/x-www-form-urlencoded";

platform::curl::CurlGlobal& curlGlobal() {
    static platform::curl::CurlGlobal global;
    return global;
}

// A server with a fresh CA, and the curl services trusting that CA.
struct Scene {
    explicit Scene(Config config) {
        const testpki::Issued issued = ca.issue(testpki::localServer());
        config.certificateChainPem = issued.certificate;
        config.privateKeyPem = issued.privateKey;
        server = std::make_unique<renewal_server::Server>(std::move(config));
        platform::curl::CurlInternetOptions options;
        options.trustedRoots = {ca.certificatePem()};
        net = std::make_unique<platform::curl::CurlInternet>(std::move(options));
        const std::string port = std::to_string(server->port());
        url = u"https://127.0.0.1:" + std::u16string(port.begin(), port.end()) +
              u"/kivra/DownloadPkcs12GracePre.do";
    }

    testpki::Authority ca{"Tessaly bench CA"};
    std::unique_ptr<renewal_server::Server> server;
    std::unique_ptr<platform::curl::CurlInternet> net;
    std::u16string url;
};

struct Handles {
    InternetHandle root;
    InternetHandle connection;
    InternetHandle request;
};

Handles openRequest(platform::InternetServices& net, std::uint16_t port) {
    Handles h;
    h.root = net.open(u"TOLAN/Pendry 2.0 exe Lumeno", inet::kOpenTypePreconfig, {}, {}, 0);
    h.connection = net.connect(h.root, u"127.0.0.1", port, {}, {}, inet::kServiceHttp, 0, 0);
    h.request = net.openRequest(h.connection, u"POST", u"/kivra/DownloadPkcs12GracePre.do", {}, {},
                                kAccept, inet::kFlagSecure | inet::kFlagKeepConnection, 0);
    return h;
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Time from closing the root on this thread to the return of the call blocked on the worker.
// range(0): 0 = blocked waiting for the response head, 1 = blocked in the body read.
void CancelLatency(benchmark::State& state) {
    if (!curlGlobal().ok()) {
        state.SkipWithError("curl could not be initialised");
        return;
    }
    const bool inBody = state.range(0) == 1;
    Config config;
    config.first = Reply::text(std::string(4000, 'c'));
    config.first.cut = inBody ? Reply::Cut::HangMidBody : Reply::Cut::HangBeforeHead;
    Scene scene(std::move(config));
    auto& net = *scene.net;
    int parked = 0;
    for (auto _ : state) {
        const Handles h = openRequest(net, scene.server->port());
        std::promise<Clock::time_point> returned;
        std::thread worker([&] {
            bool ok = net.sendRequest(h.request, kFormHeader, {});
            if (ok && inBody) {
                std::uint8_t buffer[8192];
                std::uint32_t read = 0;
                ok = net.readFile(h.request, buffer, sizeof buffer, read);
            }
            returned.set_value(Clock::now());
            benchmark::DoNotOptimize(ok);
        });
        if (!scene.server->waitForParked(++parked, std::chrono::seconds(10))) {
            state.SkipWithError("the server never held the request");
            net.closeHandle(h.root);
            worker.join();
            break;
        }
        const Clock::time_point closed = Clock::now();
        net.closeHandle(h.root);
        const Clock::time_point ended = returned.get_future().get();
        worker.join();
        state.SetIterationTime(std::chrono::duration<double>(ended - closed).count());
        net.closeHandle(h.request);
        net.closeHandle(h.connection);
    }
}
BENCHMARK(CancelLatency)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("in_body")
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(200);

// Both exchanges of an attempt on one connection, made with the services directly: new root,
// TLS handshake, first POST and its body, second request on the kept connection, its body.
// range(0) = 1: new services for each attempt, as in a run of the tool, so the system CA store
// is read each time.
void TwoExchangesOneConnection(benchmark::State& state) {
    if (!curlGlobal().ok()) {
        state.SkipWithError("curl could not be initialised");
        return;
    }
    Config config;
    config.second = Reply::pkcs12(std::string(6000, 'p'), true);
    Scene scene(std::move(config));
    const std::string form = "passwd=secret&sendFile=" + std::string(3000, 'A');
    std::vector<std::uint8_t> buffer(16384);
    const bool freshServices = state.range(0) == 1;
    for (auto _ : state) {
        if (freshServices) {
            platform::curl::CurlInternetOptions options;
            options.trustedRoots = {scene.ca.certificatePem()};
            scene.net = std::make_unique<platform::curl::CurlInternet>(std::move(options));
        }
        auto& net = *scene.net;
        Handles h = openRequest(net, scene.server->port());
        std::uint32_t read = 0;
        bool ok = net.sendRequest(h.request, kFormHeader, {}) &&
                  net.readFile(h.request, buffer.data(), 4096, read);
        net.closeHandle(h.request);
        h.request = net.openRequest(h.connection, u"POST", u"/kivra/DownloadPkcs12GracePre.do", {},
                                    {}, kAccept, inet::kFlagSecure, 0);
        ok =
            ok && net.sendRequest(h.request, kFormHeader, bytesOf(form)) &&
            net.readFile(h.request, buffer.data(), static_cast<std::uint32_t>(buffer.size()), read);
        net.closeHandle(h.request);
        net.closeHandle(h.connection);
        net.closeHandle(h.root);
        if (!ok) {
            state.SkipWithError("an exchange failed");
            break;
        }
    }
    state.counters["handshakes_per_attempt"] = benchmark::Counter(
        static_cast<double>(scene.server->handshakes()) / static_cast<double>(state.iterations()));
}
BENCHMARK(TwoExchangesOneConnection)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("fresh_services")
    ->Unit(benchmark::kMillisecond);

// The same attempt through the transport logic, which pauses 100 ms before the second request.
void AttemptThroughTheLogic(benchmark::State& state) {
    if (!curlGlobal().ok()) {
        state.SkipWithError("curl could not be initialised");
        return;
    }
    Config config;
    config.second = Reply::pkcs12(std::string(6000, 'p'), true);
    Scene scene(std::move(config));
    auto& net = *scene.net;
    const std::string form = "passwd=secret&sendFile=" + std::string(3000, 'A');
    for (auto _ : state) {
        HttpExchange exchange;
        exchange.url = scene.url;
        ResponseBody body;
        bool ok = _queryInfo(net, exchange) == 1;
        if (ok) {
            body.requestHandle = exchange.requestHandle;
            body.capacity = static_cast<std::uint32_t>(exchange.readSize);
            body.buffer.assign(exchange.readSize + 1, 0);
            ok = _getInstance(net, body) == 1;
            exchange.requestBody = form;
        }
        ok = ok && _requeryInfo(net, exchange) == 1;
        if (ok) {
            body.requestHandle = exchange.requestHandle;
            body.capacity = static_cast<std::uint32_t>(exchange.readSize);
            body.buffer.assign(exchange.readSize + 1, 0);
            ok = _getInstance(net, body) == 1;
        }
        closeExchangeHandles(net, exchange);
        if (!ok) {
            state.SkipWithError("the attempt failed");
            break;
        }
    }
}
BENCHMARK(AttemptThroughTheLogic)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
