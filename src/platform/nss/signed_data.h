// The DER encoding of a PKCS#7 SignedData without signed or unsigned attributes, digest
// SHA-256, one signer identified by issuer and serial number.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "platform/nss/der.h"

namespace tessaly::platform::nss {

inline constexpr std::string_view kOidRsaEncryption = "1.2.840.113549.1.1.1";
inline constexpr std::string_view kOidEcdsaWithSha256 = "1.2.840.10045.4.3.2";

struct SignedDataParts {
    std::span<const std::uint8_t> content;
    bool detached = false;  // the content is left out of the message
    std::vector<std::span<const std::uint8_t>> certificates;  // DER certificates to carry
    std::span<const std::uint8_t> signerIssuer;               // DER Name
    std::span<const std::uint8_t> signerSerial;               // the INTEGER's content octets
    std::string_view signatureAlgorithm;                      // dotted OID
    bool signatureAlgorithmNullParameters = false;
    std::span<const std::uint8_t> signature;
};

// ContentInfo { signedData, [0] SignedData }.
der::Bytes encodeSignedData(const SignedDataParts& parts);

}  // namespace tessaly::platform::nss
