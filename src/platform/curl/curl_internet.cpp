#include "platform/curl/curl_internet.h"

#include <curl/curl.h>

#include <malloc.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <variant>

#include "platform/curl/scoped_types.h"
#include "platform/curl/text.h"
#include "platform/curl/tls.h"
#include "platform/curl/url_split.h"
#include "platform/last_error.h"

namespace tessaly::platform::curl {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kOpenTypeDirect = 1;
constexpr std::uint32_t kOpenTypeProxy = 3;
constexpr std::uint32_t kFlagAsync = 0x10000000;
constexpr std::uint32_t kErrorNotEnoughMemory = 8;
constexpr std::uint32_t kDefaultTimeoutMs = 60000;
constexpr std::uint32_t kSecurityFlagsIgnoring =
    inet::kSecurityIgnoreCertDateInvalid | inet::kSecurityIgnoreCertCnInvalid |
    inet::kSecurityIgnoreUnknownCa | inet::kSecurityIgnoreRevocation;

bool fail(std::uint32_t error) {
    setLastError(error);
    return false;
}

InternetHandle noHandle(std::uint32_t error) {
    setLastError(error);
    return {};
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) {
                   return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
               };
               return lower(x) == lower(y);
           });
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// Text that goes into a request line or header as it is: printable ASCII, no space.
bool isPlainToken(std::u16string_view text) {
    return std::all_of(text.begin(), text.end(), [](char16_t c) { return c > u' ' && c < 0x7F; });
}

bool hasLineBreak(std::u16string_view text) {
    return text.find_first_of(u"\r\n") != std::u16string_view::npos ||
           text.find(u'\0') != std::u16string_view::npos;
}

// The WinINet-style error number for a transfer that ended without a usable response.
std::uint32_t transferError(CURLcode code, long verifyResult, bool clientCertificateWanted) {
    if (clientCertificateWanted && code != CURLE_OPERATION_TIMEDOUT &&
        code != CURLE_PEER_FAILED_VERIFICATION) {
        return inet::kErrorClientAuthCertNeeded;
    }
    switch (code) {
        case CURLE_PEER_FAILED_VERIFICATION:
            return certificateError(verifyResult);
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return inet::kErrorNameNotResolved;
        case CURLE_COULDNT_CONNECT:
            return inet::kErrorCannotConnect;
        case CURLE_OPERATION_TIMEDOUT:
            return inet::kErrorTimeout;
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return inet::kErrorInvalidUrl;
        case CURLE_ABORTED_BY_CALLBACK:
            return inet::kErrorOperationCancelled;
        case CURLE_OUT_OF_MEMORY:
            return kErrorNotEnoughMemory;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
            return CurlInternet::kErrorSecurityChannelError;
        case CURLE_GOT_NOTHING:
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_HTTP2:
        case CURLE_BAD_CONTENT_ENCODING:
            return CurlInternet::kErrorInvalidServerResponse;
        case CURLE_RECV_ERROR:
            return inet::kErrorConnectionReset;
        default:
            return inet::kErrorConnectionAborted;
    }
}

std::string_view reasonPhrase(long status) {
    switch (status) {
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 407:
            return "Proxy Authentication Required";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        default:
            return "Error";
    }
}

// ---- The objects behind the handles --------------------------------------------------------

// Shared by a root handle and everything opened under it; the multi handle (and with it the
// connection cache) lives until the last of them is gone.
struct RootState {
    std::string agent;
    std::uint32_t accessType = inet::kOpenTypePreconfig;
    std::string proxy;
    std::string proxyBypass;
    std::shared_ptr<const TrustStore> trust;
    std::atomic<std::uint32_t> connectTimeoutMs{kDefaultTimeoutMs};
    std::atomic<std::uint32_t> sendTimeoutMs{kDefaultTimeoutMs};
    std::atomic<std::uint32_t> receiveTimeoutMs{kDefaultTimeoutMs};
    std::atomic<bool> closed{false};

    // Serialises all curl work under this root. Never held while a prompt is shown, and never
    // taken by the closing of the root, which only sets `closed` and wakes the multi handle.
    std::mutex use;
    HandshakeEvents handshakes;  // guarded by `use`; outlives every TLS context of `multi`
    // The connection the last complete answer came on (guarded by `use`). Bytes arriving on it
    // after the answer belong to no request; read as the next answer they would pass for the
    // server's reply to a request it may not even have read. Once that is seen, every later
    // request under this root goes out on a fresh connection.
    curl_socket_t lastAnswerSocket = CURL_SOCKET_BAD;
    bool freshConnections = false;
    MultiPtr multi;  // declared last: cleaned up first

    void wake() const { curl_multi_wakeup(multi.get()); }
};

struct ConnectionState {
    std::shared_ptr<RootState> root;
    std::string host;         // UTF-8, without brackets
    std::u16string hostText;  // as given, for the dialogs
    std::uint16_t port = 0;   // 0: the default port of the request's scheme
    NarrowString user;        // server credentials from the URL, usually none
    NarrowString password;
    std::atomic<bool> closed{false};

    // Given through the error dialogs; every later send on this connection uses them.
    // Guarded by root->use.
    bool hasProxyCredentials = false;
    NarrowString proxyUser;
    NarrowString proxyPassword;
    std::shared_ptr<const ClientIdentity> clientIdentity;

    ~ConnectionState() {
        wipe(password);
        wipe(proxyUser);
        wipe(proxyPassword);
    }
};

enum class Verb { Get, Post };

struct RequestState {
    std::shared_ptr<ConnectionState> connection;
    EasyPtr easy;
    SlistPtr headerList;
    std::atomic<bool> closed{false};

    // Fixed when the request is opened.
    bool secure = false;
    Verb verb = Verb::Post;
    std::string acceptLine;  // "Accept: ..." or "Accept:" to send none

    // The current transfer; guarded by root->use.
    bool attached = false;  // in the root's multi handle
    SecureBytes body;       // the request body; curl reads it from here
    std::string headInProgress;
    std::string head;  // status line and header lines, each ending CR LF, then an empty line
    bool headComplete = false;
    SecureBytes received;  // body bytes not yet read
    std::size_t receivedOffset = 0;
    bool done = false;
    CURLcode result = CURLE_OK;
    Clock::time_point lastActivity{};
    curl_off_t uploaded = 0;
    std::string proxyAddress;  // "ip:port" of the proxy that refused the tunnel

    RootState& root() const { return *connection->root; }
    bool cancelled() const { return closed || connection->closed || connection->root->closed; }
    std::size_t available() const { return received.size() - receivedOffset; }

    void detach() {
        if (attached) {
            curl_multi_remove_handle(root().multi.get(), easy.get());
            attached = false;
        }
    }

    ~RequestState() {
        const std::lock_guard lock(root().use);
        detach();
        easy.reset();
        headerList.reset();
    }
};

// ---- curl callbacks (run inside curl_multi_perform, under root->use) ------------------------

int statusOfLine(std::string_view line) {
    // "HTTP/1.1 200 OK"
    const auto space = line.find(' ');
    if (space == std::string_view::npos || line.size() < space + 4) {
        return 0;
    }
    int status = 0;
    for (std::size_t i = space + 1; i < space + 4; ++i) {
        if (line[i] < '0' || line[i] > '9') {
            return 0;
        }
        status = status * 10 + (line[i] - '0');
    }
    return status;
}

// Collects the head of the response: the status line and header lines of the final response,
// interim (1xx) heads dropped. An exception must not cross curl's C frames: a failure to
// store makes the transfer fail instead.
std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) noexcept {
    auto& request = *static_cast<RequestState*>(user);
    const std::size_t length = size * count;
    request.lastActivity = Clock::now();
    std::string_view line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    if (request.headComplete) {
        return length;  // trailers of a chunked body
    }
    try {
        if (line.starts_with("HTTP/")) {
            request.headInProgress.assign(line);
            request.headInProgress += "\r\n";
        } else if (line.empty()) {
            const int status = statusOfLine(request.headInProgress);
            if (status >= 100 && status < 200) {
                request.headInProgress.clear();  // an interim response; the final one follows
            } else if (!request.headInProgress.empty()) {
                request.head = std::move(request.headInProgress);
                request.head += "\r\n";
                request.headInProgress.clear();
                request.headComplete = true;
            }
        } else if (!request.headInProgress.empty()) {
            request.headInProgress.append(line);
            request.headInProgress += "\r\n";
        }
    } catch (...) {
        return 0;
    }
    return length;
}

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) noexcept {
    auto& request = *static_cast<RequestState*>(user);
    const std::size_t length = size * count;
    request.lastActivity = Clock::now();
    try {
        request.received.insert(request.received.end(), reinterpret_cast<std::uint8_t*>(data),
                                reinterpret_cast<std::uint8_t*>(data) + length);
    } catch (...) {
        return 0;
    }
    return length;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploadedNow) noexcept {
    auto& request = *static_cast<RequestState*>(user);
    if (uploadedNow != request.uploaded) {
        request.uploaded = uploadedNow;
        request.lastActivity = Clock::now();
    }
    return 0;
}

CURLcode onTlsContext(CURL*, void* context, void* user) noexcept {
    auto& request = *static_cast<RequestState*>(user);
    RootState& root = request.root();
    const bool ready = prepareContext(static_cast<SSL_CTX*>(context), *root.trust,
                                      request.connection->clientIdentity.get(), root.handshakes);
    return ready ? CURLE_OK : CURLE_SSL_CERTPROBLEM;
}

// The value of the first header line named `name` in a head; nothing when absent.
std::optional<std::string_view> headerValue(std::string_view head, std::string_view name) {
    std::size_t at = head.find("\r\n");  // skip the status line
    while (at != std::string_view::npos && at + 2 < head.size()) {
        const std::size_t start = at + 2;
        const std::size_t end = head.find("\r\n", start);
        const std::string_view line = head.substr(start, end - start);
        const auto colon = line.find(':');
        if (colon != std::string_view::npos && equalsIgnoringCase(line.substr(0, colon), name)) {
            return trim(line.substr(colon + 1));
        }
        at = end;
    }
    return std::nullopt;
}

}  // namespace

// ---- The services ---------------------------------------------------------------------------

class CurlInternet::Impl {
  public:
    explicit Impl(CurlInternetOptions options)
        : trustedRoots_(std::move(options.trustedRoots)),
          systemCaBundle_(std::move(options.systemCaBundle)),
          systemCaDirectory_(std::move(options.systemCaDirectory)),
          prompts_(options.prompts) {}

    ~Impl() {
        std::unordered_map<std::uint64_t, Node> nodes;
        {
            const std::lock_guard lock(registryMutex_);
            nodes.swap(nodes_);
        }
        // Requests first: each takes its root's lock while it leaves the multi handle.
        for (auto it = nodes.begin(); it != nodes.end();) {
            it = std::holds_alternative<std::shared_ptr<RequestState>>(it->second) ? nodes.erase(it)
                                                                                   : std::next(it);
        }
    }

    InternetHandle open(std::u16string_view agent, std::uint32_t accessType,
                        std::u16string_view proxy, std::u16string_view proxyBypass,
                        std::uint32_t flags) {
        if ((flags & kFlagAsync) != 0 || hasLineBreak(agent) ||
            (accessType != inet::kOpenTypePreconfig && accessType != kOpenTypeDirect &&
             accessType != kOpenTypeProxy) ||
            (accessType == kOpenTypeProxy && proxy.empty())) {
            return noHandle(kErrorInvalidParameter);
        }
        auto root = std::make_shared<RootState>();
        root->agent = toUtf8(agent);
        root->accessType = accessType;
        root->proxy = toUtf8(proxy);
        root->proxyBypass = toUtf8(proxyBypass);
        root->trust = trustStore();
        root->multi.reset(curl_multi_init());
        if (!root->trust || !root->multi) {
            return noHandle(kErrorNotEnoughMemory);
        }
        return add(std::move(root));
    }

    bool setOption(InternetHandle handle, std::uint32_t option, std::uint32_t value) {
        if (option == inet::kOptionSecurityFlags) {
            auto request = find<RequestState>(handle);
            if (!request) {
                return false;
            }
            // Certificate checks stay on whatever a caller asks.
            if ((value & kSecurityFlagsIgnoring) != 0) {
                return fail(kErrorOptionNotSettable);
            }
            return true;
        }
        auto root = rootOf(handle);
        if (!root) {
            return false;
        }
        auto* timeout = timeoutOf(*root, option);
        if (timeout == nullptr) {
            return fail(kErrorInvalidOption);
        }
        timeout->store(value);
        return true;
    }

    bool queryOption(InternetHandle handle, std::uint32_t option, std::uint32_t& value) {
        if (option == inet::kOptionSecurityFlags) {
            if (!find<RequestState>(handle)) {
                return false;
            }
            value = 0;  // nothing is ever ignored
            return true;
        }
        auto root = rootOf(handle);
        if (!root) {
            return false;
        }
        const auto* timeout = timeoutOf(*root, option);
        if (timeout == nullptr) {
            return fail(kErrorInvalidOption);
        }
        value = timeout->load();
        return true;
    }

    // The time-out a root option names; none for any other option.
    static std::atomic<std::uint32_t>* timeoutOf(RootState& root, std::uint32_t option) {
        switch (option) {
            case inet::kOptionConnectTimeout:
                return &root.connectTimeoutMs;
            case inet::kOptionSendTimeout:
                return &root.sendTimeoutMs;
            case inet::kOptionReceiveTimeout:
                return &root.receiveTimeoutMs;
            default:
                return nullptr;
        }
    }

    InternetHandle connect(InternetHandle rootHandle, std::u16string_view host, std::uint16_t port,
                           std::u16string_view user, std::u16string_view password,
                           std::uint32_t service) {
        auto root = find<RootState>(rootHandle);
        if (!root) {
            return {};
        }
        if (root->closed) {
            return noHandle(inet::kErrorOperationCancelled);
        }
        if (service != inet::kServiceHttp || host.empty() || hasLineBreak(host) ||
            hasLineBreak(user) || hasLineBreak(password)) {
            return noHandle(kErrorInvalidParameter);
        }
        auto connection = std::make_shared<ConnectionState>();
        connection->root = std::move(root);
        connection->host = toUtf8(host);
        connection->hostText.assign(host);
        connection->port = port;
        connection->user = toSecureUtf8(user);
        connection->password = toSecureUtf8(password);
        return add(std::move(connection));
    }

    InternetHandle openRequest(InternetHandle connectionHandle, std::u16string_view verb,
                               std::u16string_view objectName, std::u16string_view version,
                               std::u16string_view referrer,
                               std::span<const std::u16string_view> acceptTypes,
                               std::uint32_t flags) {
        auto connection = find<ConnectionState>(connectionHandle);
        if (!connection) {
            return {};
        }
        if (connection->closed || connection->root->closed) {
            return noHandle(inet::kErrorOperationCancelled);
        }
        auto request = std::make_shared<RequestState>();
        request->connection = connection;
        request->secure = (flags & inet::kFlagSecure) != 0;
        if (verb == u"POST") {
            request->verb = Verb::Post;
        } else if (verb == u"GET") {
            request->verb = Verb::Get;
        } else {
            return noHandle(kErrorInvalidParameter);
        }
        long httpVersion = CURL_HTTP_VERSION_1_1;
        if (version == u"HTTP/1.0") {
            httpVersion = CURL_HTTP_VERSION_1_0;
        } else if (!version.empty() && version != u"HTTP/1.1") {
            return noHandle(kErrorInvalidParameter);
        }
        if (hasLineBreak(referrer)) {
            return noHandle(kErrorInvalidParameter);
        }
        request->acceptLine = "Accept:";
        for (std::size_t i = 0; i < acceptTypes.size(); ++i) {
            if (hasLineBreak(acceptTypes[i])) {
                return noHandle(kErrorInvalidParameter);
            }
            request->acceptLine += i == 0 ? " " : ", ";
            request->acceptLine += toUtf8(acceptTypes[i]);
        }

        // The object name goes on the request line as it is: a path (query included) is
        // appended to the server's address; anything else is sent as the request target.
        const std::u16string_view target = objectName.empty() ? u"/" : objectName;
        if (!isPlainToken(target)) {
            return noHandle(inet::kErrorInvalidUrl);
        }
        const std::uint16_t port =
            connection->port != 0
                ? connection->port
                : (request->secure ? inet::kDefaultHttpsPort : inet::kDefaultHttpPort);
        const bool literalIpv6 = connection->host.find(':') != std::string::npos;
        std::string url = request->secure ? "https://" : "http://";
        url += literalIpv6 ? "[" + connection->host + "]" : connection->host;
        url += ":" + std::to_string(port);
        std::string requestTarget;
        if (target.front() == u'/') {
            url += toUtf8(target);
        } else {
            url += "/";
            requestTarget = toUtf8(target);
        }
        if (!isValidUrl(url)) {
            return noHandle(inet::kErrorInvalidUrl);
        }

        request->easy.reset(curl_easy_init());
        if (!request->easy) {
            return noHandle(kErrorNotEnoughMemory);
        }
        const RootState& root = *connection->root;
        CURL* easy = request->easy.get();
        CURLcode rc = CURLE_OK;
        const auto check = [&rc](CURLcode result) {
            if (rc == CURLE_OK) {
                rc = result;
            }
        };
        RequestState* self = request.get();
        check(curl_easy_setopt(easy, CURLOPT_PRIVATE, self));
        check(curl_easy_setopt(easy, CURLOPT_URL, url.c_str()));
        check(curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L));
        if (!requestTarget.empty()) {
            check(curl_easy_setopt(easy, CURLOPT_REQUEST_TARGET, requestTarget.c_str()));
        }
        check(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https"));
        check(curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L));
        check(curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, httpVersion));
        check(curl_easy_setopt(easy, CURLOPT_USERAGENT, root.agent.c_str()));
        if (!referrer.empty()) {
            check(curl_easy_setopt(easy, CURLOPT_REFERER, toUtf8(referrer).c_str()));
        }
        check(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L));
        check(curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader));
        check(curl_easy_setopt(easy, CURLOPT_HEADERDATA, self));
        check(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody));
        check(curl_easy_setopt(easy, CURLOPT_WRITEDATA, self));
        check(curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L));
        check(curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, onProgress));
        check(curl_easy_setopt(easy, CURLOPT_XFERINFODATA, self));
        check(curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L));
        // TLS: always verified, never below TLS 1.2, against the shared trust store that
        // onTlsContext installs (so curl itself loads no CA file).
        check(curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr));
        check(curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr));
        check(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L));
        check(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L));
        check(curl_easy_setopt(easy, CURLOPT_SSLVERSION, long{CURL_SSLVERSION_TLSv1_2}));
        check(curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, onTlsContext));
        check(curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, self));
        // Proxy: curl's own reading of https_proxy, http_proxy and no_proxy unless the root
        // names one or none.
        if (root.accessType == kOpenTypeDirect) {
            check(curl_easy_setopt(easy, CURLOPT_PROXY, ""));
        } else if (root.accessType == kOpenTypeProxy) {
            check(curl_easy_setopt(easy, CURLOPT_PROXY, root.proxy.c_str()));
            check(curl_easy_setopt(easy, CURLOPT_NOPROXY, root.proxyBypass.c_str()));
        }
        // Through a tunnel curl negotiates the scheme itself; on a plain request a probe would
        // show its 407 to us as if it were the answer, so only Basic is offered there.
        check(curl_easy_setopt(easy, CURLOPT_PROXYAUTH,
                               request->secure ? CURLAUTH_ANY : CURLAUTH_BASIC));
        if (!connection->user.empty()) {
            check(curl_easy_setopt(easy, CURLOPT_HTTPAUTH, CURLAUTH_BASIC));
            check(curl_easy_setopt(easy, CURLOPT_USERNAME, connection->user.c_str()));
            check(curl_easy_setopt(easy, CURLOPT_PASSWORD, connection->password.c_str()));
        }
        if (request->verb == Verb::Post) {
            check(curl_easy_setopt(easy, CURLOPT_POST, 1L));
        } else {
            check(curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L));
        }
        if (rc != CURLE_OK) {
            return noHandle(rc == CURLE_OUT_OF_MEMORY ? kErrorNotEnoughMemory
                                                      : kErrorInvalidParameter);
        }
        return add(std::move(request));
    }

    bool sendRequest(InternetHandle handle, std::u16string_view headers,
                     std::span<const std::uint8_t> body) {
        const auto request = find<RequestState>(handle);
        if (!request) {
            return false;
        }
        RootState& root = request->root();
        const std::unique_lock lock(root.use);
        if (request->cancelled()) {
            return fail(inet::kErrorOperationCancelled);
        }
        if (!start(*request, headers, body)) {
            return false;
        }
        root.handshakes.reset();
        if (!pump(
                *request, [&] { return sendPhaseLimit(*request); },
                [&] { return request->headComplete; })) {
            return false;
        }
        if (request->headComplete) {
            return true;
        }
        return finishWithoutHead(*request);
    }

    bool queryInfoNumber(InternetHandle handle, std::uint32_t infoLevel, std::uint32_t& value) {
        const auto request = find<RequestState>(handle);
        if (!request) {
            return false;
        }
        const std::lock_guard lock(request->root().use);
        if (!readyForQueries(*request)) {
            return false;
        }
        if ((infoLevel & inet::kQueryFlagNumber) == 0) {
            return fail(kErrorInvalidParameter);
        }
        std::string_view text;
        switch (infoLevel & ~inet::kQueryFlagNumber) {
            case inet::kQueryStatusCode:
                value = static_cast<std::uint32_t>(statusOfLine(request->head));
                return true;
            case inet::kQueryContentLength: {
                const auto length = headerValue(request->head, "Content-Length");
                if (!length) {
                    return fail(inet::kErrorHeaderNotFound);
                }
                text = *length;
                break;
            }
            default:
                return fail(kErrorInvalidParameter);
        }
        std::uint64_t number = 0;
        if (text.empty() || text.size() > 10) {
            return fail(inet::kErrorHeaderNotFound);
        }
        for (const char c : text) {
            if (c < '0' || c > '9') {
                return fail(inet::kErrorHeaderNotFound);
            }
            number = number * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (number > UINT32_MAX) {
            return fail(inet::kErrorHeaderNotFound);
        }
        value = static_cast<std::uint32_t>(number);
        return true;
    }

    bool queryInfoText(InternetHandle handle, std::uint32_t infoLevel, std::size_t bufferBytes,
                       std::u16string& text) {
        const auto request = find<RequestState>(handle);
        if (!request) {
            return false;
        }
        const std::lock_guard lock(request->root().use);
        if (!readyForQueries(*request)) {
            return false;
        }
        std::string_view answer;
        std::string status;
        switch (infoLevel) {
            case inet::kQueryRawHeadersCrlf:
                answer = request->head;
                break;
            case inet::kQueryStatusCode:
                status = std::to_string(statusOfLine(request->head));
                answer = status;
                break;
            case inet::kQueryContentType:
            case inet::kQueryContentLength: {
                const auto value = headerValue(request->head, infoLevel == inet::kQueryContentType
                                                                  ? "Content-Type"
                                                                  : "Content-Length");
                if (!value) {
                    return fail(inet::kErrorHeaderNotFound);
                }
                answer = *value;
                break;
            }
            default:
                return fail(kErrorInvalidParameter);
        }
        if ((answer.size() + 1) * sizeof(char16_t) > bufferBytes) {
            return fail(inet::kErrorInsufficientBuffer);
        }
        text = fromLatin1(answer);
        return true;
    }

    bool readFile(InternetHandle handle, std::uint8_t* buffer, std::uint32_t bytesToRead,
                  std::uint32_t& bytesRead) {
        bytesRead = 0;
        const auto request = find<RequestState>(handle);
        if (!request) {
            return false;
        }
        RootState& root = request->root();
        const std::lock_guard lock(root.use);
        if (!readyForQueries(*request)) {
            return false;
        }
        if (bytesToRead == 0) {
            return true;
        }
        if (buffer == nullptr) {
            return fail(kErrorInvalidParameter);
        }
        if (!pump(
                *request, [&] { return root.receiveTimeoutMs.load(); },
                [&] { return request->available() >= bytesToRead; })) {
            return false;
        }
        const std::size_t count = std::min<std::size_t>(request->available(), bytesToRead);
        if (count < bytesToRead && request->result != CURLE_OK) {
            // The body ended early: a cut body is never handed out as if it were whole.
            return fail(transferError(request->result, 0, false));
        }
        if (count != 0) {
            std::memcpy(buffer, request->received.data() + request->receivedOffset, count);
        }
        request->receivedOffset += count;
        if (request->available() == 0) {
            secureZero(request->received.data(), request->received.size());
            request->received.clear();
            request->receivedOffset = 0;
        }
        bytesRead = static_cast<std::uint32_t>(count);
        return true;
    }

    std::uint32_t errorDialog(InternetHandle handle, std::uint32_t error) {
        const auto request = find<RequestState>(handle);
        if (!request) {
            return inet::kErrorInvalidHandle;
        }
        if (prompts_ == nullptr ||
            (error != inet::kErrorIncorrectPassword && error != inet::kErrorClientAuthCertNeeded)) {
            return kErrorCancelled;
        }
        ConnectionState& connection = *request->connection;
        RootState& root = request->root();
        const std::u16string server =
            connection.hostText + u":" + fromLatin1(std::to_string(portOf(*request)));

        if (error == inet::kErrorIncorrectPassword) {
            ProxyCredentialsRequest question;
            {
                const std::lock_guard lock(root.use);
                question.proxy = fromLatin1(request->proxyAddress);
            }
            question.server = server;
            std::optional<ProxyCredentials> answer = prompts_->askProxyCredentials(question);
            if (!answer) {
                return kErrorCancelled;
            }
            NarrowString user = toSecureUtf8(answer->user);
            NarrowString password = toSecureUtf8(answer->password);
            // Short strings live inside the objects, where no allocator wipes them.
            const WipeOnExit wipeUser(user);
            const WipeOnExit wipePassword(password);
            wipe(answer->user);
            wipe(answer->password);
            const std::lock_guard lock(root.use);
            if (request->cancelled()) {
                return inet::kErrorOperationCancelled;
            }
            wipe(connection.proxyUser);
            wipe(connection.proxyPassword);
            connection.proxyUser = user;
            connection.proxyPassword = password;
            connection.hasProxyCredentials = true;
            return inet::kErrorForceRetry;
        }

        ClientCertificateRequest question;
        {
            const std::lock_guard lock(root.use);
            question.acceptedIssuers = root.handshakes.acceptedIssuers;
        }
        question.server = server;
        std::optional<ClientCertificate> answer = prompts_->chooseClientCertificate(question);
        if (!answer) {
            return kErrorCancelled;
        }
        std::shared_ptr<const ClientIdentity> identity = ClientIdentity::load(*answer);
        wipe(answer->privateKey);
        wipe(answer->keyPassword);
        if (!identity) {
            return kErrorSecurityChannelError;  // the TLS client cannot use this key
        }
        const std::lock_guard lock(root.use);
        if (request->cancelled()) {
            return inet::kErrorOperationCancelled;
        }
        connection.clientIdentity = std::move(identity);
        return inet::kErrorSuccess;
    }

    bool closeHandle(InternetHandle handle) {
        Node node;
        {
            const std::lock_guard lock(registryMutex_);
            const auto it = nodes_.find(handle.value);
            if (it == nodes_.end()) {
                return fail(inet::kErrorInvalidHandle);
            }
            node = std::move(it->second);
            nodes_.erase(it);
        }
        // Mark it closed and wake the root, so that a call blocked under it fails now. What the
        // handle owns is released when the last call using it has returned.
        std::visit(
            [](const auto& state) {
                state->closed = true;
                rootOfState(*state).wake();
            },
            node);
        return true;
    }

    std::size_t openHandleCount() {
        const std::lock_guard lock(registryMutex_);
        return nodes_.size();
    }

  private:
    using Node = std::variant<std::shared_ptr<RootState>, std::shared_ptr<ConnectionState>,
                              std::shared_ptr<RequestState>>;

    static RootState& rootOfState(RootState& root) { return root; }
    static RootState& rootOfState(ConnectionState& connection) { return *connection.root; }
    static RootState& rootOfState(RequestState& request) { return request.root(); }

    // The trust store, made at the first root: curl's default CA bundle and directory plus
    // the trusted roots given to the constructor.
    std::shared_ptr<const TrustStore> trustStore() {
        const std::lock_guard lock(trustMutex_);
        if (!trust_) {
            std::string bundle = systemCaBundle_;
            std::string directory = systemCaDirectory_;
            const EasyPtr probe{bundle.empty() || directory.empty() ? curl_easy_init() : nullptr};
            if (probe && bundle.empty()) {
                const char* text = nullptr;
                if (curl_easy_getinfo(probe.get(), CURLINFO_CAINFO, &text) == CURLE_OK && text) {
                    bundle = text;
                }
            }
            if (probe && directory.empty()) {
                const char* text = nullptr;
                if (curl_easy_getinfo(probe.get(), CURLINFO_CAPATH, &text) == CURLE_OK && text) {
                    directory = text;
                }
            }
            trust_ = std::make_shared<const TrustStore>(bundle, directory, trustedRoots_);
        }
        return trust_;
    }

    static bool isValidUrl(const std::string& url) {
        const UrlPtr parsed(curl_url());
        return parsed && curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
    }

    static std::uint16_t portOf(const RequestState& request) {
        const std::uint16_t port = request.connection->port;
        if (port != 0) {
            return port;
        }
        return request.secure ? inet::kDefaultHttpsPort : inet::kDefaultHttpPort;
    }

    template <class State>
    InternetHandle add(std::shared_ptr<State> state) {
        const std::lock_guard lock(registryMutex_);
        const std::uint64_t value = nextHandle_++;
        nodes_.emplace(value, Node(std::move(state)));
        return InternetHandle{value};
    }

    template <class State>
    std::shared_ptr<State> find(InternetHandle handle) {
        const std::lock_guard lock(registryMutex_);
        const auto it = nodes_.find(handle.value);
        if (it != nodes_.end()) {
            if (const auto* state = std::get_if<std::shared_ptr<State>>(&it->second)) {
                return *state;
            }
        }
        setLastError(inet::kErrorInvalidHandle);
        return nullptr;
    }

    // The root above any handle.
    std::shared_ptr<RootState> rootOf(InternetHandle handle) {
        const std::lock_guard lock(registryMutex_);
        const auto it = nodes_.find(handle.value);
        if (it == nodes_.end()) {
            setLastError(inet::kErrorInvalidHandle);
            return nullptr;
        }
        return std::visit(
            [](const auto& state) {
                using State = std::decay_t<decltype(*state)>;
                if constexpr (std::is_same_v<State, RootState>) {
                    return state;
                } else if constexpr (std::is_same_v<State, ConnectionState>) {
                    return state->root;
                } else {
                    return state->connection->root;
                }
            },
            it->second);
    }

    static bool readyForQueries(const RequestState& request) {
        if (request.cancelled()) {
            return fail(inet::kErrorOperationCancelled);
        }
        if (!request.headComplete) {
            return fail(kErrorIncorrectHandleState);
        }
        return true;
    }

    // Puts the request (again) into the root's multi handle with its headers and body.
    static bool start(RequestState& request, std::u16string_view headers,
                      std::span<const std::uint8_t> body) {
        request.detach();
        request.headInProgress.clear();
        request.head.clear();
        request.headComplete = false;
        secureZero(request.received.data(), request.received.size());
        request.received.clear();
        request.receivedOffset = 0;
        request.done = false;
        request.result = CURLE_OK;
        request.uploaded = 0;
        request.proxyAddress.clear();

        SlistPtr list;
        const auto append = [&list](const std::string& line) {
            curl_slist* grown = curl_slist_append(list.get(), line.c_str());
            if (grown == nullptr) {
                return false;
            }
            (void)list.release();
            list.reset(grown);
            return true;
        };
        bool listed = append(request.acceptLine) && append("Expect:");
        std::size_t start = 0;
        while (listed && start < headers.size()) {
            std::size_t end = headers.find_first_of(u"\r\n", start);
            if (end == std::u16string_view::npos) {
                end = headers.size();
            }
            const std::u16string_view line = headers.substr(start, end - start);
            if (line.find(u'\0') != std::u16string_view::npos) {
                return fail(kErrorInvalidParameter);
            }
            if (!line.empty()) {
                listed = append(toUtf8(line));
            }
            start = end + 1;
        }
        if (!listed) {
            return fail(kErrorNotEnoughMemory);
        }
        request.headerList = std::move(list);

        // Our own copy of the body, wiped when it is replaced or released.
        secureZero(request.body.data(), request.body.size());
        request.body.assign(body.begin(), body.end());
        static const char kEmpty[] = "";
        const ConnectionState& connection = *request.connection;
        RootState& root = *connection.root;
        CURL* easy = request.easy.get();
        CURLcode rc = CURLE_OK;
        const auto check = [&rc](CURLcode result) {
            if (rc == CURLE_OK) {
                rc = result;
            }
        };
        check(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, request.headerList.get()));
        if (request.verb == Verb::Post) {
            check(curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                                   static_cast<curl_off_t>(request.body.size())));
            check(curl_easy_setopt(easy, CURLOPT_POSTFIELDS,
                                   request.body.empty()
                                       ? kEmpty
                                       : reinterpret_cast<const char*>(request.body.data())));
        }
        check(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                               static_cast<long>(root.connectTimeoutMs.load())));
        if (!root.freshConnections && hasInputPending(root.lastAnswerSocket)) {
            root.freshConnections = true;
        }
        check(curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, root.freshConnections ? 1L : 0L));
        if (connection.hasProxyCredentials) {
            check(curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, connection.proxyUser.c_str()));
            check(curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, connection.proxyPassword.c_str()));
        }
        if (rc != CURLE_OK) {
            return fail(rc == CURLE_OUT_OF_MEMORY ? kErrorNotEnoughMemory : kErrorInvalidParameter);
        }
        if (curl_multi_add_handle(root.multi.get(), easy) != CURLM_OK) {
            return fail(kErrorNotEnoughMemory);
        }
        request.attached = true;
        return true;
    }

    // Whether bytes wait to be read on `socket` (a socket that is gone counts as such).
    static bool hasInputPending(curl_socket_t socket) {
        if (socket == CURL_SOCKET_BAD) {
            return false;
        }
        pollfd watched{socket, POLLIN, 0};
        return ::poll(&watched, 1, 0) != 0;
    }

    // Records the end of every transfer of the root's multi handle that has finished, and the
    // connection each complete answer came on.
    static void collectFinished(RootState& root) {
        CURLM* multi = root.multi.get();
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            char* owner = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &owner);
            if (owner != nullptr) {
                auto* finished = reinterpret_cast<RequestState*>(owner);
                finished->done = true;
                finished->result = message->data.result;
                curl_socket_t socket = CURL_SOCKET_BAD;
                if (message->data.result == CURLE_OK &&
                    curl_easy_getinfo(message->easy_handle, CURLINFO_ACTIVESOCKET, &socket) ==
                        CURLE_OK) {
                    root.lastAnswerSocket = socket;
                }
            }
        }
    }

    // Runs the root's transfers until `ready()` holds or the request's transfer has ended.
    // False, with the last error set, when the request is cancelled (any handle above it was
    // closed), nothing moved for `idleLimitMs()` milliseconds (0: no limit) or curl failed.
    template <class Ready, class IdleLimit>
    static bool pump(RequestState& request, IdleLimit idleLimitMs, Ready ready) {
        CURLM* multi = request.root().multi.get();
        request.lastActivity = Clock::now();
        for (;;) {
            if (request.cancelled()) {
                return fail(inet::kErrorOperationCancelled);
            }
            int running = 0;
            const CURLMcode performed = curl_multi_perform(multi, &running);
            if (performed != CURLM_OK) {
                return fail(performed == CURLM_OUT_OF_MEMORY ? kErrorNotEnoughMemory
                                                             : inet::kErrorConnectionAborted);
            }
            collectFinished(request.root());
            if (ready() || request.done) {
                return true;
            }
            if (request.cancelled()) {
                return fail(inet::kErrorOperationCancelled);
            }
            int waitMs = INT_MAX;
            if (const std::uint32_t limitMs = idleLimitMs(); limitMs != 0) {
                const auto limit = std::chrono::milliseconds(limitMs);
                const auto idle = Clock::now() - request.lastActivity;
                if (idle >= limit) {
                    return fail(inet::kErrorTimeout);
                }
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(limit - idle).count();
                waitMs = static_cast<int>(std::min<std::int64_t>(left, INT_MAX));
            }
            if (curl_multi_poll(multi, nullptr, 0, waitMs, nullptr) != CURLM_OK) {
                return fail(inet::kErrorConnectionAborted);
            }
        }
    }

    // The time-out that bounds a send while nothing moves: connecting (TLS and proxy tunnel
    // included), then sending the body, then waiting for the response head.
    static std::uint32_t sendPhaseLimit(const RequestState& request) {
        const RootState& root = request.root();
        curl_off_t connectedAt = 0;
        curl_easy_getinfo(request.easy.get(), CURLINFO_PRETRANSFER_TIME_T, &connectedAt);
        if (connectedAt == 0) {
            return root.connectTimeoutMs;
        }
        if (request.uploaded < static_cast<curl_off_t>(request.body.size())) {
            return root.sendTimeoutMs;
        }
        return root.receiveTimeoutMs;
    }

    // The transfer ended before a response head. A proxy that refused the tunnel answers as
    // the response (status and headers, empty body); anything else is the send's failure.
    static bool finishWithoutHead(RequestState& request) {
        CURL* easy = request.easy.get();
        long connectCode = 0;
        curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &connectCode);
        const char* ip = nullptr;
        long port = 0;
        curl_easy_getinfo(easy, CURLINFO_PRIMARY_IP, &ip);
        curl_easy_getinfo(easy, CURLINFO_PRIMARY_PORT, &port);
        if (ip != nullptr && *ip != '\0') {
            request.proxyAddress = std::string(ip) + ":" + std::to_string(port);
        }
        if (request.result != CURLE_OK && connectCode >= 300 && connectCode <= 999) {
            // curl keeps the refusal's headers to itself; its status line is what we can give.
            request.head = "HTTP/1.1 " + std::to_string(connectCode) + " ";
            request.head += reasonPhrase(connectCode);
            request.head += "\r\n\r\n";
            request.headComplete = true;
            request.result = CURLE_OK;  // the refusal's body is empty, and it has ended
            return true;
        }
        if (request.result == CURLE_OK) {
            return fail(kErrorInvalidServerResponse);
        }
        long verifyResult = 0;
        curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verifyResult);
        const bool clientCertificateWanted = request.root().handshakes.clientCertificateRequested &&
                                             !request.connection->clientIdentity;
        return fail(transferError(request.result, verifyResult, clientCertificateWanted));
    }

    const std::vector<std::string> trustedRoots_;
    const std::string systemCaBundle_;
    const std::string systemCaDirectory_;
    InternetPrompts* const prompts_;
    std::mutex trustMutex_;
    std::shared_ptr<const TrustStore> trust_;
    std::mutex registryMutex_;
    std::unordered_map<std::uint64_t, Node> nodes_;
    std::uint64_t nextHandle_ = 1;
};

// ---- Public face ----------------------------------------------------------------------------

namespace {

// curl's heap, wiped on release: curl copies the request (body included, so the password) and
// the proxy credentials into blocks of its own, and every one of them is zeroed before it goes
// back to the system.
void wipingFree(void* block) {
    if (block != nullptr) {
        secureZero(block, malloc_usable_size(block));
        std::free(block);
    }
}

void* wipingRealloc(void* block, std::size_t size) {
    if (block == nullptr) {
        return std::malloc(size);
    }
    if (size == 0) {
        wipingFree(block);
        return nullptr;
    }
    void* grown = std::malloc(size);
    if (grown != nullptr) {
        std::memcpy(grown, block, std::min(size, malloc_usable_size(block)));
        wipingFree(block);
    }
    return grown;
}

char* plainStrdup(const char* text) {
    return ::strdup(text);
}

}  // namespace

CurlGlobal::CurlGlobal() {
    ok_ = curl_global_init_mem(CURL_GLOBAL_DEFAULT, std::malloc, wipingFree, wipingRealloc,
                               plainStrdup, std::calloc) == CURLE_OK;
    if (ok_) {
        // The TLS callbacks here speak OpenSSL; another back end would be misread.
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        ok_ = info != nullptr && info->ssl_version != nullptr &&
              std::string_view(info->ssl_version).starts_with("OpenSSL/");
    }
}

CurlGlobal::~CurlGlobal() {
    curl_global_cleanup();
}

CurlInternet::CurlInternet(CurlInternetOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

CurlInternet::~CurlInternet() = default;

bool CurlInternet::crackUrl(std::u16string_view url, std::uint32_t flags,
                            UrlComponents& components) {
    const std::uint32_t error = splitUrl(url, flags, components);
    if (error != 0) {
        setLastError(error);
        return false;
    }
    return true;
}

InternetHandle CurlInternet::open(std::u16string_view agent, std::uint32_t accessType,
                                  std::u16string_view proxy, std::u16string_view proxyBypass,
                                  std::uint32_t flags) {
    return impl_->open(agent, accessType, proxy, proxyBypass, flags);
}

bool CurlInternet::setOption(InternetHandle handle, std::uint32_t option, std::uint32_t value) {
    return impl_->setOption(handle, option, value);
}

bool CurlInternet::queryOption(InternetHandle handle, std::uint32_t option, std::uint32_t& value) {
    return impl_->queryOption(handle, option, value);
}

InternetHandle CurlInternet::connect(InternetHandle root, std::u16string_view host,
                                     std::uint16_t port, std::u16string_view user,
                                     std::u16string_view password, std::uint32_t service,
                                     std::uint32_t /*flags*/, std::uintptr_t /*context*/) {
    return impl_->connect(root, host, port, user, password, service);
}

InternetHandle CurlInternet::openRequest(InternetHandle connection, std::u16string_view verb,
                                         std::u16string_view objectName,
                                         std::u16string_view version, std::u16string_view referrer,
                                         std::span<const std::u16string_view> acceptTypes,
                                         std::uint32_t flags, std::uintptr_t /*context*/) {
    return impl_->openRequest(connection, verb, objectName, version, referrer, acceptTypes, flags);
}

bool CurlInternet::sendRequest(InternetHandle request, std::u16string_view headers,
                               std::span<const std::uint8_t> body) {
    return impl_->sendRequest(request, headers, body);
}

bool CurlInternet::queryInfoNumber(InternetHandle request, std::uint32_t infoLevel,
                                   std::uint32_t& value) {
    return impl_->queryInfoNumber(request, infoLevel, value);
}

bool CurlInternet::queryInfoText(InternetHandle request, std::uint32_t infoLevel,
                                 std::size_t bufferBytes, std::u16string& text) {
    return impl_->queryInfoText(request, infoLevel, bufferBytes, text);
}

bool CurlInternet::readFile(InternetHandle request, std::uint8_t* buffer, std::uint32_t bytesToRead,
                            std::uint32_t& bytesRead) {
    return impl_->readFile(request, buffer, bytesToRead, bytesRead);
}

std::uint32_t CurlInternet::errorDialog(InternetHandle request, std::uint32_t error,
                                        std::uint32_t /*flags*/) {
    return impl_->errorDialog(request, error);
}

bool CurlInternet::closeHandle(InternetHandle handle) {
    return impl_->closeHandle(handle);
}

std::size_t CurlInternet::openHandleCount() const {
    return impl_->openHandleCount();
}

}  // namespace tessaly::platform::curl
