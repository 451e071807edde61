// The certificate services the logic relies on: the current user's stores "MY", "ROOT" and
// "CA", certificate contexts (each one handed out is freed once by its owner), message
// signing, PKCS#12 import and the certificate selection dialog. A failing call returns
// false (or no handle) and leaves its error number in the thread's last error.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/handles.h"

namespace tessaly::platform {

namespace cert {
// Encodings
inline constexpr std::uint32_t kX509Encoding = 0x00000001;
inline constexpr std::uint32_t kPkcs7Encoding = 0x00010000;

// Store names
inline constexpr std::u16string_view kStoreMy = u"MY";
inline constexpr std::u16string_view kStoreRoot = u"ROOT";
inline constexpr std::u16string_view kStoreCa = u"CA";

inline constexpr std::uint32_t kCloseStoreCheckFlag = 2;
inline constexpr std::uint32_t kFindExisting = 0x000D0000;
inline constexpr std::uint32_t kAddUseExisting = 2;

// Properties and names
inline constexpr std::uint32_t kKeyProvInfoPropId = 2;
inline constexpr std::uint32_t kNameSimpleDisplayType = 4;
inline constexpr std::uint32_t kNameIssuerFlag = 1;

// Object identifiers
inline constexpr std::string_view kOidAuthorityKeyIdentifier = "2.5.29.35";
inline constexpr std::string_view kOidSha256 = "2.16.840.1.101.3.4.2.1";

// PKCS#12 import flags
inline constexpr std::uint32_t kCryptExportable = 0x00000001;
inline constexpr std::uint32_t kCryptUserKeyset = 0x00001000;

// Error numbers
inline constexpr std::uint32_t kCryptNotFound = 0x80092004;
inline constexpr std::uint32_t kErrorCancelled = 0x000004C7;  // the user refused
inline constexpr std::uint32_t kNteBadKeyset = 0x80090016;
inline constexpr std::uint32_t kNteBadData = 0x80090005;
inline constexpr std::uint32_t kErrorInvalidPassword = 0x00000056;
inline constexpr std::uint32_t kEFail = 0x80004005;

// Selection dialog module
inline constexpr std::u16string_view kSelectionDialogLibrary = u"cryptui.dll";
inline constexpr std::string_view kSelectionDialogEntry = "CryptUIDlgSelectCertificateW";
}  // namespace cert

enum class NamePart { Issuer, Subject };

// Parameters of a signed message, in the order the signer fills them.
struct SignMessageParams {
    std::uint32_t size = 68;
    std::uint32_t messageEncodingType = 0;
    CertHandle signingCertificate;
    std::string hashAlgorithmOid;
    std::vector<std::uint8_t> hashAlgorithmParameters;  // empty: no parameters
    std::vector<CertHandle> messageCertificates;
    std::uint32_t crlCount = 0;
    std::uint32_t authenticatedAttributeCount = 0;
    std::uint32_t unauthenticatedAttributeCount = 0;
    std::uint32_t flags = 0;
    std::uint32_t innerContentType = 0;  // 0: plain data
};

// Parameters of the certificate selection dialog.
struct SelectCertificateParams {
    std::uint32_t size = 64;
    std::uintptr_t parentWindow = 0;
    std::uint32_t flags = 0;
    std::u16string title;
    std::uint32_t hiddenColumns = 0;
    std::u16string displayString;
    // Called on the dialog's thread for each certificate; true lists it.
    std::function<bool(CertHandle)> filter;
    std::vector<StoreHandle> displayStores;
};

class CertificateServices {
  public:
    virtual ~CertificateServices() = default;

    // Stores
    virtual StoreHandle openSystemStore(std::u16string_view name) = 0;
    virtual bool closeStore(StoreHandle store, std::uint32_t flags) = 0;
    virtual CertHandle findCertificateInStore(StoreHandle store, std::uint32_t encoding,
                                              std::uint32_t findFlags, std::uint32_t findType,
                                              CertHandle findParameter, CertHandle previous) = 0;
    // Hands out the next certificate and frees `previous`; no handle at the end.
    virtual CertHandle enumCertificatesInStore(StoreHandle store, CertHandle previous) = 0;
    // Succeeds when the store holds the certificate afterwards (an equal one included).
    virtual bool addCertificateToStore(StoreHandle store, CertHandle certificate,
                                       std::uint32_t disposition) = 0;

    // Certificate contexts; a duplicate stays valid after its store is closed.
    virtual CertHandle duplicateCertificate(CertHandle certificate) = 0;
    virtual bool freeCertificate(CertHandle certificate) = 0;

    // Queries
    virtual bool findExtension(std::string_view oid, CertHandle certificate) = 0;
    // At most `capacity` - 1 characters of the name.
    virtual std::u16string getNameString(CertHandle certificate, std::uint32_t type,
                                         std::uint32_t flags, std::size_t capacity) = 0;
    // True when the two encoded names of the certificate are equal byte for byte.
    virtual bool compareCertificateName(std::uint32_t encoding, CertHandle certificate,
                                        NamePart first, NamePart second) = 0;
    // A size query for a property; false with kCryptNotFound when the certificate lacks it.
    virtual bool getCertificateContextProperty(CertHandle certificate, std::uint32_t propertyId,
                                               std::uint32_t& size) = 0;

    // DER SignedData of `content`. With no output buffer only `size` is set; otherwise
    // `size` is the buffer's length on entry and the message's length on return.
    virtual bool signMessage(const SignMessageParams& params, bool detachedSignature,
                             std::span<const std::uint8_t> content, std::uint8_t* signedBlob,
                             std::uint32_t& size) = 0;

    // PKCS#12
    virtual bool isPfxBlob(std::span<const std::uint8_t> pfx) = 0;
    virtual bool verifyPfxPassword(std::span<const std::uint8_t> pfx, std::u16string_view password,
                                   std::uint32_t flags) = 0;
    // A temporary store of the package's certificates, each linked to its key if it has one.
    virtual StoreHandle importPfx(std::span<const std::uint8_t> pfx, std::u16string_view password,
                                  std::uint32_t flags) = 0;

    // Selection dialog: obtained, looked up, released; then shown.
    virtual ModuleHandle loadSelectionDialog(std::u16string_view library) = 0;
    virtual bool hasSelectionDialogEntry(ModuleHandle module, std::string_view entry) = 0;
    virtual bool freeSelectionDialog(ModuleHandle module) = 0;
    // The chosen context (the caller frees it), or no handle when the user cancels.
    virtual CertHandle selectCertificate(const SelectCertificateParams& params) = 0;
};

}  // namespace tessaly::platform
