// Owners of NSS objects: one std::unique_ptr alias per type, each releasing the object with
// the function NSS names for it. Owners take them by value; borrowers take raw pointers.
#pragma once

#include <cert.h>
#include <certdb.h>
#include <keyhi.h>
#include <p12.h>
#include <pk11pub.h>
#include <secitem.h>
#include <secport.h>

#include <cstdint>
#include <memory>
#include <span>

namespace tessaly::platform::nss {

template <class T, auto Release>
struct NssReleaser {
    void operator()(T* object) const {
        if (object != nullptr) {
            Release(object);
        }
    }
};

template <class T, auto Release>
using ScopedNss = std::unique_ptr<T, NssReleaser<T, Release>>;

inline void freeArena(PLArenaPool* arena) {
    PORT_FreeArena(arena, PR_FALSE);
}
inline void freeItem(SECItem* item) {
    SECITEM_FreeItem(item, PR_TRUE);
}
inline void zfreeItem(SECItem* item) {
    SECITEM_ZfreeItem(item, PR_TRUE);
}
inline void freeString(char* text) {
    PORT_Free(text);
}

using ScopedCERTCertificate = ScopedNss<CERTCertificate, CERT_DestroyCertificate>;
using ScopedCERTCertList = ScopedNss<CERTCertList, CERT_DestroyCertList>;
using ScopedPK11Slot = ScopedNss<PK11SlotInfo, PK11_FreeSlot>;
using ScopedSECKEYPrivateKey = ScopedNss<SECKEYPrivateKey, SECKEY_DestroyPrivateKey>;
using ScopedPLArenaPool = ScopedNss<PLArenaPool, freeArena>;
using ScopedSECItem = ScopedNss<SECItem, freeItem>;
// For items that may hold a secret: zeroed before release.
using ScopedSecretSECItem = ScopedNss<SECItem, zfreeItem>;
using ScopedPKCS12Decoder = ScopedNss<SEC_PKCS12DecoderContext, SEC_PKCS12DecoderFinish>;
using ScopedNssString = ScopedNss<char, freeString>;

// Views between NSS items and byte spans; neither copies.
inline std::span<const std::uint8_t> bytesOf(const SECItem& item) {
    return {item.data, item.len};
}
inline SECItem itemOf(std::span<const std::uint8_t> bytes) {
    // NSS takes non-const pointers for data it only reads.
    return SECItem{siBuffer, const_cast<unsigned char*>(bytes.data()),
                   static_cast<unsigned int>(bytes.size())};
}

inline ScopedCERTCertificate duplicate(CERTCertificate* certificate) {
    return ScopedCERTCertificate(CERT_DupCertificate(certificate));
}

}  // namespace tessaly::platform::nss
