#include "renewal/signed_proof.h"

#include <algorithm>
#include <vector>

#include "certstore/scoped_handles.h"
#include "certstore/selection_dialog_module.h"
#include "renewal/encodings.h"

namespace tessaly {

using platform::CertHandle;
using platform::CertificateServices;
namespace cert = platform::cert;

int signVerificationData(CertificateServices& certs, CertHandle chosen, std::string_view content,
                         platform::NarrowString& signature) {
    // The picker has released its dialog module by now; make sure of it on every way out.
    const SelectionDialogModuleGuard moduleGuard(certs);
    try {
        const ScopedStore my(certs, certs.openSystemStore(cert::kStoreMy));
        if (!my) {
            return 0;
        }
        const ScopedCert found(certs,
                               certs.findCertificateInStore(my.get(), cert::kX509Encoding, 0,
                                                            cert::kFindExisting, chosen, {}));
        if (!found) {
            return 0;
        }
        return createSignedData(certs, found.get(), content, signature) != 0 ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int createSignedData(CertificateServices& certs, CertHandle signer, std::string_view content,
                     platform::NarrowString& signature) {
    try {
        content = content.substr(0, content.find('\0'));
        const std::span<const std::uint8_t> bytes(
            reinterpret_cast<const std::uint8_t*>(content.data()), content.size());

        platform::SignMessageParams params;
        params.size = 68;
        params.messageEncodingType = cert::kPkcs7Encoding;
        params.signingCertificate = signer;
        params.hashAlgorithmOid = cert::kOidSha256;
        params.messageCertificates = {signer};

        std::uint32_t size = 0;
        if (!certs.signMessage(params, false, bytes, nullptr, size)) {
            return 0;
        }
        std::vector<std::uint8_t> message(size);
        if (!certs.signMessage(params, false, bytes, message.data(), size)) {
            return 0;
        }
        signature = base64Encode(message.data(), std::min<std::size_t>(size, message.size()));
        return 1;
    } catch (...) {
        return 0;
    }
}

}  // namespace tessaly
