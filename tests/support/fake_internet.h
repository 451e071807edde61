// A scripted stand-in for the Internet services: records every call with its arguments
// and plays back the responses and failures a test scripts. Thread-safe, so that the
// watchdog's close can come from another thread while a call is blocked.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/internet_services.h"

namespace tessaly::fakes {

struct InternetCall {
    std::string op;
    platform::InternetHandle handle;     // the handle the call was made on
    platform::InternetHandle returned;   // the handle an open returned
    std::vector<std::uint64_t> numbers;  // flags, options, values, sizes, in argument order
    std::vector<std::u16string> texts;   // text arguments, in argument order
    std::string bytes;                   // the body of a send
    bool succeeded = false;
    std::chrono::steady_clock::time_point at;
};

// What one call of an operation does instead of succeeding.
struct Outcome {
    enum class Kind { Pass, Fail, BlockUntilClosed, Overrun, Throw };
    Kind kind = Kind::Fail;
    std::uint32_t error = 0;

    // Lets this call through, so that a later call of the same operation is the one scripted.
    static Outcome pass() { return {Kind::Pass, 0}; }
    static Outcome fail(std::uint32_t error) { return {Kind::Fail, error}; }
    // Blocks until the root handle above the call's handle is closed, then fails with `error`.
    static Outcome blockUntilClosed(
        std::uint32_t error = platform::inet::kErrorOperationCancelled) {
        return {Kind::BlockUntilClosed, error};
    }
    // readFile only: reports one byte more than was asked for.
    static Outcome overrun() { return {Kind::Overrun, 0}; }
    // Throws from inside the call, as a wrapper that runs out of memory would.
    static Outcome raise() { return {Kind::Throw, 0}; }
};

struct FakeResponse {
    std::uint32_t status = 200;
    bool statusReadable = true;
    std::optional<std::u16string> contentType;
    std::optional<std::uint32_t> contentLength;
    std::vector<std::u16string> extraHeaderLines;  // e.g. u"X-Exportable: 1"
    std::optional<std::u16string> rawHeaders;      // replaces the generated header block
    std::string body;

    // A text answer as the renewal server sends it, with a matching Content-Length.
    static FakeResponse text(std::string body);
    // A PKCS#12 answer with its X-Exportable header.
    static FakeResponse pkcs12(std::string body, bool exportable);
    static FakeResponse withStatus(std::uint32_t status);

    std::u16string headerBlock() const;
};

class FakeInternet : public platform::InternetServices {
  public:
    // Forgets every script, call and handle: a fresh fake.
    void reset();

    // Scripting
    void queueResponse(FakeResponse response);  // taken by the next successful send
    void queueOutcome(const std::string& op, Outcome outcome);
    void queueDialogResult(std::uint32_t result);  // errorDialog answers, in order
    // Makes every split report this host name instead of the one in the URL.
    void setCrackedHost(std::u16string host);

    // Inspection
    std::vector<InternetCall> calls() const;
    std::vector<InternetCall> callsTo(const std::string& op) const;
    std::vector<std::string> callNames() const;
    int closeCount(platform::InternetHandle handle) const;
    std::vector<platform::InternetHandle> openHandles() const;  // opened and never closed
    int extraCloses() const;  // closes of a handle that was not open

    // InternetServices
    bool crackUrl(std::u16string_view url, std::uint32_t flags,
                  platform::UrlComponents& components) override;
    platform::InternetHandle open(std::u16string_view agent, std::uint32_t accessType,
                                  std::u16string_view proxy, std::u16string_view proxyBypass,
                                  std::uint32_t flags) override;
    bool setOption(platform::InternetHandle handle, std::uint32_t option,
                   std::uint32_t value) override;
    bool queryOption(platform::InternetHandle handle, std::uint32_t option,
                     std::uint32_t& value) override;
    platform::InternetHandle connect(platform::InternetHandle root, std::u16string_view host,
                                     std::uint16_t port, std::u16string_view user,
                                     std::u16string_view password, std::uint32_t service,
                                     std::uint32_t flags, std::uintptr_t context) override;
    platform::InternetHandle openRequest(platform::InternetHandle connection,
                                         std::u16string_view verb, std::u16string_view objectName,
                                         std::u16string_view version, std::u16string_view referrer,
                                         std::span<const std::u16string_view> acceptTypes,
                                         std::uint32_t flags, std::uintptr_t context) override;
    bool sendRequest(platform::InternetHandle request, std::u16string_view headers,
                     std::span<const std::uint8_t> body) override;
    bool queryInfoNumber(platform::InternetHandle request, std::uint32_t infoLevel,
                         std::uint32_t& value) override;
    bool queryInfoText(platform::InternetHandle request, std::uint32_t infoLevel,
                       std::size_t bufferBytes, std::u16string& text) override;
    bool readFile(platform::InternetHandle request, std::uint8_t* buffer, std::uint32_t bytesToRead,
                  std::uint32_t& bytesRead) override;
    std::uint32_t errorDialog(platform::InternetHandle request, std::uint32_t error,
                              std::uint32_t flags) override;
    bool closeHandle(platform::InternetHandle handle) override;

  private:
    struct Node {
        std::uint64_t parent = 0;
        bool closed = false;
        int closes = 0;
        std::map<std::uint32_t, std::uint32_t> options;
        std::optional<FakeResponse> response;
        std::size_t readPosition = 0;
    };

    using Lock = std::unique_lock<std::mutex>;

    // Applies the next scripted outcome of `op`; false when the call is to fail (the last
    // error is then set). A blocking outcome waits here, releasing the lock.
    bool applyOutcome(Lock& lock, const std::string& op, std::uint64_t handle,
                      bool* overrun = nullptr);
    std::size_t record(InternetCall call);
    platform::InternetHandle newHandle(std::uint64_t parent);
    bool usable(std::uint64_t handle) const;  // open, and so are its parents

    mutable std::mutex mutex_;
    std::condition_variable closed_;
    std::vector<InternetCall> calls_;
    std::map<std::string, std::deque<Outcome>> outcomes_;
    std::deque<FakeResponse> responses_;
    std::deque<std::uint32_t> dialogResults_;
    std::optional<std::u16string> crackedHost_;
    std::map<std::uint64_t, Node> nodes_;
    std::uint64_t nextHandle_ = 0x1000;
    int extraCloses_ = 0;
};

}  // namespace tessaly::fakes
