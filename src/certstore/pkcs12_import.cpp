#include "certstore/pkcs12_import.h"

#include <cstring>

#include "certstore/scoped_handles.h"
#include "platform/failure.h"
#include "platform/last_error.h"
#include "platform/secure_memory.h"

namespace tessaly {

using platform::CertHandle;
using platform::CertificateServices;
using platform::Failure;
namespace cert = platform::cert;
namespace code = import_code;

namespace {

// Walks a store; the context in hand is freed by the next step or when the walk ends early.
class StoreWalk {
  public:
    StoreWalk(CertificateServices& certs, platform::StoreHandle store)
        : certs_(certs), store_(store) {}
    ~StoreWalk() {
        if (current_) {
            certs_.freeCertificate(current_);
        }
    }
    StoreWalk(const StoreWalk&) = delete;
    StoreWalk& operator=(const StoreWalk&) = delete;

    CertHandle next() {
        current_ = certs_.enumCertificatesInStore(store_, current_);
        return current_;
    }

  private:
    CertificateServices& certs_;
    platform::StoreHandle store_;
    CertHandle current_;
};

std::u16string_view targetStoreOf(CertificateServices& certs, CertHandle certificate) {
    if (certs.compareCertificateName(cert::kX509Encoding | cert::kPkcs7Encoding, certificate,
                                     platform::NamePart::Issuer, platform::NamePart::Subject)) {
        return cert::kStoreRoot;  // self-issued, even with a private key
    }
    std::uint32_t size = 0;
    if (certs.getCertificateContextProperty(certificate, cert::kKeyProvInfoPropId, size)) {
        return cert::kStoreMy;
    }
    if (platform::lastError() == cert::kCryptNotFound) {
        return cert::kStoreCa;
    }
    throw Failure{static_cast<std::uint32_t>(code::kKeyQueryFailed)};
}

void place(CertificateServices& certs, CertHandle certificate) {
    const std::u16string_view target = targetStoreOf(certs, certificate);
    ScopedStore store(certs, certs.openSystemStore(target));
    if (!store) {
        throw Failure{static_cast<std::uint32_t>(code::kStoreOpenFailed)};
    }
    const bool added = certs.addCertificateToStore(store.get(), certificate, cert::kAddUseExisting);
    store.close();
    if (!added) {
        throw Failure{static_cast<std::uint32_t>(code::kAddFailed)};
    }
}

}  // namespace

int _import(CertificateServices& certs, Pkcs12Package& package) {
    // Declared in reverse order of release: the temporary store closes first, then the
    // password copy and then the package copy are wiped.
    platform::SecureBytes packageCopy;
    platform::WipeOnExit wipePackage(packageCopy);
    platform::WideString password;
    platform::WipeOnExit wipePassword(password);
    try {
        packageCopy.assign(std::size_t{package.size} + 1, 0);
        if (package.size != 0) {
            std::memcpy(packageCopy.data(), package.data, package.size);
        }
        password.assign(package.password);
        const std::span<const std::uint8_t> blob(packageCopy.data(), package.size);

        if (!certs.isPfxBlob(blob)) {
            throw Failure{static_cast<std::uint32_t>(code::kNotPkcs12)};
        }
        if (!certs.verifyPfxPassword(blob, password, 0)) {
            throw Failure{static_cast<std::uint32_t>(code::kWrongPassword)};
        }
        const std::uint32_t flags =
            cert::kCryptUserKeyset | (package.exportable != 0 ? cert::kCryptExportable : 0);
        ScopedStore temporary(certs, certs.importPfx(blob, password, flags));
        if (!temporary) {
            throw Failure{static_cast<std::uint32_t>(code::kImportFailed)};
        }
        StoreWalk walk(certs, temporary.get());
        while (const CertHandle certificate = walk.next()) {
            place(certs, certificate);
        }
        return 1;
    } catch (const Failure& failure) {
        package.errorCode = static_cast<std::int32_t>(failure.code);
    } catch (...) {
        package.errorCode = static_cast<std::int32_t>(platform::kOtherFailure);
    }
    return 0;
}

}  // namespace tessaly
