#include "ui/prompt_dialogs.h"

#include <QApplication>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "ui/qt_text.h"
#include "ui/texts.h"

namespace tessaly::ui {

namespace {

QString dateText(std::chrono::system_clock::time_point when) {
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
    return QDateTime::fromSecsSinceEpoch(seconds).toString(QStringLiteral("yyyy/MM/dd HH:mm:ss"));
}

// Dialogs asked for from the worker go over whatever modal window the UI shows at that moment.
QWidget* currentParent() {
    if (QWidget* modal = QApplication::activeModalWidget()) {
        return modal;
    }
    return QApplication::activeWindow();
}

}  // namespace

CertificateSelectionDialog::CertificateSelectionDialog(
    const QString& title, const QString& prompt,
    std::span<const platform::CertificateChoice> choices, QWidget* parent)
    : QDialog(parent), choices_(choices) {
    setObjectName("certificateSelection");
    setWindowTitle(title);
    auto* layout = new QVBoxLayout(this);
    if (!prompt.isEmpty()) {
        auto* label = new QLabel(prompt, this);
        label->setObjectName("selectionPrompt");
        label->setWordWrap(true);
        label->setTextFormat(Qt::PlainText);
        layout->addWidget(label);
    }

    list_ = new QTreeWidget(this);
    list_->setObjectName("certificateList");
    list_->setRootIsDecorated(false);
    list_->setHeaderLabels({QStringLiteral("発行先"), QStringLiteral("発行者"),
                            QStringLiteral("有効期限"), QStringLiteral("ニックネーム")});
    for (const auto& choice : choices_) {
        list_->addTopLevelItem(
            new QTreeWidgetItem({toQString(choice.issuedTo), toQString(choice.issuedBy),
                                 dateText(choice.expires), toQString(choice.nickname)}));
    }
    list_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    layout->addWidget(list_);

    details_ = new QPlainTextEdit(this);
    details_->setObjectName("certificateDetails");
    details_->setReadOnly(true);
    details_->setMaximumHeight(90);
    layout->addWidget(details_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName("selectionButtons");
    layout->addWidget(buttons);
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    ok->setEnabled(false);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(list_, &QTreeWidget::currentItemChanged, this, [this, ok] {
        ok->setEnabled(list_->currentItem() != nullptr);
        showDetails();
    });
    connect(list_, &QTreeWidget::itemDoubleClicked, this, &QDialog::accept);
    if (!choices_.empty()) {
        list_->setCurrentItem(list_->topLevelItem(0));
    }
    resize(640, 360);
}

std::optional<std::size_t> CertificateSelectionDialog::chosen() const {
    const int index = list_->indexOfTopLevelItem(list_->currentItem());
    if (index < 0) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(index);
}

void CertificateSelectionDialog::showDetails() {
    const auto index = chosen();
    if (!index) {
        details_->clear();
        return;
    }
    const auto& choice = choices_[*index];
    details_->setPlainText(QStringLiteral("発行先: %1\n発行者: %2\n有効期限: %3\nニックネーム: %4")
                               .arg(toQString(choice.issuedTo), toQString(choice.issuedBy),
                                    dateText(choice.expires), toQString(choice.nickname)));
}

std::optional<platform::WideString> UiCertificatePrompts::databasePassword(
    std::u16string_view tokenName) {
    std::optional<platform::WideString> answer;
    bridge_->run([&] {
        QInputDialog dialog(currentParent());
        dialog.setObjectName("databasePassword");
        dialog.setWindowTitle(toQString(kCaption));
        dialog.setLabelText(
            QStringLiteral("証明書データベース「%1」のパスワード:").arg(toQString(tokenName)));
        dialog.setTextEchoMode(QLineEdit::Password);
        if (dialog.exec() == QDialog::Accepted) {
            answer = toSecret(dialog.textValue());
        }
        dialog.setTextValue(QString());
    });
    return answer;
}

bool UiCertificatePrompts::confirmRootCertificate(const platform::RootCertificateDetails& details) {
    bool agreed = false;
    bridge_->run([&] {
        QString fingerprint;
        for (const std::uint8_t byte : details.sha1Fingerprint) {
            if (!fingerprint.isEmpty()) {
                fingerprint += u':';
            }
            fingerprint += QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
        }
        QMessageBox box(
            QMessageBox::Warning, toQString(kCaption),
            QStringLiteral("次のルート証明書を信頼しますか？\n\n"
                           "発行先: %1\n発行者: %2\n有効期間: %3 - %4\n"
                           "拇印 (SHA-1): %5")
                .arg(toQString(details.subject), toQString(details.issuer),
                     dateText(details.notBefore), dateText(details.notAfter), fingerprint),
            QMessageBox::Yes | QMessageBox::No, currentParent());
        box.setObjectName("rootConfirmation");
        box.setTextFormat(Qt::PlainText);
        box.setDefaultButton(QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
        agreed = box.exec() == QMessageBox::Yes;
    });
    return agreed;
}

std::optional<std::size_t> UiCertificatePrompts::chooseCertificate(
    const platform::SelectCertificateParams& params,
    std::span<const platform::CertificateChoice> choices) {
    std::optional<std::size_t> chosen;
    bridge_->run([&] {
        CertificateSelectionDialog dialog(toQString(params.title), QString(), choices,
                                          currentParent());
        if (dialog.exec() == QDialog::Accepted) {
            chosen = dialog.chosen();
        }
    });
    return chosen;
}

ProxyCredentialsDialog::ProxyCredentialsDialog(const platform::ProxyCredentialsRequest& request,
                                               QWidget* parent)
    : QDialog(parent) {
    setObjectName("proxyCredentials");
    setWindowTitle(toQString(kCaption));
    auto* layout = new QVBoxLayout(this);
    auto* prompt =
        new QLabel(QStringLiteral("プロキシ %1 がユーザー名とパスワードを求めています。\n"
                                  "接続先: %2")
                       .arg(toQString(request.proxy), toQString(request.server)),
                   this);
    prompt->setObjectName("proxyPrompt");
    prompt->setTextFormat(Qt::PlainText);
    prompt->setWordWrap(true);
    layout->addWidget(prompt);

    auto* form = new QFormLayout;
    user_ = new QLineEdit(this);
    user_->setObjectName("proxyUser");
    password_ = new QLineEdit(this);
    password_->setObjectName("proxyPassword");
    password_->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("ユーザー名:"), user_);
    form->addRow(QStringLiteral("パスワード:"), password_);
    layout->addLayout(form);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName("proxyButtons");
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

ProxyCredentialsDialog::~ProxyCredentialsDialog() {
    password_->clear();
}

platform::ProxyCredentials ProxyCredentialsDialog::takeCredentials() {
    platform::ProxyCredentials credentials{toSecret(user_->text()), toSecret(password_->text())};
    password_->clear();
    return credentials;
}

std::optional<platform::ProxyCredentials> UiInternetPrompts::askProxyCredentials(
    const platform::ProxyCredentialsRequest& request) {
    std::optional<platform::ProxyCredentials> answer;
    bridge_->run([&] {
        ProxyCredentialsDialog dialog(request, currentParent());
        if (dialog.exec() == QDialog::Accepted) {
            answer = dialog.takeCredentials();
        }
    });
    return answer;
}

std::optional<platform::ClientCertificate> UiInternetPrompts::chooseClientCertificate(
    const platform::ClientCertificateRequest& request) {
    if (!source_) {
        return std::nullopt;
    }
    // The database is read here, on the asking thread; only the choice runs on the UI thread.
    const auto offers = source_->clientCertificateOffers(request.acceptedIssuers);
    if (offers.empty()) {
        return std::nullopt;
    }
    std::vector<platform::CertificateChoice> choices;
    for (const auto& offer : offers) {
        choices.push_back({{}, offer.issuedTo, offer.issuedBy, offer.expires, offer.nickname});
    }
    std::optional<std::size_t> chosen;
    bridge_->run([&] {
        CertificateSelectionDialog dialog(
            QStringLiteral("クライアント証明書の選択"),
            QStringLiteral(
                "サーバー %1 がクライアント証明書を求めています。使用する証明書を選んでください。")
                .arg(toQString(request.server)),
            choices, currentParent());
        dialog.setObjectName("clientCertificate");
        if (dialog.exec() == QDialog::Accepted) {
            chosen = dialog.chosen();
        }
    });
    if (!chosen) {
        return std::nullopt;
    }
    return source_->clientCertificateOf(offers[*chosen]);
}

}  // namespace tessaly::ui
