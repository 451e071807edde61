// The dialogs that answer the certificate services' questions, asked from another thread as the
// worker asks them, and answered on the UI thread.
#include <gtest/gtest.h>

#include <QDialogButtonBox>
#include <QDir>
#include <QInputDialog>
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
            QDir().mkpath(TESSALY_SCREENSHOT_DIR);
            dialog->grab().save(TESSALY_SCREENSHOT_DIR "/certificate-selection.png");
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

TEST_F(PromptDialogsTest, AClosedBridgeRefusesWithoutShowingAnything) {
    bridge->close();
    std::optional<platform::WideString> password{platform::WideString(u"x")};
    bool agreed = true;
    askFromWorker([&] {
        password = prompts.databasePassword(u"db");
        agreed = prompts.confirmRootCertificate({});
    });
    EXPECT_FALSE(password);
    EXPECT_FALSE(agreed);
}

}  // namespace
}  // namespace tessaly::ui
