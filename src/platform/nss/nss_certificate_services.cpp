#include "platform/nss/nss_certificate_services.h"

#include <cryptohi.h>
#include <nss.h>
#include <p12plcy.h>
#include <pkcs11t.h>
#include <prerror.h>
#include <secerr.h>
#include <secoid.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "platform/last_error.h"
#include "platform/nss/certificate_text.h"
#include "platform/nss/database_location.h"
#include "platform/nss/der.h"
#include "platform/nss/signed_data.h"
#include "platform/secure_memory.h"
#include "platform/utf8.h"

namespace tessaly::platform::nss {

namespace {

// Error numbers beyond those the logic names.
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorMoreData = 234;
constexpr std::uint32_t kCryptUnknownAlgorithm = 0x80091002;

std::atomic<bool> g_instanceAlive{false};

// Why the last password request on this thread came back empty.
thread_local bool t_passwordRefused = false;

bool sameDer(CERTCertificate* left, CERTCertificate* right) {
    return SECITEM_ItemsAreEqual(&left->derCert, &right->derCert) == PR_TRUE;
}

bool trustedAsCa(CERTCertificate* certificate) {
    CERTCertTrust trust{};
    if (CERT_GetCertTrust(certificate, &trust) != SECSuccess) {
        return false;
    }
    return ((trust.sslFlags | trust.emailFlags | trust.objectSigningFlags) & CERTDB_TRUSTED_CA) !=
           0;
}

// The password as NSS's PKCS#12 code wants it: UCS-2 big-endian with a trailing 00 00.
SecureBytes pkcs12Password(std::u16string_view password) {
    SecureBytes bytes;
    bytes.reserve(password.size() * 2 + 2);
    for (const char16_t unit : password) {
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

enum class PfxOutcome { Opened, NotPfx, WrongPassword, Failed };

// Where the PKCS#12 decoder keeps the package's authenticated contents while it checks the MAC:
// NSS's own buffer is grown and freed without being zeroed, which leaves most of the package in
// freed memory. This one wipes every block it lets go.
class DigestBuffer {
  public:
    static SECStatus open(void* self, PRBool reading) {
        auto& buffer = *static_cast<DigestBuffer*>(self);
        buffer.position_ = 0;
        if (!reading) {
            wipe(buffer.bytes_);
        }
        return SECSuccess;
    }

    static SECStatus close(void* self, PRBool remove) {
        auto& buffer = *static_cast<DigestBuffer*>(self);
        buffer.position_ = 0;
        if (remove) {
            wipe(buffer.bytes_);
        }
        return SECSuccess;
    }

    static int read(void* self, unsigned char* data, unsigned long length) {
        auto& buffer = *static_cast<DigestBuffer*>(self);
        const std::size_t count =
            std::min<std::size_t>(length, buffer.bytes_.size() - buffer.position_);
        std::memcpy(data, buffer.bytes_.data() + buffer.position_, count);
        buffer.position_ += count;
        return static_cast<int>(count);
    }

    // Appends at the current position (NSS writes the contents once, in order). Never throws
    // into NSS: a failure to grow is a failed write.
    static int write(void* self, unsigned char* data, unsigned long length) noexcept {
        auto& buffer = *static_cast<DigestBuffer*>(self);
        try {
            buffer.bytes_.resize(buffer.position_);
            buffer.bytes_.insert(buffer.bytes_.end(), data, data + length);
        } catch (...) {
            return -1;
        }
        buffer.position_ += length;
        return static_cast<int>(length);
    }

  private:
    SecureBytes bytes_;
    std::size_t position_ = 0;
};

// A decoder over a package whose MAC has been checked with the password. The decoder keeps a
// pointer to the password item, so both live and die together (the decoder first).
class OpenedPfx {
  public:
    PfxOutcome open(std::span<const std::uint8_t> pfx, std::u16string_view password,
                    PK11SlotInfo* slot, void* passwordContext) {
        if (!der::looksLikePfx(pfx)) {
            return PfxOutcome::NotPfx;
        }
        password_ = pkcs12Password(password);
        passwordItem_ =
            SECItem{siBuffer, password_.data(), static_cast<unsigned int>(password_.size())};
        decoder_.reset(SEC_PKCS12DecoderStart(&passwordItem_, slot, passwordContext,
                                              DigestBuffer::open, DigestBuffer::close,
                                              DigestBuffer::read, DigestBuffer::write, &digest_));
        if (!decoder_) {
            return PfxOutcome::Failed;
        }
        if (SEC_PKCS12DecoderUpdate(decoder_.get(), const_cast<unsigned char*>(pfx.data()),
                                    static_cast<unsigned long>(pfx.size())) != SECSuccess) {
            return classify(PORT_GetError());
        }
        if (SEC_PKCS12DecoderVerify(decoder_.get()) != SECSuccess) {
            return classify(PORT_GetError());
        }
        return PfxOutcome::Opened;
    }

    SEC_PKCS12DecoderContext* decoder() const { return decoder_.get(); }

    // The decoder needs the password no more once the bags are imported.
    void forgetPassword() { wipe(password_); }

    ~OpenedPfx() {
        decoder_.reset();
        wipe(password_);
    }

  private:
    static PfxOutcome classify(PRErrorCode error) {
        switch (error) {
            case SEC_ERROR_BAD_PASSWORD:
            case SEC_ERROR_PKCS12_INVALID_MAC:
                return PfxOutcome::WrongPassword;
            case SEC_ERROR_BAD_DER:
            case SEC_ERROR_PKCS12_CORRUPT_PFX_STRUCTURE:
            case SEC_ERROR_PKCS12_UNSUPPORTED_VERSION:
            case SEC_ERROR_PKCS12_DECODING_PFX:
                return PfxOutcome::NotPfx;
            default:
                return PfxOutcome::Failed;
        }
    }

    SecureBytes password_;
    SECItem passwordItem_{};
    DigestBuffer digest_;  // outlives the decoder, which writes to it
    ScopedPKCS12Decoder decoder_;
};

void setPfxError(PfxOutcome outcome) {
    switch (outcome) {
        case PfxOutcome::WrongPassword:
            setLastError(cert::kErrorInvalidPassword);
            break;
        case PfxOutcome::NotPfx:
            setLastError(cert::kNteBadData);
            break;
        default:
            setLastError(cert::kEFail);
            break;
    }
}

// Names a package certificate that arrives without a friendly name, or whose name is taken
// by another subject. NSS passes the certificate as `context`.
SECItem* PR_CALLBACK nicknameForPackageCertificate(SECItem* /*oldNickname*/, PRBool* cancel,
                                                   void* context) {
    *cancel = PR_FALSE;
    auto* certificate = static_cast<CERTCertificate*>(context);
    ScopedNssString made(certificate != nullptr ? CERT_MakeCANickname(certificate) : nullptr);
    const char* name = made ? made.get() : "Tessaly certificate";
    const std::size_t length = std::strlen(name);
    SECItem* item = SECITEM_AllocItem(nullptr, nullptr, static_cast<unsigned int>(length + 1));
    if (item == nullptr) {
        *cancel = PR_TRUE;
        return nullptr;
    }
    std::memcpy(item->data, name, length + 1);
    item->type = siAsciiString;
    return item;
}

// The longest DER ECDSA signature for a key whose raw r||s signature is `rawLength` bytes.
std::size_t maximumEcdsaSignatureLength(std::size_t rawLength) {
    const std::size_t integer = der::encodedLength(rawLength / 2 + 1);
    return der::encodedLength(2 * integer);
}

}  // namespace

NssCertificateServices::NssCertificateServices(CertificatePrompts& prompts) : prompts_(prompts) {
    if (g_instanceAlive.exchange(true)) {
        throw std::logic_error("only one NSS certificate service may exist at a time");
    }
}

NssCertificateServices::~NssCertificateServices() {
    shutdown();
    g_instanceAlive = false;
}

bool NssCertificateServices::shutdown() {
    const std::lock_guard openLock(openMutex_);
    {
        const std::lock_guard lock(tableMutex_);
        certificates_.clear();
        stores_.clear();
        modules_.clear();
        importedPackages_.clear();
    }
    if (!open_) {
        return true;
    }
    slot_.reset();
    open_ = false;
    PK11_SetPasswordFunc(nullptr);
    return NSS_Shutdown() == SECSuccess;
}

std::filesystem::path NssCertificateServices::databaseDirectory() const {
    const std::lock_guard lock(openMutex_);
    return directory_;
}

std::vector<std::uint8_t> NssCertificateServices::encodedCertificate(CertHandle certificate) {
    const ScopedCERTCertificate found = certificateOf(certificate);
    if (!found) {
        return {};
    }
    const auto bytes = bytesOf(found->derCert);
    return {bytes.begin(), bytes.end()};
}

// ---- Database -------------------------------------------------------------------------------

bool NssCertificateServices::openDatabase() {
    if (!open_) {
        const std::lock_guard lock(openMutex_);
        if (!open_ && !initialiseLocked()) {
            setLastError(cert::kEFail);
            return false;
        }
    }
    return logIn();
}

bool NssCertificateServices::initialiseLocked() {
    const auto directory = userDatabaseDirectory();
    if (!directory || !createPrivateDirectory(*directory)) {
        return false;
    }
    const std::string configuration = "sql:" + directory->string();
    if (NSS_Initialize(configuration.c_str(), "", "", SECMOD_DB, NSS_INIT_NOROOTINIT) !=
        SECSuccess) {
        return false;
    }
    PK11_SetPasswordFunc(&NssCertificateServices::askPassword);
    ScopedPK11Slot slot(PK11_GetInternalKeySlot());
    // A new database has no password yet; without one no key can be stored.
    if (!slot ||
        (PK11_NeedUserInit(slot.get()) && PK11_InitPin(slot.get(), nullptr, "") != SECSuccess)) {
        slot.reset();
        NSS_Shutdown();
        return false;
    }
    slot_ = std::move(slot);
    directory_ = *directory;
    open_ = true;
    return true;
}

bool NssCertificateServices::logIn() {
    PK11SlotInfo* slot = slot_.get();
    if (!PK11_NeedLogin(slot) || PK11_IsLoggedIn(slot, passwordContext())) {
        return true;
    }
    t_passwordRefused = false;
    if (PK11_Authenticate(slot, PR_TRUE, passwordContext()) == SECSuccess) {
        return true;
    }
    setLastError(t_passwordRefused ? cert::kErrorCancelled : cert::kErrorInvalidPassword);
    return false;
}

char* NssCertificateServices::askPassword(PK11SlotInfo* slot, PRBool retry, void* context) {
    // A wrong password is not asked for again: it fails the operation.
    if (retry == PR_TRUE || context == nullptr) {
        return nullptr;
    }
    auto* self = static_cast<NssCertificateServices*>(context);
    const char* token = PK11_GetTokenName(slot);
    const auto password =
        self->prompts_.databasePassword(utf16FromUtf8(token != nullptr ? token : ""));
    if (!password) {
        t_passwordRefused = true;
        return nullptr;
    }
    NarrowString utf8;
    WipeOnExit wipeUtf8(utf8);
    appendUtf8(*password, utf8);
    return PORT_Strdup(utf8.c_str());
}

bool NssCertificateServices::hasPrivateKey(CERTCertificate* certificate) {
    const ScopedPK11Slot slot(PK11_KeyForCertExists(certificate, nullptr, passwordContext()));
    return slot != nullptr;
}

ScopedSECKEYPrivateKey NssCertificateServices::findPrivateKey(CERTCertificate* certificate) {
    // By the key's identifier, so that it works for a certificate not (yet) in the database.
    const ScopedSECItem id(PK11_GetLowLevelKeyIDForCert(nullptr, certificate, passwordContext()));
    if (!id) {
        return nullptr;
    }
    return ScopedSECKEYPrivateKey(PK11_FindKeyByKeyID(slot_.get(), id.get(), passwordContext()));
}

std::optional<NssCertificateServices::StoreKind> NssCertificateServices::viewOf(
    CERTCertificate* certificate) {
    if (trustedAsCa(certificate)) {
        return StoreKind::Root;
    }
    if (SECITEM_ItemsAreEqual(&certificate->derIssuer, &certificate->derSubject) == PR_TRUE) {
        return std::nullopt;  // a root nobody trusted
    }
    return hasPrivateKey(certificate) ? StoreKind::My : StoreKind::Ca;
}

ScopedCERTCertificate NssCertificateServices::findInDatabase(CERTCertificate* certificate) {
    return ScopedCERTCertificate(
        PK11_FindCertFromDERCertItem(slot_.get(), &certificate->derCert, passwordContext()));
}

// ---- Handle tables --------------------------------------------------------------------------

bool NssCertificateServices::storeKind(StoreHandle store, StoreKind& kind) {
    const std::lock_guard lock(tableMutex_);
    const auto found = stores_.find(store.value);
    if (found == stores_.end()) {
        return false;
    }
    kind = found->second.kind;
    return true;
}

ScopedCERTCertificate NssCertificateServices::certificateOf(CertHandle handle) {
    const std::lock_guard lock(tableMutex_);
    const auto found = certificates_.find(handle.value);
    if (found == certificates_.end()) {
        return nullptr;
    }
    return duplicate(found->second.certificate.get());
}

CertHandle NssCertificateServices::handOut(ScopedCERTCertificate certificate,
                                           std::shared_ptr<const Snapshot> walk,
                                           std::size_t position) {
    if (!certificate) {
        return {};
    }
    const std::lock_guard lock(tableMutex_);
    const std::uint64_t value = nextHandle_++;
    certificates_.emplace(value, CertEntry{std::move(certificate), std::move(walk), position});
    return CertHandle{value};
}

std::shared_ptr<const NssCertificateServices::Snapshot> NssCertificateServices::snapshotOf(
    StoreHandle store) {
    StoreKind kind{};
    {
        const std::lock_guard lock(tableMutex_);
        const auto found = stores_.find(store.value);
        if (found == stores_.end()) {
            return nullptr;
        }
        if (found->second.kind == StoreKind::Temporary) {
            return found->second.contents;
        }
        kind = found->second.kind;
    }
    return viewSnapshot(kind);
}

std::shared_ptr<const NssCertificateServices::Snapshot> NssCertificateServices::viewSnapshot(
    StoreKind kind) {
    auto snapshot = std::make_shared<Snapshot>();
    const ScopedCERTCertList list(PK11_ListCertsInSlot(slot_.get()));
    if (!list) {
        return snapshot;
    }
    for (CERTCertListNode* node = CERT_LIST_HEAD(list.get()); !CERT_LIST_END(node, list.get());
         node = CERT_LIST_NEXT(node)) {
        if (viewOf(node->cert) == kind) {
            snapshot->push_back(duplicate(node->cert));
        }
    }
    // A stable order: by subject, then by the whole encoding.
    std::sort(snapshot->begin(), snapshot->end(), [](const auto& left, const auto& right) {
        const auto order = [](const CERTCertificate& certificate) {
            return std::pair(bytesOf(certificate.derSubject), bytesOf(certificate.derCert));
        };
        const auto [leftSubject, leftDer] = order(*left);
        const auto [rightSubject, rightDer] = order(*right);
        if (!std::equal(leftSubject.begin(), leftSubject.end(), rightSubject.begin(),
                        rightSubject.end())) {
            return std::lexicographical_compare(leftSubject.begin(), leftSubject.end(),
                                                rightSubject.begin(), rightSubject.end());
        }
        return std::lexicographical_compare(leftDer.begin(), leftDer.end(), rightDer.begin(),
                                            rightDer.end());
    });
    return snapshot;
}

// ---- Stores ---------------------------------------------------------------------------------

StoreHandle NssCertificateServices::openSystemStore(std::u16string_view name) {
    StoreKind kind{};
    if (name == cert::kStoreMy) {
        kind = StoreKind::My;
    } else if (name == cert::kStoreRoot) {
        kind = StoreKind::Root;
    } else if (name == cert::kStoreCa) {
        kind = StoreKind::Ca;
    } else {
        setLastError(kErrorInvalidParameter);
        return {};
    }
    if (!openDatabase()) {
        return {};
    }
    const std::lock_guard lock(tableMutex_);
    const std::uint64_t value = nextHandle_++;
    stores_.emplace(value, StoreEntry{kind, nullptr});
    return StoreHandle{value};
}

bool NssCertificateServices::closeStore(StoreHandle store, std::uint32_t /*flags*/) {
    // Certificates handed out from the store stay valid: each holds its own reference.
    std::shared_ptr<const Snapshot> contents;
    const std::lock_guard lock(tableMutex_);
    const auto found = stores_.find(store.value);
    if (found == stores_.end()) {
        setLastError(kErrorInvalidParameter);
        return false;
    }
    contents = std::move(found->second.contents);
    stores_.erase(found);
    return true;
}

CertHandle NssCertificateServices::findCertificateInStore(
    StoreHandle store, std::uint32_t /*encoding*/, std::uint32_t /*findFlags*/,
    std::uint32_t findType, CertHandle findParameter, CertHandle previous) {
    if (previous) {
        // An existing certificate is found once; the next search from it finds nothing.
        freeCertificate(previous);
        setLastError(cert::kCryptNotFound);
        return {};
    }
    StoreKind kind{};
    const ScopedCERTCertificate wanted = certificateOf(findParameter);
    if (findType != cert::kFindExisting || !wanted || !storeKind(store, kind)) {
        setLastError(kErrorInvalidParameter);
        return {};
    }
    if (kind == StoreKind::Temporary) {
        const auto contents = snapshotOf(store);
        for (std::size_t i = 0; contents && i < contents->size(); ++i) {
            if (sameDer((*contents)[i].get(), wanted.get())) {
                return handOut(duplicate((*contents)[i].get()), nullptr, 0);
            }
        }
        setLastError(cert::kCryptNotFound);
        return {};
    }
    // Asks the database itself, so a certificate deleted by another program is not found.
    ScopedCERTCertificate found = findInDatabase(wanted.get());
    if (!found || viewOf(found.get()) != kind) {
        setLastError(cert::kCryptNotFound);
        return {};
    }
    return handOut(std::move(found), nullptr, 0);
}

CertHandle NssCertificateServices::enumCertificatesInStore(StoreHandle store, CertHandle previous) {
    std::shared_ptr<const Snapshot> walk;
    std::size_t position = 0;
    if (previous) {
        ScopedCERTCertificate previousCertificate;
        {
            const std::lock_guard lock(tableMutex_);
            const auto found = certificates_.find(previous.value);
            if (found != certificates_.end()) {
                walk = found->second.walk;
                position = found->second.position + 1;
                previousCertificate = std::move(found->second.certificate);
                certificates_.erase(found);
            }
        }
        if (!previousCertificate) {
            setLastError(kErrorInvalidParameter);
            return {};
        }
        if (!walk) {
            // A context that came from a search: continue after it in the store's order.
            walk = snapshotOf(store);
            position = 0;
            while (walk && position < walk->size() &&
                   !sameDer((*walk)[position].get(), previousCertificate.get())) {
                ++position;
            }
            ++position;
        }
    } else {
        walk = snapshotOf(store);
    }
    if (!walk || position >= walk->size()) {
        setLastError(walk ? cert::kCryptNotFound : kErrorInvalidParameter);
        return {};
    }
    return handOut(duplicate((*walk)[position].get()), walk, position);
}

bool NssCertificateServices::confirmRoot(CERTCertificate* certificate) {
    RootCertificateDetails details;
    details.subject = distinguishedName(certificate->subject);
    details.issuer = distinguishedName(certificate->issuer);
    PRTime notBefore = 0;
    PRTime notAfter = 0;
    if (CERT_GetCertTimes(certificate, &notBefore, &notAfter) != SECSuccess) {
        return false;
    }
    details.notBefore = timeFromPrTime(notBefore);
    details.notAfter = timeFromPrTime(notAfter);
    if (PK11_HashBuf(SEC_OID_SHA1, details.sha1Fingerprint.data(), certificate->derCert.data,
                     static_cast<PRInt32>(certificate->derCert.len)) != SECSuccess) {
        return false;
    }
    return prompts_.confirmRootCertificate(details);
}

bool NssCertificateServices::importIntoDatabase(CERTCertificate* certificate) {
    ScopedNssString made;
    const char* nickname = certificate->nickname;
    if (nickname == nullptr) {
        made.reset(CERT_MakeCANickname(certificate));
        nickname = made.get();
    }
    return PK11_ImportCert(slot_.get(), certificate, CK_INVALID_HANDLE, nickname, PR_FALSE) ==
           SECSuccess;
}

bool NssCertificateServices::addCertificateToStore(StoreHandle store, CertHandle certificate,
                                                   std::uint32_t /*disposition*/) {
    StoreKind kind{};
    const ScopedCERTCertificate adding = certificateOf(certificate);
    if (!adding || !storeKind(store, kind) || kind == StoreKind::Temporary) {
        setLastError(kErrorInvalidParameter);
        return false;
    }
    if (!openDatabase()) {
        return false;
    }
    // An equal certificate already in the database is used as it is ("use existing").
    ScopedCERTCertificate existing = findInDatabase(adding.get());
    switch (kind) {
        case StoreKind::Root: {
            if (existing && trustedAsCa(existing.get())) {
                return true;
            }
            if (!confirmRoot(adding.get())) {
                setLastError(cert::kErrorCancelled);
                return false;
            }
            if (!existing) {
                if (!importIntoDatabase(adding.get())) {
                    setLastError(cert::kEFail);
                    return false;
                }
                existing = findInDatabase(adding.get());
            }
            CERTCertTrust trust{};
            if (!existing || CERT_DecodeTrustString(&trust, "C,C,C") != SECSuccess ||
                CERT_ChangeCertTrust(CERT_GetDefaultCertDB(), existing.get(), &trust) !=
                    SECSuccess) {
                setLastError(cert::kEFail);
                return false;
            }
            return true;
        }
        case StoreKind::My:
            if (!hasPrivateKey(adding.get())) {
                setLastError(cert::kNteBadKeyset);
                return false;
            }
            [[fallthrough]];
        case StoreKind::Ca:
            if (existing) {
                return true;
            }
            if (!importIntoDatabase(adding.get())) {
                setLastError(cert::kEFail);
                return false;
            }
            return true;
        case StoreKind::Temporary:
            break;
    }
    return false;
}

// ---- Certificate contexts and queries -------------------------------------------------------

CertHandle NssCertificateServices::duplicateCertificate(CertHandle certificate) {
    ScopedCERTCertificate copy = certificateOf(certificate);
    if (!copy) {
        setLastError(kErrorInvalidParameter);
        return {};
    }
    return handOut(std::move(copy), nullptr, 0);
}

bool NssCertificateServices::freeCertificate(CertHandle certificate) {
    ScopedCERTCertificate released;  // destroyed after the lock is let go
    const std::lock_guard lock(tableMutex_);
    const auto found = certificates_.find(certificate.value);
    if (found == certificates_.end()) {
        setLastError(kErrorInvalidParameter);
        return false;
    }
    released = std::move(found->second.certificate);
    certificates_.erase(found);
    return true;
}

bool NssCertificateServices::findExtension(std::string_view oid, CertHandle certificate) {
    const ScopedCERTCertificate subject = certificateOf(certificate);
    const der::Bytes wanted = der::oid(oid);
    if (!subject || wanted.size() < 2) {
        setLastError(kErrorInvalidParameter);
        return false;
    }
    const std::span<const std::uint8_t> wantedContent(wanted.data() + 2, wanted.size() - 2);
    for (CERTCertExtension** extension = subject->extensions;
         extension != nullptr && *extension != nullptr; ++extension) {
        const auto id = bytesOf((*extension)->id);
        if (std::equal(id.begin(), id.end(), wantedContent.begin(), wantedContent.end())) {
            return true;
        }
    }
    setLastError(cert::kCryptNotFound);
    return false;
}

std::u16string NssCertificateServices::getNameString(CertHandle certificate, std::uint32_t type,
                                                     std::uint32_t flags, std::size_t capacity) {
    const ScopedCERTCertificate subject = certificateOf(certificate);
    if (!subject || type != cert::kNameSimpleDisplayType) {
        setLastError(kErrorInvalidParameter);
        return {};
    }
    std::u16string name = simpleDisplayName(
        (flags & cert::kNameIssuerFlag) != 0 ? subject->issuer : subject->subject);
    if (capacity == 0) {
        return {};
    }
    if (name.size() > capacity - 1) {
        name.resize(capacity - 1);
    }
    return name;
}

bool NssCertificateServices::compareCertificateName(std::uint32_t /*encoding*/,
                                                    CertHandle certificate, NamePart first,
                                                    NamePart second) {
    const ScopedCERTCertificate subject = certificateOf(certificate);
    if (!subject) {
        setLastError(kErrorInvalidParameter);
        return false;
    }
    const auto encoded = [&](NamePart part) -> SECItem* {
        return part == NamePart::Issuer ? &subject->derIssuer : &subject->derSubject;
    };
    return SECITEM_ItemsAreEqual(encoded(first), encoded(second)) == PR_TRUE;
}

bool NssCertificateServices::getCertificateContextProperty(CertHandle certificate,
                                                           std::uint32_t propertyId,
                                                           std::uint32_t& size) {
    const ScopedCERTCertificate subject = certificateOf(certificate);
    if (!subject) {
        setLastError(kErrorInvalidParameter);
        return false;
    }
    if (propertyId != cert::kKeyProvInfoPropId) {
        setLastError(cert::kCryptNotFound);
        return false;
    }
    const ScopedSECItem keyId(PK11_GetLowLevelKeyIDForCert(nullptr, subject.get(), nullptr));
    if (!hasPrivateKey(subject.get()) || !keyId) {
        setLastError(cert::kCryptNotFound);
        return false;
    }
    // The property stands for the link to the key: its identifier.
    size = keyId->len;
    return true;
}

// ---- Signing --------------------------------------------------------------------------------

bool NssCertificateServices::signMessage(const SignMessageParams& params, bool detachedSignature,
                                         std::span<const std::uint8_t> content,
                                         std::uint8_t* signedBlob, std::uint32_t& size) {
    if (params.hashAlgorithmOid != cert::kOidSha256 || !params.hashAlgorithmParameters.empty()) {
        setLastError(kCryptUnknownAlgorithm);
        return false;
    }
    if (params.crlCount != 0 || params.authenticatedAttributeCount != 0 ||
        params.unauthenticatedAttributeCount != 0 || params.innerContentType != 0) {
        setLastError(kErrorInvalidParameter);
        return false;
    }
    const ScopedCERTCertificate signer = certificateOf(params.signingCertificate);
    std::vector<ScopedCERTCertificate> carried;
    for (const CertHandle handle : params.messageCertificates) {
        carried.push_back(certificateOf(handle));
        if (!carried.back()) {
            setLastError(kErrorInvalidParameter);
            return false;
        }
    }
    if (!signer || !openDatabase()) {
        setLastError(signer ? lastError() : kErrorInvalidParameter);
        return false;
    }
    const ScopedSECKEYPrivateKey key = findPrivateKey(signer.get());
    if (!key) {
        setLastError(cert::kNteBadKeyset);
        return false;
    }

    SignedDataParts parts;
    parts.content = content;
    parts.detached = detachedSignature;
    for (const auto& certificate : carried) {
        parts.certificates.push_back(bytesOf(certificate->derCert));
    }
    parts.signerIssuer = bytesOf(signer->derIssuer);
    parts.signerSerial = bytesOf(signer->serialNumber);

    const int rawLength = PK11_SignatureLen(key.get());
    std::size_t maximumLength = 0;
    switch (SECKEY_GetPrivateKeyType(key.get())) {
        case rsaKey:
            parts.signatureAlgorithm = kOidRsaEncryption;
            parts.signatureAlgorithmNullParameters = true;
            maximumLength = static_cast<std::size_t>(std::max(rawLength, 0));
            break;
        case ecKey:
            parts.signatureAlgorithm = kOidEcdsaWithSha256;
            maximumLength = maximumEcdsaSignatureLength(static_cast<std::size_t>(rawLength));
            break;
        default:
            setLastError(kCryptUnknownAlgorithm);
            return false;
    }
    if (rawLength <= 0) {
        setLastError(cert::kNteBadKeyset);
        return false;
    }

    if (signedBlob == nullptr) {
        // The size of a message with the longest signature the key can make.
        const std::vector<std::uint8_t> placeholder(maximumLength, 0);
        parts.signature = placeholder;
        size = static_cast<std::uint32_t>(encodeSignedData(parts).size());
        return true;
    }

    std::uint8_t digest[32];
    if (PK11_HashBuf(SEC_OID_SHA256, digest, content.data(),
                     static_cast<PRInt32>(content.size())) != SECSuccess) {
        setLastError(cert::kEFail);
        return false;
    }
    SECItem digestItem = itemOf(digest);
    SECItem signatureItem{siBuffer, nullptr, 0};
    if (SGN_Digest(key.get(), SEC_OID_SHA256, &signatureItem, &digestItem) != SECSuccess) {
        setLastError(cert::kNteBadKeyset);
        return false;
    }
    ScopedSECItem signature(SECITEM_DupItem(&signatureItem));
    SECITEM_FreeItem(&signatureItem, PR_FALSE);
    if (signature && SECKEY_GetPrivateKeyType(key.get()) == ecKey) {
        // NSS signs EC keys as r||s; PKCS#7 wants the DER SEQUENCE of two INTEGERs.
        SECItem encoded{siBuffer, nullptr, 0};
        const bool ok =
            DSAU_EncodeDerSigWithLen(&encoded, signature.get(), signature->len) == SECSuccess;
        signature.reset(ok ? SECITEM_DupItem(&encoded) : nullptr);
        SECITEM_FreeItem(&encoded, PR_FALSE);
    }
    if (!signature) {
        setLastError(cert::kEFail);
        return false;
    }
    parts.signature = bytesOf(*signature);
    const der::Bytes message = encodeSignedData(parts);
    if (message.size() > size) {
        size = static_cast<std::uint32_t>(message.size());
        setLastError(kErrorMoreData);
        return false;
    }
    std::copy(message.begin(), message.end(), signedBlob);
    size = static_cast<std::uint32_t>(message.size());
    return true;
}

// ---- PKCS#12 --------------------------------------------------------------------------------

bool NssCertificateServices::isPfxBlob(std::span<const std::uint8_t> pfx) {
    if (der::looksLikePfx(pfx)) {
        return true;
    }
    setLastError(cert::kNteBadData);
    return false;
}

bool NssCertificateServices::verifyPfxPassword(std::span<const std::uint8_t> pfx,
                                               std::u16string_view password,
                                               std::uint32_t /*flags*/) {
    if (!openDatabase()) {
        return false;
    }
    OpenedPfx opened;
    const PfxOutcome outcome = opened.open(pfx, password, slot_.get(), passwordContext());
    if (outcome != PfxOutcome::Opened) {
        setPfxError(outcome);
        return false;
    }
    return true;
}

StoreHandle NssCertificateServices::importPfx(std::span<const std::uint8_t> pfx,
                                              std::u16string_view password, std::uint32_t flags) {
    if (!openDatabase()) {
        return {};
    }
    // NSS imports the keys and, with them, the certificates: the user certificate with its
    // key, the CA certificates without trust (a root is trusted only once it is added to
    // "ROOT"). Certificates are never deleted again here: NSS cannot delete a certificate
    // that another thread or program still holds without leaking it.
    std::vector<std::vector<std::uint8_t>> packageCertificates;
    {
        auto keptDecoder = std::make_shared<OpenedPfx>();
        OpenedPfx& opened = *keptDecoder;
        const PfxOutcome outcome = opened.open(pfx, password, slot_.get(), passwordContext());
        if (outcome != PfxOutcome::Opened) {
            setPfxError(outcome);
            return {};
        }
        {
            const std::lock_guard lock(tableMutex_);
            importedPackages_.push_back(keptDecoder);
        }
        struct ForgetPassword {
            OpenedPfx& pfx;
            ~ForgetPassword() { pfx.forgetPassword(); }
        } forgetPassword{opened};
        if (SEC_PKCS12DecoderIterateInit(opened.decoder()) != SECSuccess) {
            setLastError(cert::kEFail);
            return {};
        }
        const SEC_PKCS12DecoderItem* item = nullptr;
        while (SEC_PKCS12DecoderIterateNext(opened.decoder(), &item) == SECSuccess) {
            if (item->type == SEC_OID_PKCS12_V1_CERT_BAG_ID && item->der != nullptr) {
                const auto bytes = bytesOf(*item->der);
                packageCertificates.emplace_back(bytes.begin(), bytes.end());
            }
        }
        if (SEC_PKCS12DecoderValidateBags(opened.decoder(), nicknameForPackageCertificate) !=
                SECSuccess ||
            SEC_PKCS12DecoderImportBags(opened.decoder()) != SECSuccess) {
            setLastError(PORT_GetError() == SEC_ERROR_BAD_PASSWORD ? cert::kErrorInvalidPassword
                                                                   : cert::kEFail);
            return {};
        }
    }

    auto contents = std::make_shared<Snapshot>();
    for (auto& bytes : packageCertificates) {
        SECItem der = itemOf(bytes);
        ScopedCERTCertificate certificate(
            CERT_NewTempCertificate(CERT_GetDefaultCertDB(), &der, nullptr, PR_FALSE, PR_TRUE));
        if (!certificate) {
            setLastError(cert::kEFail);
            return {};
        }
        if ((flags & cert::kCryptExportable) == 0) {
            // NSS lets the flag be cleared, never set again.
            const ScopedSECKEYPrivateKey key = findPrivateKey(certificate.get());
            CK_BBOOL extractable = CK_FALSE;
            SECItem value{siBuffer, &extractable, sizeof extractable};
            if (key && PK11_WriteRawAttribute(PK11_TypePrivKey, key.get(), CKA_EXTRACTABLE,
                                              &value) != SECSuccess) {
                setLastError(cert::kEFail);
                return {};
            }
        }
        contents->push_back(std::move(certificate));
    }

    const std::lock_guard lock(tableMutex_);
    const std::uint64_t value = nextHandle_++;
    stores_.emplace(value, StoreEntry{StoreKind::Temporary, std::move(contents)});
    return StoreHandle{value};
}

// ---- Selection dialog -----------------------------------------------------------------------

ModuleHandle NssCertificateServices::loadSelectionDialog(std::u16string_view library) {
    // The dialog is part of this program; only its name is checked.
    if (library != cert::kSelectionDialogLibrary) {
        setLastError(kErrorInvalidParameter);
        return {};
    }
    const std::lock_guard lock(tableMutex_);
    const std::uint64_t value = nextHandle_++;
    modules_.insert(value);
    return ModuleHandle{value};
}

bool NssCertificateServices::hasSelectionDialogEntry(ModuleHandle module, std::string_view entry) {
    const std::lock_guard lock(tableMutex_);
    if (modules_.count(module.value) == 0 || entry != cert::kSelectionDialogEntry) {
        setLastError(kErrorInvalidParameter);
        return false;
    }
    return true;
}

bool NssCertificateServices::freeSelectionDialog(ModuleHandle module) {
    const std::lock_guard lock(tableMutex_);
    if (modules_.erase(module.value) == 0) {
        setLastError(kErrorInvalidParameter);
        return false;
    }
    return true;
}

CertHandle NssCertificateServices::selectCertificate(const SelectCertificateParams& params) {
    // Handles made for the filter and the dialog; all released on the way out.
    struct Offered {
        NssCertificateServices& self;
        std::vector<CertHandle> handles;
        ~Offered() {
            for (const CertHandle handle : handles) {
                self.freeCertificate(handle);
            }
        }
    } offered{*this, {}};

    std::vector<CertificateChoice> choices;
    for (const StoreHandle store : params.displayStores) {
        const auto contents = snapshotOf(store);
        if (!contents) {
            setLastError(kErrorInvalidParameter);
            return {};
        }
        for (const auto& certificate : *contents) {
            const CertHandle handle = handOut(duplicate(certificate.get()), nullptr, 0);
            if (!handle) {
                setLastError(cert::kEFail);
                return {};
            }
            offered.handles.push_back(handle);
            if (params.filter && !params.filter(handle)) {
                continue;
            }
            CertificateChoice choice;
            choice.certificate = handle;
            describeForChoice(*certificate, choice);
            choices.push_back(std::move(choice));
        }
    }
    const auto chosen = prompts_.chooseCertificate(params, choices);
    if (!chosen || *chosen >= choices.size()) {
        setLastError(cert::kErrorCancelled);
        return {};
    }
    return duplicateCertificate(choices[*chosen].certificate);
}

}  // namespace tessaly::platform::nss
