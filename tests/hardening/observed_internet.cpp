#include "observed_internet.h"

#include "platform/last_error.h"

namespace tessaly::hardening {

using platform::InternetHandle;

bool ObservedInternet::note(bool ok, const char* op, Clock::time_point started,
                            std::uint32_t infoLevel) {
    const std::uint32_t error = ok ? 0 : platform::lastError();
    const auto ended = Clock::now();
    const std::lock_guard lock(mutex_);
    timeline_.push_back({op, started, ended});
    if (!ok && !firstFailure_) {
        firstFailure_ = FailedCall{op, infoLevel, requestsOpened_, error};
    }
    return ok;
}

InternetHandle ObservedInternet::opened(InternetHandle handle, const char* op,
                                        Clock::time_point started) {
    note(static_cast<bool>(handle), op, started);
    if (handle) {
        const std::lock_guard lock(mutex_);
        closes_.emplace(handle.value, 0);
    }
    return handle;
}

std::optional<FailedCall> ObservedInternet::firstFailure() const {
    const std::lock_guard lock(mutex_);
    return firstFailure_;
}

std::vector<CallSpan> ObservedInternet::timeline() const {
    const std::lock_guard lock(mutex_);
    return timeline_;
}

std::vector<std::uint64_t> ObservedInternet::openHandles() const {
    const std::lock_guard lock(mutex_);
    std::vector<std::uint64_t> open;
    for (const auto& [handle, count] : closes_) {
        if (count == 0) {
            open.push_back(handle);
        }
    }
    return open;
}

std::vector<std::uint64_t> ObservedInternet::badCloses() const {
    const std::lock_guard lock(mutex_);
    std::vector<std::uint64_t> bad = strayCloses_;
    for (const auto& [handle, count] : closes_) {
        if (count > 1) {
            bad.push_back(handle);
        }
    }
    return bad;
}

bool ObservedInternet::crackUrl(std::u16string_view url, std::uint32_t flags,
                                platform::UrlComponents& components) {
    const auto started = Clock::now();
    return note(inner_.crackUrl(url, flags, components), "crackUrl", started);
}

InternetHandle ObservedInternet::open(std::u16string_view agent, std::uint32_t accessType,
                                      std::u16string_view proxy, std::u16string_view proxyBypass,
                                      std::uint32_t flags) {
    const auto started = Clock::now();
    return opened(inner_.open(agent, accessType, proxy, proxyBypass, flags), "open", started);
}

bool ObservedInternet::setOption(InternetHandle handle, std::uint32_t option, std::uint32_t value) {
    return inner_.setOption(handle, option, value);
}

bool ObservedInternet::queryOption(InternetHandle handle, std::uint32_t option,
                                   std::uint32_t& value) {
    return inner_.queryOption(handle, option, value);
}

InternetHandle ObservedInternet::connect(InternetHandle root, std::u16string_view host,
                                         std::uint16_t port, std::u16string_view user,
                                         std::u16string_view password, std::uint32_t service,
                                         std::uint32_t flags, std::uintptr_t context) {
    const auto started = Clock::now();
    return opened(inner_.connect(root, host, port, user, password, service, flags, context),
                  "connect", started);
}

InternetHandle ObservedInternet::openRequest(InternetHandle connection, std::u16string_view verb,
                                             std::u16string_view objectName,
                                             std::u16string_view version,
                                             std::u16string_view referrer,
                                             std::span<const std::u16string_view> acceptTypes,
                                             std::uint32_t flags, std::uintptr_t context) {
    {
        const std::lock_guard lock(mutex_);
        ++requestsOpened_;
    }
    const auto started = Clock::now();
    return opened(inner_.openRequest(connection, verb, objectName, version, referrer, acceptTypes,
                                     flags, context),
                  "openRequest", started);
}

bool ObservedInternet::sendRequest(InternetHandle request, std::u16string_view headers,
                                   std::span<const std::uint8_t> body) {
    const auto started = Clock::now();
    return note(inner_.sendRequest(request, headers, body), "sendRequest", started);
}

bool ObservedInternet::queryInfoNumber(InternetHandle request, std::uint32_t infoLevel,
                                       std::uint32_t& value) {
    const auto started = Clock::now();
    return note(inner_.queryInfoNumber(request, infoLevel, value), "queryInfoNumber", started,
                infoLevel & ~platform::inet::kQueryFlagNumber);
}

bool ObservedInternet::queryInfoText(InternetHandle request, std::uint32_t infoLevel,
                                     std::size_t bufferBytes, std::u16string& text) {
    const auto started = Clock::now();
    return note(inner_.queryInfoText(request, infoLevel, bufferBytes, text), "queryInfoText",
                started, infoLevel);
}

bool ObservedInternet::readFile(InternetHandle request, std::uint8_t* buffer,
                                std::uint32_t bytesToRead, std::uint32_t& bytesRead) {
    const auto started = Clock::now();
    const bool ok = inner_.readFile(request, buffer, bytesToRead, bytesRead);
    if (ok && onRead_) {
        onRead_(buffer, bytesRead);
    }
    return note(ok, "readFile", started);
}

std::uint32_t ObservedInternet::errorDialog(InternetHandle request, std::uint32_t error,
                                            std::uint32_t flags) {
    return inner_.errorDialog(request, error, flags);
}

bool ObservedInternet::closeHandle(InternetHandle handle) {
    {
        const std::lock_guard lock(mutex_);
        const auto it = closes_.find(handle.value);
        if (it == closes_.end()) {
            strayCloses_.push_back(handle.value);
        } else {
            ++it->second;
        }
    }
    return inner_.closeHandle(handle);
}

}  // namespace tessaly::hardening
