// The Internet services on libcurl.
//
// Handles are small numbers naming objects kept here: a root (one curl multi handle, so one
// connection cache), connections (host, port, credentials) and requests (one easy handle each).
// Every call runs the root's transfers until it can answer, so calls block as the interface
// promises; closing a handle from another thread wakes the root's multi handle, and the call
// blocked under it fails at once with kErrorOperationCancelled.
//
// TLS is always verified: the server's chain must lead to the system's CA store or to one of the
// trusted roots given to the constructor, its name must match the host (IP addresses included)
// and it must be within its validity. Revocation is not checked. Redirects are not followed: a
// redirect reaches the caller as its status. HTTP/1.1 is used, so header names arrive as the
// server wrote them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/internet_prompts.h"
#include "platform/internet_services.h"

namespace tessaly::platform::curl {

// curl's process-wide set-up; create one before the first CurlInternet and keep it while any
// exists. ok() is false when curl could not be initialised. curl's heap is wiped block by block
// on release, since curl copies the request body and the proxy credentials into it.
class CurlGlobal {
  public:
    CurlGlobal();
    ~CurlGlobal();
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;

    bool ok() const { return ok_; }

  private:
    bool ok_ = false;
};

struct CurlInternetOptions {
    // Trust anchors besides the system's CA store: certificates in PEM (one or more per entry)
    // or DER. An entry that cannot be read is ignored.
    std::vector<std::string> trustedRoots;
    // The system's CA store: a PEM bundle and a hashed directory. Empty: curl's defaults
    // (on Debian /etc/ssl/certs/ca-certificates.crt and /etc/ssl/certs).
    std::string systemCaBundle;
    std::string systemCaDirectory;
    // Answers the proxy-credentials and client-certificate dialogs; none: both are cancelled.
    // Borrowed: it must outlive this object.
    InternetPrompts* prompts = nullptr;
};

class CurlInternet final : public InternetServices {
  public:
    explicit CurlInternet(CurlInternetOptions options = {});
    // Releases every handle still open. No call may be in progress.
    ~CurlInternet() override;
    CurlInternet(const CurlInternet&) = delete;
    CurlInternet& operator=(const CurlInternet&) = delete;

    bool crackUrl(std::u16string_view url, std::uint32_t flags, UrlComponents& components) override;
    InternetHandle open(std::u16string_view agent, std::uint32_t accessType,
                        std::u16string_view proxy, std::u16string_view proxyBypass,
                        std::uint32_t flags) override;
    bool setOption(InternetHandle handle, std::uint32_t option, std::uint32_t value) override;
    bool queryOption(InternetHandle handle, std::uint32_t option, std::uint32_t& value) override;
    InternetHandle connect(InternetHandle root, std::u16string_view host, std::uint16_t port,
                           std::u16string_view user, std::u16string_view password,
                           std::uint32_t service, std::uint32_t flags,
                           std::uintptr_t context) override;
    InternetHandle openRequest(InternetHandle connection, std::u16string_view verb,
                               std::u16string_view objectName, std::u16string_view version,
                               std::u16string_view referrer,
                               std::span<const std::u16string_view> acceptTypes,
                               std::uint32_t flags, std::uintptr_t context) override;
    bool sendRequest(InternetHandle request, std::u16string_view headers,
                     std::span<const std::uint8_t> body) override;
    bool queryInfoNumber(InternetHandle request, std::uint32_t infoLevel,
                         std::uint32_t& value) override;
    bool queryInfoText(InternetHandle request, std::uint32_t infoLevel, std::size_t bufferBytes,
                       std::u16string& text) override;
    bool readFile(InternetHandle request, std::uint8_t* buffer, std::uint32_t bytesToRead,
                  std::uint32_t& bytesRead) override;
    std::uint32_t errorDialog(InternetHandle request, std::uint32_t error,
                              std::uint32_t flags) override;
    bool closeHandle(InternetHandle handle) override;

    // How many handles are open (opened here and not closed yet), whatever their kind.
    std::size_t openHandleCount() const;

    // Error numbers this implementation reports besides those of internet_services.h.
    static constexpr std::uint32_t kErrorInvalidParameter = 87;
    static constexpr std::uint32_t kErrorCancelled = 1223;  // the user cancelled a dialog
    static constexpr std::uint32_t kErrorInvalidOption = 12009;
    static constexpr std::uint32_t kErrorOptionNotSettable = 12011;
    static constexpr std::uint32_t kErrorIncorrectHandleState = 12019;
    static constexpr std::uint32_t kErrorInvalidServerResponse = 12152;
    static constexpr std::uint32_t kErrorSecurityChannelError = 12157;

    class Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace tessaly::platform::curl
