// The Internet services with every call observed on its way through: which calls failed (and in
// which of the attempt's two exchanges), which handles were opened and how often each was
// closed, and each body read as it comes back. Thread-safe: the watchdog's close comes from
// another thread while the worker is inside a call.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/internet_services.h"

namespace tessaly::hardening {

struct FailedCall {
    std::string op;
    std::uint32_t infoLevel = 0;  // for the queries
    int exchange = 0;             // 1 or 2: the requests opened so far
    std::uint32_t error = 0;
};

// One call that the job's outcome may hang on, and when it ran.
struct CallSpan {
    std::string op;
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point ended;
};

class ObservedInternet final : public platform::InternetServices {
  public:
    // Told of each successful body read, with the bytes it delivered.
    using ReadObserver = std::function<void(const std::uint8_t* data, std::uint32_t count)>;

    explicit ObservedInternet(platform::InternetServices& inner, ReadObserver onRead = {})
        : inner_(inner), onRead_(std::move(onRead)) {}

    // The first failed call that decides how an attempt ends (option calls, whose results the
    // job does not examine, and closes are left out); none when every such call succeeded.
    std::optional<FailedCall> firstFailure() const;
    // Handles opened and not closed, and handles closed more than once or never opened.
    std::vector<std::uint64_t> openHandles() const;
    std::vector<std::uint64_t> badCloses() const;
    // The calls firstFailure() looks at, in the order they ended.
    std::vector<CallSpan> timeline() const;

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
    using Clock = std::chrono::steady_clock;

    // Notes the outcome of a call that began at `started`; returns `ok`.
    bool note(bool ok, const char* op, Clock::time_point started, std::uint32_t infoLevel = 0);
    platform::InternetHandle opened(platform::InternetHandle handle, const char* op,
                                    Clock::time_point started);

    platform::InternetServices& inner_;
    ReadObserver onRead_;
    mutable std::mutex mutex_;
    int requestsOpened_ = 0;
    std::optional<FailedCall> firstFailure_;
    std::vector<CallSpan> timeline_;
    std::map<std::uint64_t, int> closes_;  // every handle opened: how often it was closed
    std::vector<std::uint64_t> strayCloses_;
};

}  // namespace tessaly::hardening
