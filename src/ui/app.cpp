#include "ui/app.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QTranslator>
#include <clocale>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/curl/curl_internet.h"
#include "platform/nss/nss_certificate_services.h"
#include "ui/main_dialog.h"
#include "ui/prompt_dialogs.h"
#include "ui/qt_text.h"
#include "ui/supervision.h"
#include "ui/texts.h"

namespace tessaly::ui {

namespace {

constexpr char16_t kRenewalUrl[] = u"" TESSALY_RENEWAL_URL;

// How long the end of the program waits for a worker that was ended forcibly to unwind.
constexpr std::chrono::seconds kAbandonedWorkerGrace{5};

// The user's trusted roots ("ROOT"), so that the TLS client accepts a server they lead to.
std::vector<std::string> userTrustedRoots(platform::nss::NssCertificateServices& certs) {
    std::vector<std::string> roots;
    const platform::StoreHandle store = certs.openSystemStore(platform::cert::kStoreRoot);
    if (!store) {
        return roots;
    }
    platform::CertHandle certificate;
    while ((certificate = certs.enumCertificatesInStore(store, certificate))) {
        const auto der = certs.encodedCertificate(certificate);
        roots.emplace_back(der.begin(), der.end());
    }
    certs.closeStore(store, 0);
    return roots;
}

}  // namespace

int CLumenoApp::run(int argc, char** argv) {
    // Common controls: the widget application. Qt gets no argument but the program's name.
    int qtArgc = argc > 0 ? 1 : 0;
    char* qtArgv[] = {argc > 0 ? argv[0] : nullptr, nullptr};
    QApplication application(qtArgc, qtArgv);

    // The runtime locale; its result is not used. Qt's standard buttons in Japanese.
    std::setlocale(LC_ALL, "ja_JP.UTF-8");
    QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
    QTranslator translator;
    if (translator.load(QStringLiteral("qtbase_ja"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(&translator);
    }

    // The network library's process-wide set-up.
    const platform::curl::CurlGlobal curl;
    if (!curl.ok()) {
        QMessageBox box(QMessageBox::Warning, QApplication::applicationName(),
                        toQString(kSocketStartupFailed), QMessageBox::Ok);
        box.exec();
        return EXIT_FAILURE;
    }

    int status = EXIT_SUCCESS;
    {
        const auto bridge = UiThreadBridge::create();
        // The prompts outlive the certificate services, which borrow them.
        const auto prompts = std::make_shared<UiCertificatePrompts>(bridge);
        auto* nss = new platform::nss::NssCertificateServices(*prompts);
        const std::shared_ptr<platform::CertificateServices> certs(
            nss, [prompts](platform::CertificateServices* services) { delete services; });

        platform::curl::CurlInternetOptions options;
        options.trustedRoots = userTrustedRoots(*nss);
        const std::shared_ptr<platform::InternetServices> net =
            std::make_shared<platform::curl::CurlInternet>(std::move(options));

        {
            CLumenoDlg dialog(kRenewalUrl, RenewalServices{certs, net, bridge});
            dialog.exec();
        }
        disarmWatchdog();
        bridge->close();
        if (!waitForWorkers(kAbandonedWorkerGrace)) {
            // A worker ended forcibly is still inside a service: leave without tearing anything
            // down under it. Nothing is left to write.
            std::_Exit(status);
        }
    }
    return status;
}

}  // namespace tessaly::ui
