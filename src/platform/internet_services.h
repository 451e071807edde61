// The Internet services the transport relies on: a blocking HTTP client whose handles form
// a tree (root, connection, request). Closing the root from another thread makes a call
// blocked under it fail. A failing call returns false (or no handle) and leaves its error
// number in the thread's last error (platform/last_error.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/handles.h"

namespace tessaly::platform {

namespace inet {
// URL splitting
inline constexpr std::uint32_t kCrackEscape = 0x80000000;  // ICU_ESCAPE
inline constexpr int kSchemeHttp = 3;
inline constexpr int kSchemeHttps = 4;
inline constexpr std::uint16_t kDefaultHttpPort = 80;
inline constexpr std::uint16_t kDefaultHttpsPort = 443;

// Root handle
inline constexpr std::uint32_t kOpenTypePreconfig = 0;  // the system's proxy configuration

// Options (all carry a 4-byte value)
inline constexpr std::uint32_t kOptionConnectTimeout = 2;
inline constexpr std::uint32_t kOptionSendTimeout = 7;
inline constexpr std::uint32_t kOptionReceiveTimeout = 8;
inline constexpr std::uint32_t kOptionSecurityFlags = 31;

// Services
inline constexpr std::uint32_t kServiceHttp = 3;

// Request flags
inline constexpr std::uint32_t kFlagReload = 0x80000000;
inline constexpr std::uint32_t kFlagSecure = 0x00800000;
inline constexpr std::uint32_t kFlagKeepConnection = 0x00400000;
inline constexpr std::uint32_t kFlagIgnoreCertDateInvalid = 0x00002000;
inline constexpr std::uint32_t kFlagIgnoreCertCnInvalid = 0x00001000;
inline constexpr std::uint32_t kFlagNoUi = 0x00000200;

// Security flags of a request (option 31)
inline constexpr std::uint32_t kSecurityIgnoreCertDateInvalid = 0x2000;
inline constexpr std::uint32_t kSecurityIgnoreCertCnInvalid = 0x1000;
inline constexpr std::uint32_t kSecurityIgnoreUnknownCa = 0x0100;
inline constexpr std::uint32_t kSecurityIgnoreRevocation = 0x0080;

// Response queries
inline constexpr std::uint32_t kQueryContentType = 1;
inline constexpr std::uint32_t kQueryContentLength = 5;
inline constexpr std::uint32_t kQueryStatusCode = 19;
inline constexpr std::uint32_t kQueryRawHeadersCrlf = 22;
inline constexpr std::uint32_t kQueryFlagNumber = 0x20000000;

// Status codes
inline constexpr std::uint32_t kStatusOk = 200;
inline constexpr std::uint32_t kStatusProxyAuthRequired = 407;

// Error dialog
inline constexpr std::uint32_t kErrorUiFilterForErrors = 0x01;
inline constexpr std::uint32_t kErrorUiFlagsChangeOptions = 0x02;
inline constexpr std::uint32_t kErrorUiFlagsGenerateData = 0x04;
// What the transport asks of both dialogs: filter, change options, generate data.
inline constexpr std::uint32_t kErrorUiAll =
    kErrorUiFilterForErrors | kErrorUiFlagsChangeOptions | kErrorUiFlagsGenerateData;

// Error numbers
inline constexpr std::uint32_t kErrorSuccess = 0;
inline constexpr std::uint32_t kErrorTimeout = 12002;
inline constexpr std::uint32_t kErrorInvalidUrl = 12005;
inline constexpr std::uint32_t kErrorNameNotResolved = 12007;
inline constexpr std::uint32_t kErrorOperationCancelled = 12017;
inline constexpr std::uint32_t kErrorInvalidHandle = 12018;
inline constexpr std::uint32_t kErrorCannotConnect = 12029;
inline constexpr std::uint32_t kErrorConnectionAborted = 12030;
inline constexpr std::uint32_t kErrorConnectionReset = 12031;
inline constexpr std::uint32_t kErrorIncorrectPassword = 12014;  // proxy credentials wanted
inline constexpr std::uint32_t kErrorForceRetry = 12032;
inline constexpr std::uint32_t kErrorSecCertDateInvalid = 12037;
inline constexpr std::uint32_t kErrorSecCertCnInvalid = 12038;
inline constexpr std::uint32_t kErrorClientAuthCertNeeded = 12044;
inline constexpr std::uint32_t kErrorInvalidCa = 12045;
inline constexpr std::uint32_t kErrorSecCertRevFailed = 12057;
inline constexpr std::uint32_t kErrorSecureFailure = 12175;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kErrorHeaderNotFound = 12150;
inline constexpr std::uint32_t kTrustCertSignature = 0x80096004;
}  // namespace inet

// The split URL. The caller sets each capacity (in characters, terminator included) as the
// size of the buffer it offers; a component that does not fit fails the split.
struct UrlComponents {
    std::size_t schemeCapacity = 0;
    std::size_t hostCapacity = 0;
    std::size_t userCapacity = 0;
    std::size_t passwordCapacity = 0;
    std::size_t pathCapacity = 0;
    std::size_t extraCapacity = 0;

    std::u16string scheme;
    int schemeNumber = 0;
    std::u16string host;
    std::uint16_t port = 0;  // the scheme's default when the URL names none
    std::u16string user;
    std::u16string password;
    std::u16string path;
    std::u16string extra;  // query and fragment
};

class InternetServices {
  public:
    virtual ~InternetServices() = default;

    virtual bool crackUrl(std::u16string_view url, std::uint32_t flags,
                          UrlComponents& components) = 0;

    // The root handle; every call under it blocks until it completes, fails or the root closes.
    virtual InternetHandle open(std::u16string_view agent, std::uint32_t accessType,
                                std::u16string_view proxy, std::u16string_view proxyBypass,
                                std::uint32_t flags) = 0;

    virtual bool setOption(InternetHandle handle, std::uint32_t option, std::uint32_t value) = 0;
    virtual bool queryOption(InternetHandle handle, std::uint32_t option, std::uint32_t& value) = 0;

    virtual InternetHandle connect(InternetHandle root, std::u16string_view host,
                                   std::uint16_t port, std::u16string_view user,
                                   std::u16string_view password, std::uint32_t service,
                                   std::uint32_t flags, std::uintptr_t context) = 0;

    virtual InternetHandle openRequest(InternetHandle connection, std::u16string_view verb,
                                       std::u16string_view objectName, std::u16string_view version,
                                       std::u16string_view referrer,
                                       std::span<const std::u16string_view> acceptTypes,
                                       std::uint32_t flags, std::uintptr_t context) = 0;

    // Sends header and body and returns once the response head has arrived.
    virtual bool sendRequest(InternetHandle request, std::u16string_view headers,
                             std::span<const std::uint8_t> body) = 0;

    // `infoLevel` carries kQueryFlagNumber with the query code.
    virtual bool queryInfoNumber(InternetHandle request, std::uint32_t infoLevel,
                                 std::uint32_t& value) = 0;
    // Fails when the text and its terminator do not fit in `bufferBytes` bytes of UTF-16.
    virtual bool queryInfoText(InternetHandle request, std::uint32_t infoLevel,
                               std::size_t bufferBytes, std::u16string& text) = 0;

    // Blocks until `bytesToRead` bytes have arrived or the body has ended (0 bytes at the end).
    virtual bool readFile(InternetHandle request, std::uint8_t* buffer, std::uint32_t bytesToRead,
                          std::uint32_t& bytesRead) = 0;

    // The dialog for a client certificate (12044) or proxy credentials (12014). Returns
    // kErrorSuccess or kErrorForceRetry when the request is to be sent again.
    virtual std::uint32_t errorDialog(InternetHandle request, std::uint32_t error,
                                      std::uint32_t flags) = 0;

    // Safe to call from another thread for the root handle.
    virtual bool closeHandle(InternetHandle handle) = 0;
};

}  // namespace tessaly::platform
