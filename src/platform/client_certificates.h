// The user's certificates that can authenticate a TLS client, for the question a server asks
// when it wants one: what the choice lists, and the chosen certificate with its key for the
// TLS client. May be called on any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/internet_prompts.h"

namespace tessaly::platform {

struct ClientCertificateOffer {
    std::vector<std::uint8_t> certificate;  // DER
    std::u16string issuedTo;                // simple display names
    std::u16string issuedBy;
    std::chrono::system_clock::time_point expires;
    std::u16string nickname;
};

class ClientCertificateSource {
  public:
    virtual ~ClientCertificateSource() = default;

    // The certificates with a private key, issued by one of `acceptedIssuers` (DER names; any
    // issuer when the list is empty).
    virtual std::vector<ClientCertificateOffer> clientCertificateOffers(
        const std::vector<std::vector<std::uint8_t>>& acceptedIssuers) = 0;

    // The offered certificate with the issuers the user holds, and its private key; none when
    // the key cannot be had (gone, or the database refused to let it out).
    virtual std::optional<ClientCertificate> clientCertificateOf(
        const ClientCertificateOffer& offer) = 0;
};

}  // namespace tessaly::platform
