#include "fake_certificates.h"

#include <algorithm>
#include <cstring>

#include "platform/last_error.h"

namespace tessaly::fakes {

namespace cert = platform::cert;
using platform::CertHandle;
using platform::StoreHandle;

namespace {
constexpr std::uint32_t kInvalidHandle = 6;
constexpr std::uint32_t kMoreData = 234;
constexpr std::uint32_t kBadPassword = 0x80070056;
}  // namespace

FakeCertificates::FakeCertificates() {
    for (const auto name : {cert::kStoreMy, cert::kStoreRoot, cert::kStoreCa}) {
        systemStores_[std::u16string(name)];
    }
}

int FakeCertificates::addCertificate(FakeCertificate certificate) {
    certificates_.push_back(std::move(certificate));
    return static_cast<int>(certificates_.size()) - 1;
}

void FakeCertificates::putInStore(const std::u16string& store, int id) {
    systemStores_[store].push_back(id);
}

void FakeCertificates::removeFromStore(const std::u16string& store, int id) {
    auto& ids = systemStores_[store];
    ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
}

void FakeCertificates::registerPackage(std::string bytes, std::u16string password,
                                       std::vector<int> ids) {
    packages_[std::move(bytes)] = Package{std::move(password), std::move(ids)};
}

CertHandle FakeCertificates::contextOf(int id) {
    return newContext(id);
}

void FakeCertificates::queueFailure(const std::string& op, std::uint32_t error) {
    failures_[op].push_back(error);
}

std::vector<CertCall> FakeCertificates::callsTo(const std::string& op) const {
    std::vector<CertCall> matching;
    std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(matching),
                 [&](const CertCall& call) { return call.op == op; });
    return matching;
}

std::vector<std::string> FakeCertificates::callNames() const {
    std::vector<std::string> names;
    for (const auto& call : calls_) {
        names.push_back(call.op);
    }
    return names;
}

std::vector<std::string> FakeCertificates::storeContents(const std::u16string& store) const {
    std::vector<std::string> names;
    const auto it = systemStores_.find(store);
    if (it != systemStores_.end()) {
        for (const int id : it->second) {
            names.push_back(certificates_[id].name);
        }
    }
    return names;
}

std::string FakeCertificates::signedMessageFor(const std::string& signer,
                                               const std::string& content) {
    return "SignedData(" + signer + "," + content + ")";
}

bool FakeCertificates::scriptedFailure(const std::string& op) {
    auto& queue = failures_[op];
    if (queue.empty()) {
        return false;
    }
    const std::uint32_t error = queue.front();
    queue.pop_front();
    if (error == 0) {
        return false;
    }
    platform::setLastError(error);
    return true;
}

CertHandle FakeCertificates::newContext(int id) {
    const CertHandle handle{nextHandle_++};
    contexts_[handle.value] = id;
    return handle;
}

const FakeCertificate* FakeCertificates::certificateOf(CertHandle handle) {
    const auto it = contexts_.find(handle.value);
    return it == contexts_.end() ? nullptr : &certificates_[it->second];
}

std::vector<int>* FakeCertificates::idsOf(StoreHandle store) {
    const auto it = stores_.find(store.value);
    if (it == stores_.end()) {
        return nullptr;
    }
    if (it->second.name.empty()) {
        return &it->second.ids;
    }
    return &systemStores_[it->second.name];
}

const FakeCertificates::Package* FakeCertificates::packageOf(
    std::span<const std::uint8_t> pfx) const {
    const auto it =
        packages_.find(std::string(reinterpret_cast<const char*>(pfx.data()), pfx.size()));
    return it == packages_.end() ? nullptr : &it->second;
}

StoreHandle FakeCertificates::openSystemStore(std::u16string_view name) {
    calls_.push_back({.op = "openSystemStore", .text = std::u16string(name)});
    if (scriptedFailure("openSystemStore")) {
        return {};
    }
    if (unopenableStores_.count(std::u16string(name)) != 0) {
        platform::setLastError(cert::kEFail);
        return {};
    }
    const StoreHandle handle{nextHandle_++};
    stores_[handle.value] = Store{std::u16string(name), {}};
    return handle;
}

bool FakeCertificates::closeStore(StoreHandle store, std::uint32_t flags) {
    calls_.push_back({.op = "closeStore", .numbers = {store.value, flags}});
    if (stores_.erase(store.value) == 0) {
        ++badReleases_;
        platform::setLastError(kInvalidHandle);
        return false;
    }
    return true;
}

CertHandle FakeCertificates::findCertificateInStore(StoreHandle store, std::uint32_t encoding,
                                                    std::uint32_t findFlags, std::uint32_t findType,
                                                    CertHandle findParameter, CertHandle previous) {
    calls_.push_back(
        {.op = "findCertificateInStore",
         .numbers = {encoding, findFlags, findType, findParameter.value, previous.value}});
    if (scriptedFailure("findCertificateInStore")) {
        return {};
    }
    const auto* ids = idsOf(store);
    const auto wanted = contexts_.find(findParameter.value);
    if (ids == nullptr || wanted == contexts_.end() || findType != cert::kFindExisting ||
        std::find(ids->begin(), ids->end(), wanted->second) == ids->end()) {
        platform::setLastError(cert::kCryptNotFound);
        return {};
    }
    return newContext(wanted->second);
}

CertHandle FakeCertificates::enumCertificatesInStore(StoreHandle store, CertHandle previous) {
    calls_.push_back({.op = "enumCertificatesInStore", .numbers = {store.value, previous.value}});
    std::size_t position = 0;
    if (previous) {
        position = walkPositions_[previous.value] + 1;
        walkPositions_.erase(previous.value);
        if (contexts_.erase(previous.value) == 0) {
            ++badReleases_;
        }
    }
    const auto* ids = idsOf(store);
    if (ids == nullptr || position >= ids->size()) {
        platform::setLastError(cert::kCryptNotFound);
        return {};
    }
    const CertHandle handle = newContext((*ids)[position]);
    walkPositions_[handle.value] = position;
    return handle;
}

bool FakeCertificates::addCertificateToStore(StoreHandle store, CertHandle certificate,
                                             std::uint32_t disposition) {
    const auto it = contexts_.find(certificate.value);
    calls_.push_back({.op = "addCertificateToStore",
                      .numbers = {store.value, disposition},
                      .text = stores_.count(store.value) ? stores_[store.value].name : u"",
                      .detail = it == contexts_.end() ? "" : certificates_[it->second].name});
    if (scriptedFailure("addCertificateToStore")) {
        return false;
    }
    auto* ids = idsOf(store);
    if (ids == nullptr || it == contexts_.end()) {
        platform::setLastError(kInvalidHandle);
        return false;
    }
    if (unwritableStores_.count(stores_[store.value].name) != 0) {
        platform::setLastError(cert::kErrorCancelled);
        return false;
    }
    if (std::find(ids->begin(), ids->end(), it->second) == ids->end()) {
        ids->push_back(it->second);
    }
    return true;
}

CertHandle FakeCertificates::duplicateCertificate(CertHandle certificate) {
    calls_.push_back({.op = "duplicateCertificate", .numbers = {certificate.value}});
    const auto it = contexts_.find(certificate.value);
    if (it == contexts_.end()) {
        return {};
    }
    return newContext(it->second);
}

bool FakeCertificates::freeCertificate(CertHandle certificate) {
    calls_.push_back({.op = "freeCertificate", .numbers = {certificate.value}});
    walkPositions_.erase(certificate.value);
    if (contexts_.erase(certificate.value) == 0) {
        ++badReleases_;
        return false;
    }
    return true;
}

bool FakeCertificates::findExtension(std::string_view oid, CertHandle certificate) {
    calls_.push_back({.op = "findExtension", .detail = std::string(oid)});
    const auto* found = certificateOf(certificate);
    return found != nullptr && oid == cert::kOidAuthorityKeyIdentifier &&
           found->hasAuthorityKeyIdentifier;
}

std::u16string FakeCertificates::getNameString(CertHandle certificate, std::uint32_t type,
                                               std::uint32_t flags, std::size_t capacity) {
    calls_.push_back({.op = "getNameString", .numbers = {type, flags, capacity}});
    const auto* found = certificateOf(certificate);
    if (found == nullptr || capacity == 0) {
        return {};
    }
    return found->issuerDisplayName.substr(0, capacity - 1);
}

bool FakeCertificates::compareCertificateName(std::uint32_t encoding, CertHandle certificate,
                                              platform::NamePart first, platform::NamePart second) {
    calls_.push_back({.op = "compareCertificateName",
                      .numbers = {encoding, static_cast<std::uint64_t>(first),
                                  static_cast<std::uint64_t>(second)}});
    const auto* found = certificateOf(certificate);
    return found != nullptr && (first == second || found->selfIssued);
}

bool FakeCertificates::getCertificateContextProperty(CertHandle certificate,
                                                     std::uint32_t propertyId,
                                                     std::uint32_t& size) {
    calls_.push_back({.op = "getCertificateContextProperty", .numbers = {propertyId}});
    const auto* found = certificateOf(certificate);
    if (found == nullptr) {
        platform::setLastError(kInvalidHandle);
        return false;
    }
    if (found->propertyError) {
        platform::setLastError(*found->propertyError);
        return false;
    }
    if (propertyId != cert::kKeyProvInfoPropId || !found->hasKey) {
        platform::setLastError(cert::kCryptNotFound);
        return false;
    }
    size = 64;
    return true;
}

bool FakeCertificates::signMessage(const platform::SignMessageParams& params,
                                   bool detachedSignature, std::span<const std::uint8_t> content,
                                   std::uint8_t* signedBlob, std::uint32_t& size) {
    const std::string text(reinterpret_cast<const char*>(content.data()), content.size());
    calls_.push_back({.op = "signMessage",
                      .numbers = {detachedSignature ? 1u : 0u, signedBlob != nullptr ? 1u : 0u},
                      .detail = text});
    lastSignParams_ = params;
    if (scriptedFailure("signMessage")) {
        return false;
    }
    const auto* signer = certificateOf(params.signingCertificate);
    if (signer == nullptr || !signer->hasKey) {
        platform::setLastError(cert::kNteBadKeyset);
        return false;
    }
    const std::string message = signedMessageFor(signer->name, text);
    if (signedBlob == nullptr) {
        size = static_cast<std::uint32_t>(message.size());
        return true;
    }
    if (size < message.size()) {
        size = static_cast<std::uint32_t>(message.size());
        platform::setLastError(kMoreData);
        return false;
    }
    std::memcpy(signedBlob, message.data(), message.size());
    size = static_cast<std::uint32_t>(message.size());
    return true;
}

bool FakeCertificates::isPfxBlob(std::span<const std::uint8_t> pfx) {
    calls_.push_back(
        {.op = "isPfxBlob",
         .numbers = {pfx.size()},
         .detail = std::string(reinterpret_cast<const char*>(pfx.data()), pfx.size())});
    if (scriptedFailure("isPfxBlob")) {
        return false;
    }
    return packageOf(pfx) != nullptr;
}

bool FakeCertificates::verifyPfxPassword(std::span<const std::uint8_t> pfx,
                                         std::u16string_view password, std::uint32_t flags) {
    calls_.push_back(
        {.op = "verifyPfxPassword", .numbers = {flags}, .text = std::u16string(password)});
    const auto* package = packageOf(pfx);
    if (package == nullptr || package->password != password) {
        platform::setLastError(kBadPassword);
        return false;
    }
    return true;
}

StoreHandle FakeCertificates::importPfx(std::span<const std::uint8_t> pfx,
                                        std::u16string_view password, std::uint32_t flags) {
    calls_.push_back({.op = "importPfx", .numbers = {flags}, .text = std::u16string(password)});
    if (scriptedFailure("importPfx")) {
        return {};
    }
    const auto* package = packageOf(pfx);
    if (package == nullptr || package->password != password) {
        platform::setLastError(kBadPassword);
        return {};
    }
    const StoreHandle handle{nextHandle_++};
    stores_[handle.value] = Store{u"", package->ids};
    return handle;
}

platform::ModuleHandle FakeCertificates::loadSelectionDialog(std::u16string_view library) {
    calls_.push_back({.op = "loadSelectionDialog", .text = std::u16string(library)});
    if (scriptedFailure("loadSelectionDialog")) {
        return {};
    }
    const platform::ModuleHandle module{nextHandle_++};
    loadedModules_.insert(module.value);
    return module;
}

bool FakeCertificates::hasSelectionDialogEntry(platform::ModuleHandle module,
                                               std::string_view entry) {
    calls_.push_back(
        {.op = "hasSelectionDialogEntry", .numbers = {module.value}, .detail = std::string(entry)});
    return !scriptedFailure("hasSelectionDialogEntry") && loadedModules_.count(module.value) != 0;
}

bool FakeCertificates::freeSelectionDialog(platform::ModuleHandle module) {
    calls_.push_back({.op = "freeSelectionDialog", .numbers = {module.value}});
    if (loadedModules_.erase(module.value) == 0) {
        ++badReleases_;
        return false;
    }
    return true;
}

CertHandle FakeCertificates::selectCertificate(const platform::SelectCertificateParams& params) {
    calls_.push_back({.op = "selectCertificate", .numbers = {params.size}, .text = params.title});
    listedByDialog_.clear();
    for (const StoreHandle store : params.displayStores) {
        const auto* ids = idsOf(store);
        if (ids == nullptr) {
            continue;
        }
        for (const int id : *ids) {
            const CertHandle probe = newContext(id);
            if (!params.filter || params.filter(probe)) {
                listedByDialog_.push_back(certificates_[id].name);
            }
            contexts_.erase(probe.value);
        }
    }
    if (!dialogChoice_) {
        return {};
    }
    return newContext(*dialogChoice_);
}

}  // namespace tessaly::fakes
