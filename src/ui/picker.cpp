#include "ui/picker.h"

#include <QWidget>
#include <memory>
#include <vector>

#include "certstore/scoped_handles.h"
#include "certstore/selection_dialog_module.h"
#include "renewal/encodings.h"
#include "ui/message_box.h"
#include "ui/qt_text.h"
#include "ui/texts.h"

namespace tessaly::ui {

namespace cert = platform::cert;

CStringMap g_acceptedIssuers;

namespace {
constexpr std::size_t kIssuerNameCapacity = 1024;  // so at most 1023 characters are compared
}

bool CStringMap::contains(std::u16string_view name) const {
    for (const auto& entry : names_) {
        if (entry == name) {
            return true;
        }
    }
    return false;
}

void AddIssuers(std::u16string_view text) {
    std::vector<platform::WideString> names;
    splitString(text, u';', names);
    for (const auto& name : names) {
        if (name.empty()) {
            break;
        }
        g_acceptedIssuers.append(std::u16string(name.begin(), name.end()));
    }
}

bool IsAcceptedIssuer(std::u16string_view name) {
    if (g_acceptedIssuers.empty() || name.empty()) {
        return false;
    }
    return g_acceptedIssuers.contains(name);
}

CCretSelect::~CCretSelect() {
    releaseSelectionDialogModule(certs_);
}

bool CCretSelect::FilterCertificate(platform::CertHandle certificate) const {
    if (!certs_.findExtension(cert::kOidAuthorityKeyIdentifier, certificate)) {
        return false;
    }
    const std::u16string issuer = certs_.getNameString(certificate, cert::kNameSimpleDisplayType,
                                                       cert::kNameIssuerFlag, kIssuerNameCapacity);
    return IsAcceptedIssuer(issuer);
}

int CCretSelect::SelectCertificate(platform::CertHandle& chosen, platform::StoreHandle store) {
    platform::SelectCertificateParams params;
    params.size = 64;
    params.parentWindow = parent_ != nullptr ? static_cast<std::uintptr_t>(parent_->winId()) : 0;
    params.flags = 0;
    params.title = kSelectionTitle;
    params.hiddenColumns = 0;
    params.filter = [this](platform::CertHandle certificate) {
        return FilterCertificate(certificate);
    };
    params.displayStores = {store};

    const platform::CertHandle selected = certs_.selectCertificate(params);
    if (!selected) {
        return 1;
    }
    if (!certs_.findExtension(cert::kOidAuthorityKeyIdentifier, selected)) {
        certs_.freeCertificate(selected);
        return -1;
    }
    chosen = certs_.duplicateCertificate(selected);
    certs_.freeCertificate(selected);
    return 0;
}

int selectExpiredCertificate(QWidget* owner, platform::CertificateServices& certs,
                             platform::CertHandle& chosen) {
    auto picker = std::make_unique<CCretSelect>(certs, owner);

    const platform::ModuleHandle module = certs.loadSelectionDialog(cert::kSelectionDialogLibrary);
    g_selectionDialogModule.store(module);
    if (!module || !certs.hasSelectionDialogEntry(module, cert::kSelectionDialogEntry)) {
        showMessage(owner, toQString(kSystemError), QMessageBox::Critical);
        releaseSelectionDialogModule(certs);
        return -1;
    }

    AddIssuers(kAcceptedIssuers);

    ScopedStore store(certs, certs.openSystemStore(cert::kStoreMy));  // closed on every way out
    if (!store) {
        showMessage(owner, toQString(kStoreNotOpened), QMessageBox::Critical);
        picker.reset();
        return -2;
    }

    const int selected = picker->SelectCertificate(chosen, store.get());
    store.close();
    if (selected < 0) {
        showMessage(owner, toQString(kExtensionMissing), QMessageBox::Critical);
    }
    picker.reset();
    return selected < 0 ? -3 : selected;
}

}  // namespace tessaly::ui
