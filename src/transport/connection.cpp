// Root handle, connection, POST request and send.
#include <chrono>
#include <thread>

#include "platform/failure.h"
#include "platform/last_error.h"
#include "transport/http_exchange.h"
#include "transport/internet_root.h"

namespace tessaly {

using platform::Failure;
using platform::InternetHandle;
using platform::InternetServices;
namespace inet = platform::inet;
namespace code = transport_code;

namespace {

constexpr std::u16string_view kAgent = u"TOLAN/Pendry 2.0 exe Lumeno";
constexpr std::u16string_view kFormHeader = u"Content-Type: application/x-www-form-urlencoded";
constexpr std::uint32_t kTimeoutMs = 60000;
constexpr auto kReopenPause = std::chrono::milliseconds(100);

// Certificate checks are never switched off: no flag that ignores a date or name error.
constexpr std::uint32_t kHttpsRequestFlags =
    inet::kFlagReload | inet::kFlagSecure | inet::kFlagKeepConnection | inet::kFlagNoUi;
constexpr std::uint32_t kPlainRequestFlags =
    inet::kFlagReload | inet::kFlagKeepConnection | inet::kFlagNoUi;
static_assert(kHttpsRequestFlags == 0x80C00200);
static_assert(kPlainRequestFlags == 0x80400200);

struct SplitUrl {
    platform::UrlComponents components;
    std::u16string_view objectName;  // from the first "/" after the host, query included
};

SplitUrl splitUrl(InternetServices& net, std::u16string_view url) {
    SplitUrl split;
    auto& c = split.components;
    c.schemeCapacity = 256;
    c.hostCapacity = 256;
    c.userCapacity = 256;
    c.passwordCapacity = 256;
    c.pathCapacity = 1024;
    c.extraCapacity = 1024;
    if (!net.crackUrl(url, inet::kCrackEscape, c)) {
        throw Failure{code::kUrlSplitFailed};
    }
    const auto hostAt = url.find(c.host);
    if (hostAt == std::u16string_view::npos) {
        throw Failure{code::kHostNotInUrl};
    }
    const auto slashAt = url.find(u'/', hostAt);
    split.objectName = slashAt == std::u16string_view::npos ? url : url.substr(slashAt);
    return split;
}

InternetHandle openPostRequest(InternetServices& net, InternetHandle connection,
                               const SplitUrl& split) {
    static constexpr std::u16string_view kAcceptTypes[] = {u"*/*"};
    const std::uint32_t flags = split.components.schemeNumber == inet::kSchemeHttps
                                    ? kHttpsRequestFlags
                                    : kPlainRequestFlags;
    const InternetHandle request =
        net.openRequest(connection, u"POST", split.objectName, {}, {}, kAcceptTypes, flags, 0);
    if (!request) {
        throw Failure{code::kOpenRequestFailed};
    }
    return request;
}

}  // namespace

void _openConnection(InternetServices& net, std::u16string_view url, InternetHandle& internetHandle,
                     InternetHandle& connectHandle, InternetHandle& requestHandle) {
    internetHandle = {};
    connectHandle = {};
    requestHandle = {};

    const SplitUrl split = splitUrl(net, url);

    internetHandle = net.open(kAgent, inet::kOpenTypePreconfig, {}, {}, 0);
    g_hInternet.store(internetHandle);
    if (!internetHandle) {
        throw Failure{code::kOpenFailed};
    }
    net.setOption(internetHandle, inet::kOptionConnectTimeout, kTimeoutMs);
    net.setOption(internetHandle, inet::kOptionSendTimeout, kTimeoutMs);
    net.setOption(internetHandle, inet::kOptionReceiveTimeout, kTimeoutMs);

    const auto& c = split.components;
    connectHandle =
        net.connect(internetHandle, c.host, c.port, c.user, c.password, inet::kServiceHttp, 0, 0);
    if (!connectHandle) {
        throw Failure{code::kConnectFailed};
    }
    requestHandle = openPostRequest(net, connectHandle, split);
}

void _reopenRequest(InternetServices& net, std::u16string_view url, InternetHandle connectHandle,
                    InternetHandle& requestHandle) {
    if (requestHandle) {
        net.closeHandle(requestHandle);
    }
    requestHandle = {};
    std::this_thread::sleep_for(kReopenPause);
    const SplitUrl split = splitUrl(net, url);
    requestHandle = openPostRequest(net, connectHandle, split);
}

void _sendRequest(InternetServices& net, InternetHandle requestHandle, std::string_view body) {
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(body.data()),
                                              body.size());
    for (;;) {
        if (net.sendRequest(requestHandle, kFormHeader, bytes)) {
            return;
        }
        const std::uint32_t error = platform::lastError();
        if (error != inet::kErrorClientAuthCertNeeded) {
            // Certificate errors included: the server failed verification, and the password
            // must not go to it.
            throw Failure{code::kSendFailed};
        }
        if (net.errorDialog(requestHandle, error, inet::kErrorUiAll) != inet::kErrorSuccess) {
            throw Failure{code::kClientCertificateDialog};
        }
    }
}

}  // namespace tessaly
