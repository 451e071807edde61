// The Qt dialogs that answer the certificate services' questions: the certificate selection
// dialog, the database password, and the confirmation before a root certificate is trusted.
// The prompts may be asked on any thread; the dialogs always run on the UI thread.
#pragma once

#include <QDialog>
#include <memory>
#include <optional>
#include <span>

#include "platform/certificate_prompts.h"
#include "ui/ui_thread_bridge.h"

class QTreeWidget;
class QPlainTextEdit;

namespace tessaly::ui {

// Lists the choices (issued to, issued by, expiry, nickname) with the details of the current
// one below; OK takes the current line.
class CertificateSelectionDialog : public QDialog {
    Q_OBJECT

  public:
    CertificateSelectionDialog(const platform::SelectCertificateParams& params,
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

}  // namespace tessaly::ui
