// The two exchanges: status (with proxy challenges), content kind, headers, read size; and
// the body read.
#include <algorithm>
#include <cstring>

#include "platform/failure.h"
#include "transport/http_exchange.h"
#include "transport/internet_root.h"

namespace tessaly {

using platform::Failure;
using platform::InternetHandle;
using platform::InternetServices;
using platform::SecureBytes;
namespace inet = platform::inet;
namespace code = transport_code;

namespace {

constexpr std::size_t kFirstScratchBytes = 4096;
constexpr std::size_t kSecondScratchBytes = 2048;
constexpr std::size_t kContentTypeBufferBytes = 4096;

bool equalsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
    const auto lower = [](char16_t c) -> char16_t {
        return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
    };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [&](char16_t x, char16_t y) { return lower(x) == lower(y); });
}

std::uint64_t readSizeOf(InternetServices& net, InternetHandle request) {
    std::uint32_t contentLength = 0;
    if (net.queryInfoNumber(request, inet::kQueryFlagNumber | inet::kQueryContentLength,
                            contentLength)) {
        return std::uint64_t{contentLength} + 8;
    }
    return kDefaultReadSize;
}

void awaitAcceptedStatus(InternetServices& net, InternetHandle request, std::string_view body,
                         SecureBytes& scratch) {
    while (_checkStatus(net, request, body, scratch) != 1) {
    }
}

// Runs `steps` as one exchange; on any failure stores the code and closes every handle.
template <class Steps>
int runExchange(InternetServices& net, HttpExchange& exchange, std::size_t scratchBytes,
                Steps steps) {
    try {
        SecureBytes scratch(scratchBytes);
        steps(scratch);
        exchange.errorCode = 0;
        return 1;
    } catch (const Failure& failure) {
        exchange.errorCode = failure.code;
    } catch (...) {
        exchange.errorCode = platform::kOtherFailure;
    }
    closeExchangeHandles(net, exchange);
    exchange.isPkcs12 = 0;
    exchange.readSize = 0;
    return 0;
}

}  // namespace

int _checkStatus(InternetServices& net, InternetHandle request, std::string_view body,
                 SecureBytes& scratch) {
    std::uint32_t status = 0;
    if (!net.queryInfoNumber(request, inet::kQueryFlagNumber | inet::kQueryStatusCode, status)) {
        throw Failure{code::kStatusUnreadable};
    }
    if (status == inet::kStatusOk) {
        return 1;
    }
    if (status == inet::kStatusProxyAuthRequired) {
        _answerProxyChallenge(net, request, body, scratch);
        return 0;
    }
    throw Failure{code::kBadStatus};
}

void _answerProxyChallenge(InternetServices& net, InternetHandle request, std::string_view body,
                           SecureBytes& scratch) {
    // Drain the challenge's body; a failing read ends the drain like the end of the body.
    std::uint32_t delivered = 0;
    do {
        std::fill(scratch.begin(), scratch.end(), std::uint8_t{0});
        delivered = 0;
        net.readFile(request, scratch.data(), static_cast<std::uint32_t>(scratch.size()),
                     delivered);
    } while (delivered != 0);

    if (net.errorDialog(request, inet::kErrorIncorrectPassword, inet::kErrorUiAll) !=
        inet::kErrorForceRetry) {
        throw Failure{code::kProxyDialog};
    }
    _sendRequest(net, request, body);
}

ContentKind _classifyContentType(InternetServices& net, InternetHandle request) {
    std::u16string value;
    if (!net.queryInfoText(request, inet::kQueryContentType, kContentTypeBufferBytes, value)) {
        return ContentKind::Unavailable;
    }
    if (equalsIgnoringAsciiCase(value, u"application/x-pkcs12")) {
        return ContentKind::Pkcs12;
    }
    if (value.find(u"text/plain") != std::u16string::npos &&
        value.find(u"charset=Shift_JIS") != std::u16string::npos) {
        return ContentKind::Text;
    }
    return ContentKind::Unrecognised;
}

ContentKind _getContentKind(InternetServices& net, InternetHandle request) {
    const ContentKind kind = _classifyContentType(net, request);
    if (kind == ContentKind::Unrecognised) {
        throw Failure{code::kBadContentType};
    }
    if (kind == ContentKind::Unavailable) {
        throw Failure{code::kContentTypeUnreadable};
    }
    return kind;
}

std::u16string _getRawHeaders(InternetServices& net, InternetHandle request, SecureBytes& scratch) {
    std::fill(scratch.begin(), scratch.end(), std::uint8_t{0});
    std::u16string headers;
    if (!net.queryInfoText(request, inet::kQueryRawHeadersCrlf, scratch.size(), headers)) {
        throw Failure{code::kRawHeadersUnreadable};
    }
    return headers;
}

std::uint32_t _readExportableFlag(InternetServices& net, InternetHandle request,
                                  SecureBytes& scratch) {
    const std::u16string headers = _getRawHeaders(net, request, scratch);
    const auto at = headers.find(u"X-Exportable:");
    // The value's first character stands at offset 14: the one after the colon is skipped.
    if (at == std::u16string::npos || at + 14 >= headers.size()) {
        return 0;
    }
    return headers[at + 14] == u'1' ? 1 : 0;
}

int _queryInfo(InternetServices& net, HttpExchange& exchange) {
    return runExchange(net, exchange, kFirstScratchBytes, [&](SecureBytes& scratch) {
        _openConnection(net, exchange.url, exchange.internetHandle, exchange.connectHandle,
                        exchange.requestHandle);
        _sendRequest(net, exchange.requestHandle, exchange.requestBody);
        awaitAcceptedStatus(net, exchange.requestHandle, exchange.requestBody, scratch);
        exchange.contentKind = _getContentKind(net, exchange.requestHandle);
        exchange.readSize = readSizeOf(net, exchange.requestHandle);
    });
}

int _requeryInfo(InternetServices& net, HttpExchange& exchange) {
    return runExchange(net, exchange, kSecondScratchBytes, [&](SecureBytes& scratch) {
        _reopenRequest(net, exchange.url, exchange.connectHandle, exchange.requestHandle);
        _sendRequest(net, exchange.requestHandle, exchange.requestBody);
        awaitAcceptedStatus(net, exchange.requestHandle, exchange.requestBody, scratch);
        exchange.contentKind = _getContentKind(net, exchange.requestHandle);
        exchange.isPkcs12 = exchange.contentKind == ContentKind::Pkcs12 ? 1 : 0;
        exchange.exportable = _readExportableFlag(net, exchange.requestHandle, scratch);
        exchange.readSize = readSizeOf(net, exchange.requestHandle);
    });
}

int _getInstance(InternetServices& net, ResponseBody& body) {
    const std::size_t usable = std::min<std::size_t>(body.capacity, body.buffer.size());
    if (usable != 0) {
        std::memset(body.buffer.data(), 0, usable);
    }
    body.bytesRead = 0;
    std::uint32_t delivered = 0;
    if (!net.readFile(body.requestHandle, body.buffer.data(), static_cast<std::uint32_t>(usable),
                      delivered)) {
        body.errorCode = code::kReadFailed;
        return 0;
    }
    if (delivered > usable) {
        body.errorCode = code::kReadOverrun;
        return 0;
    }
    body.bytesRead = delivered;
    body.errorCode = 0;
    return 1;
}

void closeExchangeHandles(InternetServices& net, HttpExchange& exchange) {
    if (exchange.requestHandle) {
        net.closeHandle(exchange.requestHandle);
        exchange.requestHandle = {};
    }
    if (exchange.connectHandle) {
        net.closeHandle(exchange.connectHandle);
        exchange.connectHandle = {};
    }
    closeInternetHandle(net, exchange.internetHandle);
}

}  // namespace tessaly
