// The signed proof of key possession: a PKCS#7 SignedData (SHA-256, content enclosed,
// the signer's certificate only) over the server's verification data, in base64.
#pragma once

#include <string_view>

#include "platform/certificate_services.h"
#include "platform/secure_memory.h"

namespace tessaly {

// Finds `chosen` again in "MY" and signs `content` (its bytes before the first NUL) with
// that store's context. 1 with `signature` set, 0 with `signature` untouched.
int signVerificationData(platform::CertificateServices& certs, platform::CertHandle chosen,
                         std::string_view content, platform::NarrowString& signature);

// Signs with `signer`, which is also the one certificate the message carries.
int createSignedData(platform::CertificateServices& certs, platform::CertHandle signer,
                     std::string_view content, platform::NarrowString& signature);

}  // namespace tessaly
