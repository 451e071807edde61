// What the certificate services ask the user: the certificate database's password, consent
// before a certificate becomes a trust anchor, and the choice in the certificate selection
// dialog. The UI answers with its dialogs (handing each request over to the UI thread when it
// comes from another thread); tests answer with a double.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/certificate_services.h"
#include "platform/handles.h"
#include "platform/secure_memory.h"

namespace tessaly::platform {

// What the user sees before a certificate is added to the trusted roots ("ROOT").
struct RootCertificateDetails {
    std::u16string subject;  // distinguished names as text, most significant part last
    std::u16string issuer;
    std::chrono::system_clock::time_point notBefore;
    std::chrono::system_clock::time_point notAfter;
    std::array<std::uint8_t, 20> sha1Fingerprint{};
};

// One line of the certificate selection dialog.
struct CertificateChoice {
    CertHandle certificate;   // valid during the call only; do not free
    std::u16string issuedTo;  // simple display names
    std::u16string issuedBy;
    std::chrono::system_clock::time_point expires;
    std::u16string nickname;  // the database's name for the certificate
};

class CertificatePrompts {
  public:
    virtual ~CertificatePrompts() = default;

    // The password of the certificate database `tokenName`, or none when the user refuses.
    // May be called on any thread.
    virtual std::optional<WideString> databasePassword(std::u16string_view tokenName) = 0;

    // True when the user agrees that the certificate becomes a trusted root. May be called
    // on any thread.
    virtual bool confirmRootCertificate(const RootCertificateDetails& details) = 0;

    // Shows the selection dialog over `choices` (the certificates the filter let through, in
    // the stores' order) and returns the index of the chosen one, or none when the user
    // closes the dialog. Called on the thread that asked for the selection.
    virtual std::optional<std::size_t> chooseCertificate(
        const SelectCertificateParams& params, std::span<const CertificateChoice> choices) = 0;
};

}  // namespace tessaly::platform
