// Import of the renewed PKCS#12 package and placement of each certificate in its store.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/certificate_services.h"

namespace tessaly {

namespace import_code {
inline constexpr std::int32_t kNotPkcs12 = 200;
inline constexpr std::int32_t kWrongPassword = 205;
inline constexpr std::int32_t kImportFailed = 210;
inline constexpr std::int32_t kKeyQueryFailed = 215;
inline constexpr std::int32_t kStoreOpenFailed = 300;
inline constexpr std::int32_t kAddFailed = 305;
}  // namespace import_code

// Handed over by the renewal job; the bytes and the password stay the caller's.
struct Pkcs12Package {
    const std::uint8_t* data = nullptr;
    std::u16string_view password;  // the empty text when none
    std::uint32_t size = 0;
    std::int32_t exportable = 0;
    std::int32_t errorCode = 0;
};

// 1 when every certificate was placed; 0 with errorCode set. Works on private copies of
// the package and the password, which are zeroed before release.
int _import(platform::CertificateServices& certs, Pkcs12Package& package);

}  // namespace tessaly
