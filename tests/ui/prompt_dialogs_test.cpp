// The dialogs that answer the certificate services' questions, asked from another thread as the
// worker asks them, and answered on the UI thread.
#include <gtest/gtest.h>

#include <QDialogButtonBox>
#include <QDir>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <atomic>
#include <functional>
#include <thread>

#include "modal_script.h"
#include "ui/prompt_dialogs.h"
#include "ui/qt_text.h"

namespace tessaly::ui {
namespace {

using testing::ModalScript;
using testing::pressButton;
using testing::saveScreenshot;

// The user's certificates for a TLS client, as a list the test sets; records what it is asked.
class ListedClientCertificates final : public platform::ClientCertificateSource {
  public:
    std::vector<platform::ClientCertificateOffer> offers;
    std::vector<std::vector<std::uint8_t>> askedIssuers;
    std::vector<std::vector<std::uint8_t>> exported;  // the certificates whose key was taken

    std::vector<platform::ClientCertificateOffer> clientCertificateOffers(
        const std::vector<std::vector<std::uint8_t>>& acceptedIssuers) override {
        askedIssuers = acceptedIssuers;
        return offers;
    }
    std::optional<platform::ClientCertificate> clientCertificateOf(
        const platform::ClientCertificateOffer& offer) override {
        exported.push_back(offer.certificate);
        platform::ClientCertificate identity;
        identity.certificate.assign(offer.certificate.begin(), offer.certificate.end());
        identity.privateKey = {0x4B};
        return identity;
    }
};

class PromptDialogsTest : public ::testing::Test {
  protected:
    void TearDown() override { bridge->close(); }

    // Asks on a worker thread and keeps the UI thread's loop running until it has an answer.
    void askFromWorker(const std::function<void()>& ask) {
        std::atomic<bool> done{false};
        std::thread worker([&] {
            ask();
            done = true;
        });
        EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 10000));
        worker.join();
    }

    std::shared_ptr<UiThreadBridge> bridge = UiThreadBridge::create();
    UiCertificatePrompts prompts{bridge};
    std::shared_ptr<ListedClientCertificates> clientCertificates =
        std::make_shared<ListedClientCertificates>();
    UiInternetPrompts internetPrompts{bridge, clientCertificates};
};

TEST_F(PromptDialogsTest, SelectionDialogListsTheChoicesAndReturnsTheOneTaken) {
    const auto expiry = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
    const platform::CertificateChoice choices[] = {
        {{1}, u"Alice", u"Corvane Banking Union CA", expiry, u"alice"},
        {{2}, u"Bob", u"Corvane Banking Union CA G2", expiry, u"bob"},
    };
    platform::SelectCertificateParams params;
    params.title = u"有効期限切れ証明書の選択";

    for (const bool take : {true, false}) {
        SCOPED_TRACE(take ? "OK on the second line" : "cancelled");
        QString title;
        QStringList firstRow;
        QString details;
        ModalScript script;
        script.then("certificateSelection", [&](QWidget* dialog) {
            title = dialog->windowTitle();
            auto* list = dialog->findChild<QTreeWidget*>("certificateList");
            ASSERT_EQ(list->topLevelItemCount(), 2);
            for (int column = 0; column < 4; ++column) {
                firstRow << list->topLevelItem(0)->text(column);
            }
            list->setCurrentItem(list->topLevelItem(1));
            details = dialog->findChild<QPlainTextEdit*>("certificateDetails")->toPlainText();
            saveScreenshot(dialog, "certificate-selection");
            auto* buttons = dialog->findChild<QDialogButtonBox*>("selectionButtons");
            buttons->button(take ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
        });
        std::optional<std::size_t> chosen{99};
        askFromWorker([&] { chosen = prompts.chooseCertificate(params, choices); });
        EXPECT_TRUE(script.finished());
        EXPECT_EQ(title, toQString(params.title));
        ASSERT_EQ(firstRow.size(), 4);
        EXPECT_EQ(firstRow[0], "Alice");
        EXPECT_EQ(firstRow[1], "Corvane Banking Union CA");
        EXPECT_EQ(firstRow[3], "alice");
        EXPECT_TRUE(details.contains("Bob"));
        EXPECT_TRUE(details.contains("Corvane Banking Union CA G2"));
        EXPECT_EQ(chosen, take ? std::optional<std::size_t>(1) : std::nullopt);
    }
}

TEST_F(PromptDialogsTest, RootConfirmationShowsTheCertificateAndDefaultsToNo) {
    platform::RootCertificateDetails details;
    details.subject = u"CN=Corvane Root";
    details.issuer = u"CN=Corvane Root";
    for (std::size_t i = 0; i < details.sha1Fingerprint.size(); ++i) {
        details.sha1Fingerprint[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    for (const auto button : {QMessageBox::Yes, QMessageBox::No}) {
        QString text;
        bool noIsDefault = false;
        ModalScript script;
        script.then("rootConfirmation", [&](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            text = box->text();
            noIsDefault =
                static_cast<QAbstractButton*>(box->defaultButton()) == box->button(QMessageBox::No);
            saveScreenshot(box, "root-confirmation");
            pressButton(box, button);
        });
        bool agreed = button == QMessageBox::No;
        askFromWorker([&] { agreed = prompts.confirmRootCertificate(details); });
        EXPECT_EQ(agreed, button == QMessageBox::Yes);
        EXPECT_TRUE(noIsDefault);
        EXPECT_TRUE(text.contains("CN=Corvane Root"));
        EXPECT_TRUE(text.contains("A0:A1:A2:A3:A4:A5:A6:A7:A8:A9:AA:AB:AC:AD:AE:AF:B0:B1:B2:B3"));
    }
}

TEST_F(PromptDialogsTest, DatabasePasswordIsReturnedOrRefused) {
    for (const bool give : {true, false}) {
        SCOPED_TRACE(give ? "given" : "refused");
        ModalScript script;
        script.then("databasePassword", [&](QWidget* w) {
            auto* dialog = qobject_cast<QInputDialog*>(w);
            ASSERT_NE(dialog, nullptr);
            EXPECT_EQ(dialog->textEchoMode(), QLineEdit::Password);
            EXPECT_TRUE(dialog->labelText().contains("NSS Certificate DB"));
            dialog->setTextValue("db-pässword");
            saveScreenshot(dialog, "database-password");
            give ? dialog->accept() : dialog->reject();
        });
        std::optional<platform::WideString> answer;
        askFromWorker([&] { answer = prompts.databasePassword(u"NSS Certificate DB"); });
        ASSERT_EQ(answer.has_value(), give);
        if (give) {
            EXPECT_EQ(std::u16string(answer->begin(), answer->end()), u"db-pässword");
        }
    }
}

TEST_F(PromptDialogsTest, ProxyCredentialsAreAskedForTheProxyAndServerOrCancelled) {
    for (const bool give : {true, false}) {
        SCOPED_TRACE(give ? "given" : "cancelled");
        QString prompt;
        bool passwordHidden = false;
        ModalScript script;
        script.then("proxyCredentials", [&](QWidget* dialog) {
            prompt = dialog->findChild<QLabel*>("proxyPrompt")->text();
            auto* password = dialog->findChild<QLineEdit*>("proxyPassword");
            passwordHidden = password->echoMode() == QLineEdit::Password;
            dialog->findChild<QLineEdit*>("proxyUser")->setText("taro");
            password->setText("pröxy-pass");
            saveScreenshot(dialog, "proxy-credentials");
            auto* buttons = dialog->findChild<QDialogButtonBox*>("proxyButtons");
            buttons->button(give ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
        });
        std::optional<platform::ProxyCredentials> answer;
        askFromWorker([&] {
            answer =
                internetPrompts.askProxyCredentials({u"127.0.0.1:3128", u"renewal.example:443"});
        });
        EXPECT_TRUE(script.finished());
        EXPECT_TRUE(prompt.contains("127.0.0.1:3128"));
        EXPECT_TRUE(prompt.contains("renewal.example:443"));
        EXPECT_TRUE(passwordHidden);
        ASSERT_EQ(answer.has_value(), give);
        if (give) {
            EXPECT_EQ(std::u16string(answer->user.begin(), answer->user.end()), u"taro");
            EXPECT_EQ(std::u16string(answer->password.begin(), answer->password.end()),
                      u"pröxy-pass");
        }
    }
}

TEST_F(PromptDialogsTest, ClientCertificateIsChosenAmongTheOffersOfTheNamedIssuers) {
    const auto expiry = std::chrono::system_clock::time_point(std::chrono::seconds(1900000000));
    clientCertificates->offers = {
        {{0x30, 0x01}, u"Alice", u"Corvane Banking Union CA", expiry, u"alice"},
        {{0x30, 0x02}, u"Bob", u"Corvane Banking Union CA G2", expiry, u"bob"},
    };
    const std::vector<std::vector<std::uint8_t>> issuers = {{0x30, 0x0A}};
    for (const bool take : {true, false}) {
        SCOPED_TRACE(take ? "the second taken" : "cancelled");
        clientCertificates->exported.clear();
        QString prompt;
        int listed = 0;
        ModalScript script;
        script.then("clientCertificate", [&](QWidget* dialog) {
            prompt = dialog->findChild<QLabel*>("selectionPrompt")->text();
            auto* list = dialog->findChild<QTreeWidget*>("certificateList");
            listed = list->topLevelItemCount();
            list->setCurrentItem(list->topLevelItem(1));
            saveScreenshot(dialog, "client-certificate");
            auto* buttons = dialog->findChild<QDialogButtonBox*>("selectionButtons");
            buttons->button(take ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
        });
        std::optional<platform::ClientCertificate> answer;
        askFromWorker([&] {
            answer = internetPrompts.chooseClientCertificate({u"renewal.example:443", issuers});
        });
        EXPECT_TRUE(script.finished());
        EXPECT_TRUE(prompt.contains("renewal.example:443"));
        EXPECT_EQ(listed, 2);
        EXPECT_EQ(clientCertificates->askedIssuers, issuers);
        ASSERT_EQ(answer.has_value(), take);
        if (take) {
            const std::vector<std::uint8_t> bob = {0x30, 0x02};
            EXPECT_EQ(clientCertificates->exported, std::vector<std::vector<std::uint8_t>>{bob});
            EXPECT_TRUE(std::equal(answer->certificate.begin(), answer->certificate.end(),
                                   bob.begin(), bob.end()));
        } else {
            EXPECT_TRUE(clientCertificates->exported.empty());
        }
    }
}

TEST_F(PromptDialogsTest, WithoutAnOfferNoClientCertificateDialogIsShown) {
    bool shown = false;
    ModalScript script;
    script.then("clientCertificate", [&](QWidget* dialog) {
        shown = true;
        qobject_cast<QDialog*>(dialog)->reject();
    });
    std::optional<platform::ClientCertificate> answer;
    askFromWorker([&] { answer = internetPrompts.chooseClientCertificate({u"h:443", {}}); });
    QTest::qWait(50);  // a dialog would have been answered by now
    EXPECT_FALSE(answer);
    EXPECT_FALSE(shown);
}

TEST_F(PromptDialogsTest, AClosedBridgeRefusesWithoutShowingAnything) {
    bridge->close();
    std::optional<platform::WideString> password{platform::WideString(u"x")};
    bool agreed = true;
    std::optional<platform::ProxyCredentials> credentials{platform::ProxyCredentials{}};
    askFromWorker([&] {
        password = prompts.databasePassword(u"db");
        agreed = prompts.confirmRootCertificate({});
        credentials = internetPrompts.askProxyCredentials({u"p:1", u"h:2"});
    });
    EXPECT_FALSE(password);
    EXPECT_FALSE(agreed);
    EXPECT_FALSE(credentials);
}

}  // namespace
}  // namespace tessaly::ui
