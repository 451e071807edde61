// A scripted stand-in for the certificate services: certificates are named records, the
// stores "MY", "ROOT" and "CA" lists of them, packages registered byte strings. Every call
// is recorded; every context and store handed out is tracked so tests can prove each is
// released exactly once.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/certificate_services.h"

namespace tessaly::fakes {

struct FakeCertificate {
    std::string name;
    bool selfIssued = false;
    bool hasKey = false;
    // When set, the key property query fails with this error instead of answering.
    std::optional<std::uint32_t> propertyError;
    bool hasAuthorityKeyIdentifier = true;
    std::u16string issuerDisplayName = u"Corvane Banking Union CA";
};

struct CertCall {
    std::string op;
    std::vector<std::uint64_t> numbers;  // flags, codes, handles, in argument order
    std::u16string text;                 // store name, password, library name
    std::string detail;                  // certificate name, content, OID
};

class FakeCertificates : public platform::CertificateServices {
  public:
    FakeCertificates();

    // Set-up
    int addCertificate(FakeCertificate certificate);  // returns its id
    void putInStore(const std::u16string& store, int id);
    void removeFromStore(const std::u16string& store, int id);
    // A package: these bytes open with this password into these certificates, in order.
    void registerPackage(std::string bytes, std::u16string password, std::vector<int> ids);
    // Hands out a context of certificate `id`, as the picker would have.
    platform::CertHandle contextOf(int id);

    // Scripted failures: each entry makes one call of `op` fail with `error` (0 = no failure,
    // so an entry can let earlier calls through).
    void queueFailure(const std::string& op, std::uint32_t error);
    void failOpening(const std::u16string& store) { unopenableStores_.insert(store); }
    void failAddingTo(const std::u16string& store) { unwritableStores_.insert(store); }

    // Inspection
    std::vector<CertCall> calls() const { return calls_; }
    std::vector<CertCall> callsTo(const std::string& op) const;
    std::vector<std::string> callNames() const;
    std::vector<std::string> storeContents(const std::u16string& store) const;
    int liveContexts() const { return static_cast<int>(contexts_.size()); }
    int openStores() const { return static_cast<int>(stores_.size()); }
    int badReleases() const { return badReleases_; }
    int loadedModules() const {
        return static_cast<int>(loadedModules_.size());
    }  // frees or closes of unknown handles
    std::optional<platform::SignMessageParams> lastSignParams() const { return lastSignParams_; }
    std::vector<std::string> listedByDialog() const { return listedByDialog_; }
    void chooseInDialog(std::optional<int> id) { dialogChoice_ = id; }

    // The message a successful signing makes of `content` for `signer`.
    static std::string signedMessageFor(const std::string& signer, const std::string& content);

    // CertificateServices
    platform::StoreHandle openSystemStore(std::u16string_view name) override;
    bool closeStore(platform::StoreHandle store, std::uint32_t flags) override;
    platform::CertHandle findCertificateInStore(platform::StoreHandle store, std::uint32_t encoding,
                                                std::uint32_t findFlags, std::uint32_t findType,
                                                platform::CertHandle findParameter,
                                                platform::CertHandle previous) override;
    platform::CertHandle enumCertificatesInStore(platform::StoreHandle store,
                                                 platform::CertHandle previous) override;
    bool addCertificateToStore(platform::StoreHandle store, platform::CertHandle certificate,
                               std::uint32_t disposition) override;
    platform::CertHandle duplicateCertificate(platform::CertHandle certificate) override;
    bool freeCertificate(platform::CertHandle certificate) override;
    bool findExtension(std::string_view oid, platform::CertHandle certificate) override;
    std::u16string getNameString(platform::CertHandle certificate, std::uint32_t type,
                                 std::uint32_t flags, std::size_t capacity) override;
    bool compareCertificateName(std::uint32_t encoding, platform::CertHandle certificate,
                                platform::NamePart first, platform::NamePart second) override;
    bool getCertificateContextProperty(platform::CertHandle certificate, std::uint32_t propertyId,
                                       std::uint32_t& size) override;
    bool signMessage(const platform::SignMessageParams& params, bool detachedSignature,
                     std::span<const std::uint8_t> content, std::uint8_t* signedBlob,
                     std::uint32_t& size) override;
    bool isPfxBlob(std::span<const std::uint8_t> pfx) override;
    bool verifyPfxPassword(std::span<const std::uint8_t> pfx, std::u16string_view password,
                           std::uint32_t flags) override;
    platform::StoreHandle importPfx(std::span<const std::uint8_t> pfx, std::u16string_view password,
                                    std::uint32_t flags) override;
    platform::ModuleHandle loadSelectionDialog(std::u16string_view library) override;
    bool hasSelectionDialogEntry(platform::ModuleHandle module, std::string_view entry) override;
    bool freeSelectionDialog(platform::ModuleHandle module) override;
    platform::CertHandle selectCertificate(
        const platform::SelectCertificateParams& params) override;

  private:
    struct Store {
        std::u16string name;  // empty for a temporary store
        std::vector<int> ids;
    };
    struct Package {
        std::u16string password;
        std::vector<int> ids;
    };

    bool scriptedFailure(const std::string& op);
    platform::CertHandle newContext(int id);
    const FakeCertificate* certificateOf(platform::CertHandle handle);
    std::vector<int>* idsOf(platform::StoreHandle store);
    const Package* packageOf(std::span<const std::uint8_t> pfx) const;

    std::vector<FakeCertificate> certificates_;
    std::map<std::u16string, std::vector<int>> systemStores_;
    std::map<std::string, Package> packages_;
    std::map<std::uint64_t, int> contexts_;               // live context -> certificate id
    std::map<std::uint64_t, Store> stores_;               // open store handles
    std::map<std::uint64_t, std::size_t> walkPositions_;  // context -> index in its walk
    std::set<std::u16string> unopenableStores_;
    std::set<std::u16string> unwritableStores_;
    std::map<std::string, std::deque<std::uint32_t>> failures_;
    std::vector<CertCall> calls_;
    std::optional<platform::SignMessageParams> lastSignParams_;
    std::vector<std::string> listedByDialog_;
    std::optional<int> dialogChoice_;
    std::set<std::uint64_t> loadedModules_;
    std::uint64_t nextHandle_ = 0x100;
    int badReleases_ = 0;
};

}  // namespace tessaly::fakes
