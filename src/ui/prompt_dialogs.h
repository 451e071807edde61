// The Qt dialogs that answer the services' questions: the certificate selection dialog, the
// database password and the confirmation before a root certificate is trusted (certificate
// services); proxy credentials and the client certificate (Internet services).
// The prompts may be asked on any thread; the dialogs always run on the UI thread.
#pragma once

#include <QDialog>
#include <memory>
#include <optional>
#include <span>

#include "platform/certificate_prompts.h"
#include "platform/client_certificates.h"
#include "platform/internet_prompts.h"
#include "ui/ui_thread_bridge.h"

class QTreeWidget;
class QLineEdit;
class QPlainTextEdit;

namespace tessaly::ui {

// Lists the choices (issued to, issued by, expiry, nickname) with the details of the current
// one below; OK takes the current line. `prompt`, when not empty, is shown above the list.
class CertificateSelectionDialog : public QDialog {
    Q_OBJECT

  public:
    CertificateSelectionDialog(const QString& title, const QString& prompt,
                               std::span<const platform::CertificateChoice> choices,
                               QWidget* parent);
    std::optional<std::size_t> chosen() const;

  private:
    void showDetails();

    std::span<const platform::CertificateChoice> choices_;
    QTreeWidget* list_;
    QPlainTextEdit* details_;
};

class UiCertificatePrompts final : public platform::CertificatePrompts {
  public:
    explicit UiCertificatePrompts(std::shared_ptr<UiThreadBridge> bridge)
        : bridge_(std::move(bridge)) {}

    std::optional<platform::WideString> databasePassword(std::u16string_view tokenName) override;
    bool confirmRootCertificate(const platform::RootCertificateDetails& details) override;
    std::optional<std::size_t> chooseCertificate(
        const platform::SelectCertificateParams& params,
        std::span<const platform::CertificateChoice> choices) override;

  private:
    std::shared_ptr<UiThreadBridge> bridge_;
};

// The user name and password a proxy asks for.
class ProxyCredentialsDialog : public QDialog {
    Q_OBJECT

  public:
    ProxyCredentialsDialog(const platform::ProxyCredentialsRequest& request, QWidget* parent);
    ~ProxyCredentialsDialog() override;
    // Takes the typed values out of the boxes.
    platform::ProxyCredentials takeCredentials();

  private:
    QLineEdit* user_;
    QLineEdit* password_;
};

// Proxy credentials, and the client certificate chosen from `source`'s offers.
class UiInternetPrompts final : public platform::InternetPrompts {
  public:
    UiInternetPrompts(std::shared_ptr<UiThreadBridge> bridge,
                      std::shared_ptr<platform::ClientCertificateSource> source)
        : bridge_(std::move(bridge)), source_(std::move(source)) {}

    std::optional<platform::ProxyCredentials> askProxyCredentials(
        const platform::ProxyCredentialsRequest& request) override;
    // No dialog when nothing is offered: there is nothing to choose.
    std::optional<platform::ClientCertificate> chooseClientCertificate(
        const platform::ClientCertificateRequest& request) override;

  private:
    std::shared_ptr<UiThreadBridge> bridge_;
    std::shared_ptr<platform::ClientCertificateSource> source_;
};

}  // namespace tessaly::ui
