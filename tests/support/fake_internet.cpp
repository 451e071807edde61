#include "fake_internet.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/last_error.h"

namespace tessaly::fakes {

namespace inet = platform::inet;
using platform::InternetHandle;

namespace {

std::u16string widen(const std::string& text) {
    return {text.begin(), text.end()};
}

constexpr std::uint32_t kDialogCancelled = 1223;  // what a dismissed dialog answers

}  // namespace

FakeResponse FakeResponse::text(std::string body) {
    FakeResponse response;
    response.contentType = u"text/plain; charset=Shift_JIS";
    response.contentLength = static_cast<std::uint32_t>(body.size());
    response.body = std::move(body);
    return response;
}

FakeResponse FakeResponse::pkcs12(std::string body, bool exportable) {
    FakeResponse response;
    response.contentType = u"application/x-pkcs12";
    response.contentLength = static_cast<std::uint32_t>(body.size());
    response.extraHeaderLines.push_back(exportable ? u"X-Exportable: 1" : u"X-Exportable: 0");
    response.body = std::move(body);
    return response;
}

FakeResponse FakeResponse::withStatus(std::uint32_t status) {
    FakeResponse response = text("");
    response.status = status;
    return response;
}

std::u16string FakeResponse::headerBlock() const {
    if (rawHeaders) {
        return *rawHeaders;
    }
    std::u16string block = u"HTTP/1.1 " + widen(std::to_string(status)) + u" Status";
    if (contentType) {
        block += u"\r\nContent-Type: " + *contentType;
    }
    if (contentLength) {
        block += u"\r\nContent-Length: " + widen(std::to_string(*contentLength));
    }
    for (const auto& line : extraHeaderLines) {
        block += u"\r\n" + line;
    }
    return block + u"\r\n\r\n";
}

void FakeInternet::reset() {
    std::lock_guard lock(mutex_);
    calls_.clear();
    outcomes_.clear();
    responses_.clear();
    dialogResults_.clear();
    crackedHost_.reset();
    nodes_.clear();
    extraCloses_ = 0;
}

void FakeInternet::queueResponse(FakeResponse response) {
    std::lock_guard lock(mutex_);
    responses_.push_back(std::move(response));
}

void FakeInternet::queueOutcome(const std::string& op, Outcome outcome) {
    std::lock_guard lock(mutex_);
    outcomes_[op].push_back(outcome);
}

void FakeInternet::queueDialogResult(std::uint32_t result) {
    std::lock_guard lock(mutex_);
    dialogResults_.push_back(result);
}

void FakeInternet::setCrackedHost(std::u16string host) {
    std::lock_guard lock(mutex_);
    crackedHost_ = std::move(host);
}

std::vector<InternetCall> FakeInternet::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<InternetCall> FakeInternet::callsTo(const std::string& op) const {
    std::lock_guard lock(mutex_);
    std::vector<InternetCall> matching;
    std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(matching),
                 [&](const InternetCall& call) { return call.op == op; });
    return matching;
}

std::vector<std::string> FakeInternet::callNames() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& call : calls_) {
        names.push_back(call.op);
    }
    return names;
}

int FakeInternet::closeCount(InternetHandle handle) const {
    std::lock_guard lock(mutex_);
    const auto it = nodes_.find(handle.value);
    return it == nodes_.end() ? 0 : it->second.closes;
}

std::vector<InternetHandle> FakeInternet::openHandles() const {
    std::lock_guard lock(mutex_);
    std::vector<InternetHandle> open;
    for (const auto& [value, node] : nodes_) {
        if (!node.closed) {
            open.push_back(InternetHandle{value});
        }
    }
    return open;
}

int FakeInternet::extraCloses() const {
    std::lock_guard lock(mutex_);
    return extraCloses_;
}

std::size_t FakeInternet::record(InternetCall call) {
    call.at = std::chrono::steady_clock::now();
    calls_.push_back(std::move(call));
    return calls_.size() - 1;
}

bool FakeInternet::applyOutcome(Lock& lock, const std::string& op, std::uint64_t handle,
                                bool* overrun) {
    auto& queue = outcomes_[op];
    const Outcome outcome = queue.empty() ? Outcome::pass() : queue.front();
    if (!queue.empty()) {
        queue.pop_front();
    }
    switch (outcome.kind) {
        case Outcome::Kind::Pass:
            if (handle != 0 && !usable(handle)) {
                platform::setLastError(inet::kErrorOperationCancelled);
                return false;
            }
            return true;
        case Outcome::Kind::Fail:
            platform::setLastError(outcome.error);
            return false;
        case Outcome::Kind::BlockUntilClosed:
            closed_.wait(lock, [&] { return !usable(handle); });
            platform::setLastError(outcome.error);
            return false;
        case Outcome::Kind::Throw:
            throw std::bad_alloc();
        case Outcome::Kind::Overrun:
            if (overrun != nullptr) {
                *overrun = true;
            }
            return true;
    }
    return true;
}

InternetHandle FakeInternet::newHandle(std::uint64_t parent) {
    const std::uint64_t value = nextHandle_++;
    nodes_[value].parent = parent;
    return InternetHandle{value};
}

bool FakeInternet::usable(std::uint64_t handle) const {
    while (handle != 0) {
        const auto it = nodes_.find(handle);
        if (it == nodes_.end() || it->second.closed) {
            return false;
        }
        handle = it->second.parent;
    }
    return true;
}

bool FakeInternet::crackUrl(std::u16string_view url, std::uint32_t flags,
                            platform::UrlComponents& c) {
    Lock lock(mutex_);
    record({.op = "crackUrl", .numbers = {flags}, .texts = {std::u16string(url)}});
    if (!applyOutcome(lock, "crackUrl", 0)) {
        return false;
    }
    const auto fail = [] {
        platform::setLastError(inet::kErrorInvalidUrl);
        return false;
    };
    const auto schemeEnd = url.find(u"://");
    if (schemeEnd == std::u16string_view::npos) {
        return fail();
    }
    c.scheme = url.substr(0, schemeEnd);
    if (c.scheme == u"https") {
        c.schemeNumber = inet::kSchemeHttps;
        c.port = inet::kDefaultHttpsPort;
    } else if (c.scheme == u"http") {
        c.schemeNumber = inet::kSchemeHttp;
        c.port = inet::kDefaultHttpPort;
    } else {
        return fail();
    }
    std::u16string_view rest = url.substr(schemeEnd + 3);
    const auto authorityEnd = std::min(rest.find(u'/'), rest.find(u'?'));
    std::u16string_view authority = rest.substr(0, authorityEnd);
    const std::u16string_view tail = authorityEnd == std::u16string_view::npos
                                         ? std::u16string_view{}
                                         : rest.substr(authorityEnd);
    if (const auto at = authority.find(u'@'); at != std::u16string_view::npos) {
        const std::u16string_view userInfo = authority.substr(0, at);
        const auto colon = userInfo.find(u':');
        c.user = userInfo.substr(0, colon);
        c.password = colon == std::u16string_view::npos ? u"" : userInfo.substr(colon + 1);
        authority = authority.substr(at + 1);
    }
    if (const auto colon = authority.find(u':'); colon != std::u16string_view::npos) {
        const std::u16string_view portText = authority.substr(colon + 1);
        std::uint32_t port = 0;
        for (const char16_t ch : portText) {
            if (ch < u'0' || ch > u'9' || port > 65535) {
                return fail();
            }
            port = port * 10 + (ch - u'0');
        }
        c.port = static_cast<std::uint16_t>(port);
        authority = authority.substr(0, colon);
    }
    c.host = crackedHost_ ? *crackedHost_ : std::u16string(authority);
    const auto query = tail.find(u'?');
    c.path = tail.substr(0, query);
    c.extra = query == std::u16string_view::npos ? u"" : tail.substr(query);
    const auto fits = [](const std::u16string& part, std::size_t capacity) {
        return part.size() + 1 <= capacity;
    };
    if (!fits(c.scheme, c.schemeCapacity) || !fits(c.host, c.hostCapacity) ||
        !fits(c.user, c.userCapacity) || !fits(c.password, c.passwordCapacity) ||
        !fits(c.path, c.pathCapacity) || !fits(c.extra, c.extraCapacity)) {
        platform::setLastError(inet::kErrorInsufficientBuffer);
        return false;
    }
    calls_.back().succeeded = true;
    return true;
}

InternetHandle FakeInternet::open(std::u16string_view agent, std::uint32_t accessType,
                                  std::u16string_view proxy, std::u16string_view proxyBypass,
                                  std::uint32_t flags) {
    Lock lock(mutex_);
    const std::size_t index = record(
        {.op = "open",
         .numbers = {accessType, flags},
         .texts = {std::u16string(agent), std::u16string(proxy), std::u16string(proxyBypass)}});
    if (!applyOutcome(lock, "open", 0)) {
        return {};
    }
    const InternetHandle handle = newHandle(0);
    calls_[index].returned = handle;
    calls_[index].succeeded = true;
    return handle;
}

bool FakeInternet::setOption(InternetHandle handle, std::uint32_t option, std::uint32_t value) {
    Lock lock(mutex_);
    const std::size_t index =
        record({.op = "setOption", .handle = handle, .numbers = {option, value}});
    if (!applyOutcome(lock, "setOption", handle.value)) {
        return false;
    }
    nodes_[handle.value].options[option] = value;
    calls_[index].succeeded = true;
    return true;
}

bool FakeInternet::queryOption(InternetHandle handle, std::uint32_t option, std::uint32_t& value) {
    Lock lock(mutex_);
    const std::size_t index = record({.op = "queryOption", .handle = handle, .numbers = {option}});
    if (!applyOutcome(lock, "queryOption", handle.value)) {
        return false;
    }
    value = nodes_[handle.value].options[option];
    calls_[index].succeeded = true;
    return true;
}

InternetHandle FakeInternet::connect(InternetHandle root, std::u16string_view host,
                                     std::uint16_t port, std::u16string_view user,
                                     std::u16string_view password, std::uint32_t service,
                                     std::uint32_t flags, std::uintptr_t context) {
    Lock lock(mutex_);
    const std::size_t index =
        record({.op = "connect",
                .handle = root,
                .numbers = {port, service, flags, context},
                .texts = {std::u16string(host), std::u16string(user), std::u16string(password)}});
    if (!applyOutcome(lock, "connect", root.value)) {
        return {};
    }
    const InternetHandle handle = newHandle(root.value);
    calls_[index].returned = handle;
    calls_[index].succeeded = true;
    return handle;
}

InternetHandle FakeInternet::openRequest(InternetHandle connection, std::u16string_view verb,
                                         std::u16string_view objectName,
                                         std::u16string_view version, std::u16string_view referrer,
                                         std::span<const std::u16string_view> acceptTypes,
                                         std::uint32_t flags, std::uintptr_t context) {
    Lock lock(mutex_);
    InternetCall call{.op = "openRequest",
                      .handle = connection,
                      .numbers = {flags, context, acceptTypes.size()},
                      .texts = {std::u16string(verb), std::u16string(objectName),
                                std::u16string(version), std::u16string(referrer)}};
    for (const auto type : acceptTypes) {
        call.texts.emplace_back(type);
    }
    const std::size_t index = record(std::move(call));
    if (!applyOutcome(lock, "openRequest", connection.value)) {
        return {};
    }
    const InternetHandle handle = newHandle(connection.value);
    calls_[index].returned = handle;
    calls_[index].succeeded = true;
    return handle;
}

bool FakeInternet::sendRequest(InternetHandle request, std::u16string_view headers,
                               std::span<const std::uint8_t> body) {
    Lock lock(mutex_);
    const std::size_t index =
        record({.op = "sendRequest",
                .handle = request,
                .numbers = {body.size()},
                .texts = {std::u16string(headers)},
                .bytes = std::string(reinterpret_cast<const char*>(body.data()), body.size())});
    if (!applyOutcome(lock, "sendRequest", request.value)) {
        return false;
    }
    if (responses_.empty()) {
        platform::setLastError(inet::kErrorCannotConnect);
        return false;
    }
    Node& node = nodes_[request.value];
    node.response = std::move(responses_.front());
    node.readPosition = 0;
    responses_.pop_front();
    calls_[index].succeeded = true;
    return true;
}

bool FakeInternet::queryInfoNumber(InternetHandle request, std::uint32_t infoLevel,
                                   std::uint32_t& value) {
    Lock lock(mutex_);
    const std::size_t index =
        record({.op = "queryInfoNumber", .handle = request, .numbers = {infoLevel}});
    if (!applyOutcome(lock, "queryInfoNumber", request.value)) {
        return false;
    }
    const auto& response = nodes_[request.value].response;
    std::optional<std::uint32_t> answer;
    if (response && infoLevel == (inet::kQueryFlagNumber | inet::kQueryStatusCode) &&
        response->statusReadable) {
        answer = response->status;
    } else if (response && infoLevel == (inet::kQueryFlagNumber | inet::kQueryContentLength)) {
        answer = response->contentLength;
    }
    if (!answer) {
        platform::setLastError(inet::kErrorHeaderNotFound);
        return false;
    }
    value = *answer;
    calls_[index].succeeded = true;
    return true;
}

bool FakeInternet::queryInfoText(InternetHandle request, std::uint32_t infoLevel,
                                 std::size_t bufferBytes, std::u16string& text) {
    Lock lock(mutex_);
    const std::size_t index =
        record({.op = "queryInfoText", .handle = request, .numbers = {infoLevel, bufferBytes}});
    if (!applyOutcome(lock, "queryInfoText", request.value)) {
        return false;
    }
    const auto& response = nodes_[request.value].response;
    std::optional<std::u16string> answer;
    if (response && infoLevel == inet::kQueryContentType) {
        answer = response->contentType;
    } else if (response && infoLevel == inet::kQueryRawHeadersCrlf) {
        answer = response->headerBlock();
    }
    if (!answer) {
        platform::setLastError(inet::kErrorHeaderNotFound);
        return false;
    }
    if ((answer->size() + 1) * sizeof(char16_t) > bufferBytes) {
        platform::setLastError(inet::kErrorInsufficientBuffer);
        return false;
    }
    text = *answer;
    calls_[index].succeeded = true;
    return true;
}

bool FakeInternet::readFile(InternetHandle request, std::uint8_t* buffer, std::uint32_t bytesToRead,
                            std::uint32_t& bytesRead) {
    Lock lock(mutex_);
    const std::size_t index =
        record({.op = "readFile", .handle = request, .numbers = {bytesToRead}});
    bool overrun = false;
    if (!applyOutcome(lock, "readFile", request.value, &overrun)) {
        bytesRead = 0;
        return false;
    }
    Node& node = nodes_[request.value];
    const std::string& body = node.response ? node.response->body : std::string();
    const std::size_t count = std::min<std::size_t>(bytesToRead, body.size() - node.readPosition);
    if (count != 0) {
        std::memcpy(buffer, body.data() + node.readPosition, count);
    }
    node.readPosition += count;
    bytesRead = overrun ? bytesToRead + 1 : static_cast<std::uint32_t>(count);
    calls_[index].succeeded = true;
    return true;
}

std::uint32_t FakeInternet::errorDialog(InternetHandle request, std::uint32_t error,
                                        std::uint32_t flags) {
    Lock lock(mutex_);
    const std::size_t index =
        record({.op = "errorDialog", .handle = request, .numbers = {error, flags}});
    std::uint32_t result = kDialogCancelled;
    if (!dialogResults_.empty()) {
        result = dialogResults_.front();
        dialogResults_.pop_front();
    }
    calls_[index].numbers.push_back(result);
    calls_[index].succeeded = true;
    return result;
}

bool FakeInternet::closeHandle(InternetHandle handle) {
    Lock lock(mutex_);
    const std::size_t index = record({.op = "closeHandle", .handle = handle});
    const auto it = nodes_.find(handle.value);
    if (it == nodes_.end() || it->second.closed) {
        ++extraCloses_;
        if (it != nodes_.end()) {
            ++it->second.closes;
        }
        platform::setLastError(inet::kErrorInvalidHandle);
        return false;
    }
    it->second.closed = true;
    ++it->second.closes;
    calls_[index].succeeded = true;
    closed_.notify_all();
    return true;
}

}  // namespace tessaly::fakes
