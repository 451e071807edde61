// The certificate services on NSS, over the user's certificate database (see
// database_location.h). The stores are views of that one database:
//   "ROOT" certificates trusted as a CA (trust C,C,C);
//   "MY"   other certificates with a private key in the database;
//   "CA"   other certificates without key (the intermediate CAs: no trust).
// A self-issued certificate that is not trusted (a root the user refused) is in no view.
// A temporary store (from a PKCS#12 import) lists the package's certificates in package order.
//
// NSS is initialised on first use and shut down by shutdown() or the destructor; one instance
// may exist in a process at a time. All operations may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "platform/certificate_prompts.h"
#include "platform/certificate_services.h"
#include "platform/client_certificates.h"
#include "platform/nss/scoped_nss.h"

namespace tessaly::platform::nss {

class NssCertificateServices final : public CertificateServices, public ClientCertificateSource {
  public:
    explicit NssCertificateServices(CertificatePrompts& prompts);
    ~NssCertificateServices() override;
    NssCertificateServices(const NssCertificateServices&) = delete;
    NssCertificateServices& operator=(const NssCertificateServices&) = delete;

    // Releases every handle still held and shuts NSS down. False when NSS refuses because an
    // object is still referenced somewhere (SEC_ERROR_BUSY): a leak.
    bool shutdown();

    // The database directory once it has been opened; empty before.
    std::filesystem::path databaseDirectory() const;

    // The DER encoding of a certificate context; empty for an unknown handle.
    std::vector<std::uint8_t> encodedCertificate(CertHandle certificate);

    StoreHandle openSystemStore(std::u16string_view name) override;
    bool closeStore(StoreHandle store, std::uint32_t flags) override;
    CertHandle findCertificateInStore(StoreHandle store, std::uint32_t encoding,
                                      std::uint32_t findFlags, std::uint32_t findType,
                                      CertHandle findParameter, CertHandle previous) override;
    CertHandle enumCertificatesInStore(StoreHandle store, CertHandle previous) override;
    bool addCertificateToStore(StoreHandle store, CertHandle certificate,
                               std::uint32_t disposition) override;

    CertHandle duplicateCertificate(CertHandle certificate) override;
    bool freeCertificate(CertHandle certificate) override;

    bool findExtension(std::string_view oid, CertHandle certificate) override;
    std::u16string getNameString(CertHandle certificate, std::uint32_t type, std::uint32_t flags,
                                 std::size_t capacity) override;
    bool compareCertificateName(std::uint32_t encoding, CertHandle certificate, NamePart first,
                                NamePart second) override;
    bool getCertificateContextProperty(CertHandle certificate, std::uint32_t propertyId,
                                       std::uint32_t& size) override;

    bool signMessage(const SignMessageParams& params, bool detachedSignature,
                     std::span<const std::uint8_t> content, std::uint8_t* signedBlob,
                     std::uint32_t& size) override;

    bool isPfxBlob(std::span<const std::uint8_t> pfx) override;
    bool verifyPfxPassword(std::span<const std::uint8_t> pfx, std::u16string_view password,
                           std::uint32_t flags) override;
    StoreHandle importPfx(std::span<const std::uint8_t> pfx, std::u16string_view password,
                          std::uint32_t flags) override;

    ModuleHandle loadSelectionDialog(std::u16string_view library) override;
    bool hasSelectionDialogEntry(ModuleHandle module, std::string_view entry) override;
    bool freeSelectionDialog(ModuleHandle module) override;
    CertHandle selectCertificate(const SelectCertificateParams& params) override;

    // The "MY" view's certificates for a TLS client; the key leaves the database as an
    // encrypted PKCS#8 under a password made for the hand-over.
    std::vector<ClientCertificateOffer> clientCertificateOffers(
        const std::vector<std::vector<std::uint8_t>>& acceptedIssuers) override;
    std::optional<ClientCertificate> clientCertificateOf(
        const ClientCertificateOffer& offer) override;

  private:
    enum class StoreKind { My, Root, Ca, Temporary };
    using Snapshot = std::vector<ScopedCERTCertificate>;

    struct StoreEntry {
        StoreKind kind;
        std::shared_ptr<const Snapshot> contents;  // a temporary store's certificates
    };
    struct CertEntry {
        ScopedCERTCertificate certificate;
        std::shared_ptr<const Snapshot> walk;  // the enumeration it came from, if any
        std::size_t position = 0;
    };

    // NSS is open and the database is logged in (asking for its password when it has one).
    bool openDatabase();
    bool initialiseLocked();
    bool logIn();
    void* passwordContext() { return this; }
    static char* askPassword(PK11SlotInfo* slot, PRBool retry, void* context);

    // The view a database certificate belongs to; none for a self-issued one not trusted.
    std::optional<StoreKind> viewOf(CERTCertificate* certificate);
    bool hasPrivateKey(CERTCertificate* certificate);
    ScopedSECKEYPrivateKey findPrivateKey(CERTCertificate* certificate);
    std::shared_ptr<const Snapshot> snapshotOf(StoreHandle store);
    std::shared_ptr<const Snapshot> viewSnapshot(StoreKind kind);
    bool storeKind(StoreHandle store, StoreKind& kind);
    ScopedCERTCertificate certificateOf(CertHandle handle);
    CertHandle handOut(ScopedCERTCertificate certificate, std::shared_ptr<const Snapshot> walk,
                       std::size_t position);
    ScopedCERTCertificate findInDatabase(CERTCertificate* certificate);
    bool importIntoDatabase(CERTCertificate* certificate);
    bool confirmRoot(CERTCertificate* certificate);

    CertificatePrompts& prompts_;

    mutable std::mutex openMutex_;  // guards NSS start-up and shutdown
    std::atomic<bool> open_{false};
    ScopedPK11Slot slot_;  // the database's key and certificate slot
    std::filesystem::path directory_;

    mutable std::mutex tableMutex_;  // guards the handle tables
    // Package decoders of earlier imports, kept until shutdown: the certificates the decoder
    // makes point into its memory, and NSS's certificate cache may still hand them out to
    // another holder after the import has ended.
    std::vector<std::shared_ptr<void>> importedPackages_;  // guarded by tableMutex_
    std::uint64_t nextHandle_ = 0x1000;
    std::map<std::uint64_t, StoreEntry> stores_;
    std::map<std::uint64_t, CertEntry> certificates_;
    std::set<std::uint64_t> modules_;
};

}  // namespace tessaly::platform::nss
