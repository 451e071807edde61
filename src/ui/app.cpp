#include "ui/app.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QTranslator>
#include <clocale>
#include <cstdlib>
#include <memory>

#include "platform/curl/curl_internet.h"
#include "ui/desktop_services.h"
#include "ui/main_dialog.h"
#include "ui/qt_text.h"
#include "ui/supervision.h"
#include "ui/texts.h"

namespace tessaly::ui {

namespace {

constexpr char16_t kRenewalUrl[] = u"" TESSALY_RENEWAL_URL;

// How long the end of the program waits for a worker that was ended forcibly to unwind.
constexpr std::chrono::seconds kAbandonedWorkerGrace{5};

std::shared_ptr<void> startCurl() {
    auto curl = std::make_shared<platform::curl::CurlGlobal>();
    return curl->ok() ? curl : nullptr;
}

}  // namespace

CLumenoApp::CLumenoApp() : CLumenoApp(startCurl) {}

CLumenoApp::CLumenoApp(NetworkStartup networkStartup)
    : networkStartup_(std::move(networkStartup)) {}

int CLumenoApp::run(int argc, char** argv) {
    int qtArgc = argc > 0 ? 1 : 0;
    char* qtArgv[] = {argc > 0 ? argv[0] : nullptr, nullptr};
    QApplication application(qtArgc, qtArgv);
    return initInstance();
}

int CLumenoApp::initInstance() {
    // The runtime locale; its result is not used. Qt's standard buttons in Japanese.
    std::setlocale(LC_ALL, "ja_JP.UTF-8");
    QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
    QTranslator translator;
    if (translator.load(QStringLiteral("qtbase_ja"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(&translator);
    }
    QApplication::setApplicationName(toQString(kCaption));

    // The network library's process-wide set-up.
    const std::shared_ptr<void> network = networkStartup_();
    if (!network) {
        QMessageBox box(QMessageBox::Warning, QApplication::applicationName(),
                        toQString(kSocketStartupFailed), QMessageBox::Ok);
        box.setObjectName(kStartupFailureName);
        box.exec();
        return EXIT_FAILURE;
    }

    int status = EXIT_SUCCESS;
    {
        const auto bridge = UiThreadBridge::create();
        {
            CLumenoDlg dialog(kRenewalUrl, makeDesktopServices(bridge));
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
