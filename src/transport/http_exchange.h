// The records the renewal job and the transport share for the two exchanges, the failure
// codes the transport leaves in them, and the routines that run an exchange.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/handles.h"
#include "platform/internet_services.h"
#include "platform/secure_memory.h"

namespace tessaly {

enum class ContentKind : int {
    Unavailable = -1,  // no Content-Type could be read
    Unrecognised = 0,
    Text = 100,    // text/plain with charset=Shift_JIS
    Pkcs12 = 101,  // application/x-pkcs12
};

namespace transport_code {
inline constexpr std::uint32_t kUrlSplitFailed = 100;
inline constexpr std::uint32_t kHostNotInUrl = 101;
inline constexpr std::uint32_t kOpenFailed = 102;
inline constexpr std::uint32_t kConnectFailed = 103;
inline constexpr std::uint32_t kOpenRequestFailed = 104;
inline constexpr std::uint32_t kClientCertificateDialog = 114;
inline constexpr std::uint32_t kSendFailed = 115;
inline constexpr std::uint32_t kProxyDialog = 120;
inline constexpr std::uint32_t kBadStatus = 125;
inline constexpr std::uint32_t kStatusUnreadable = 130;
inline constexpr std::uint32_t kBadContentType = 135;
inline constexpr std::uint32_t kContentTypeUnreadable = 140;
inline constexpr std::uint32_t kRawHeadersUnreadable = 160;
inline constexpr std::uint32_t kReadFailed = 300;
inline constexpr std::uint32_t kReadOverrun = 310;
}  // namespace transport_code

// Read size used when the response names no Content-Length.
inline constexpr std::uint64_t kDefaultReadSize = 10240;

struct HttpExchange {
    std::u16string_view url;       // borrowed from the job
    std::string_view requestBody;  // borrowed; holds no NUL byte
    platform::InternetHandle internetHandle;
    platform::InternetHandle connectHandle;
    platform::InternetHandle requestHandle;
    std::uint32_t isPkcs12 = 0;
    std::uint32_t exportable = 0;
    // Content-Length + 8, or kDefaultReadSize. Kept in 64 bits so a length near 4 GiB
    // cannot wrap into a small buffer.
    std::uint64_t readSize = 0;
    std::uint32_t errorCode = 0;
    ContentKind contentKind = ContentKind::Unrecognised;
};

struct ResponseBody {
    platform::InternetHandle requestHandle;  // borrowed from the exchange, never closed here
    platform::SecureBytes buffer;            // capacity + 1 bytes, owned
    std::uint32_t capacity = 0;
    std::uint32_t bytesRead = 0;
    std::uint32_t errorCode = 0;
};

// Request line, headers and connection (steps of both exchanges). Each raises a
// platform::Failure with its code.
void _openConnection(platform::InternetServices& net, std::u16string_view url,
                     platform::InternetHandle& internetHandle,
                     platform::InternetHandle& connectHandle,
                     platform::InternetHandle& requestHandle);
void _reopenRequest(platform::InternetServices& net, std::u16string_view url,
                    platform::InternetHandle connectHandle,
                    platform::InternetHandle& requestHandle);
void _sendRequest(platform::InternetServices& net, platform::InternetHandle requestHandle,
                  std::string_view body);

// Response steps.
int _checkStatus(platform::InternetServices& net, platform::InternetHandle request,
                 std::string_view body, platform::SecureBytes& scratch);
void _answerProxyChallenge(platform::InternetServices& net, platform::InternetHandle request,
                           std::string_view body, platform::SecureBytes& scratch);
ContentKind _classifyContentType(platform::InternetServices& net, platform::InternetHandle request);
ContentKind _getContentKind(platform::InternetServices& net, platform::InternetHandle request);
std::u16string _getRawHeaders(platform::InternetServices& net, platform::InternetHandle request,
                              platform::SecureBytes& scratch);
std::uint32_t _readExportableFlag(platform::InternetServices& net, platform::InternetHandle request,
                                  platform::SecureBytes& scratch);

// The two exchanges: 1 on success, 0 with errorCode set and every handle closed.
int _queryInfo(platform::InternetServices& net, HttpExchange& exchange);
int _requeryInfo(platform::InternetServices& net, HttpExchange& exchange);

// One body read into the record's buffer: 1, or 0 with errorCode 300 or 310.
int _getInstance(platform::InternetServices& net, ResponseBody& body);

// Closes request, connection and root in that order, each only if set, and clears them.
void closeExchangeHandles(platform::InternetServices& net, HttpExchange& exchange);

}  // namespace tessaly
