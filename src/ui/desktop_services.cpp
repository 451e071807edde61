#include "ui/desktop_services.h"

#include <string>
#include <vector>

#include "certstore/scoped_handles.h"
#include "platform/curl/curl_internet.h"
#include "platform/nss/nss_certificate_services.h"
#include "ui/prompt_dialogs.h"

namespace tessaly::ui {

namespace {

// The user's trusted roots ("ROOT"), so that the TLS client accepts a server they lead to.
std::vector<std::string> userTrustedRoots(platform::nss::NssCertificateServices& certs) {
    std::vector<std::string> roots;
    const ScopedStore store(certs, certs.openSystemStore(platform::cert::kStoreRoot));
    if (!store) {
        return roots;
    }
    platform::CertHandle certificate;
    while ((certificate = certs.enumCertificatesInStore(store.get(), certificate))) {
        const auto der = certs.encodedCertificate(certificate);
        roots.emplace_back(der.begin(), der.end());
    }
    return roots;
}

}  // namespace

RenewalServices makeDesktopServices(std::shared_ptr<UiThreadBridge> bridge) {
    // The prompts outlive the services, which borrow them.
    const auto certificatePrompts = std::make_shared<UiCertificatePrompts>(bridge);
    const auto nss = std::shared_ptr<platform::nss::NssCertificateServices>(
        new platform::nss::NssCertificateServices(*certificatePrompts),
        [certificatePrompts](platform::nss::NssCertificateServices* services) { delete services; });
    const auto internetPrompts = std::make_shared<UiInternetPrompts>(bridge, nss);

    platform::curl::CurlInternetOptions options;
    options.trustedRoots = userTrustedRoots(*nss);
    options.prompts = internetPrompts.get();
    const std::shared_ptr<platform::InternetServices> net(
        new platform::curl::CurlInternet(std::move(options)),
        [internetPrompts](platform::InternetServices* services) { delete services; });
    return RenewalServices{nss, net, std::move(bridge)};
}

}  // namespace tessaly::ui
