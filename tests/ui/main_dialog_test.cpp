// The main dialog, the About box and the picker, driven as a user would, on the scripted fakes.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <functional>
#include <optional>

#include "certstore/selection_dialog_module.h"
#include "fake_certificates.h"
#include "fake_internet.h"
#include "modal_script.h"
#include "transport/internet_root.h"
#include "ui/main_dialog.h"
#include "ui/message_box.h"
#include "ui/picker.h"
#include "ui/qt_text.h"
#include "ui/texts.h"
#include "ui/wait_dialog.h"

namespace tessaly::ui {
namespace {

using namespace std::chrono_literals;
using fakes::FakeCertificates;
using fakes::FakeInternet;
using fakes::FakeResponse;
using testing::ModalScript;
using testing::pressButton;
using testing::saveScreenshot;

const std::string kPackage = "RENEWED-PKCS12";
constexpr char16_t kPassword[] = u"secret-1";

// What a message box showed.
struct Shown {
    QString text;
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

ModalScript::Action readAndClose(std::optional<Shown>& shown) {
    return [&shown](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        shown = Shown{box->text(), box->windowTitle(), box->icon()};
        saveScreenshot(box, "result-message");
        pressButton(box, QMessageBox::Ok);
    };
}

class MainDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_hInternet.store({});
        expired = certs->addCertificate({.name = "expired", .hasKey = true});
        certs->putInStore(u"MY", expired);
        const int root = certs->addCertificate({.name = "root", .selfIssued = true});
        const int renewed = certs->addCertificate({.name = "renewed", .hasKey = true});
        certs->registerPackage(kPackage, kPassword, {root, renewed});
        certs->chooseInDialog(expired);
        SupervisionOptions options;
        options.tick = 10ms;
        options.linger = 10ms;
        options.watchdog = 2s;  // the fakes answer at once; only a hanging step meets it
        dialog = std::make_unique<CLumenoDlg>(u"https://renewal.example.test/kivra/x.do",
                                              RenewalServices{certs, net, bridge}, options);
        dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
        edit = dialog->findChild<QLineEdit*>("passwordEdit");
        update = dialog->findChild<QPushButton*>("updateButton");
        ASSERT_NE(edit, nullptr);
        ASSERT_NE(update, nullptr);
    }

    void TearDown() override {
        dialog.reset();
        disarmWatchdog();
        ASSERT_TRUE(waitForWorkers(10s));
        bridge->close();
        EXPECT_EQ(certs->liveContexts(), 0);
        EXPECT_EQ(certs->openStores(), 0);
        EXPECT_EQ(certs->loadedModules(), 0);
        EXPECT_EQ(certs->badReleases(), 0);
        EXPECT_TRUE(net->openHandles().empty());
        EXPECT_FALSE(g_selectionDialogModule.load());
    }

    bool ended() const { return !dialog->isVisible(); }

    // A new dialog on fresh fakes, for the next case of a table; the last one is checked first.
    void startAfresh() {
        TearDown();
        certs = std::make_shared<FakeCertificates>();
        net = std::make_shared<FakeInternet>();
        SetUp();
    }

    std::shared_ptr<FakeCertificates> certs = std::make_shared<FakeCertificates>();
    std::shared_ptr<FakeInternet> net = std::make_shared<FakeInternet>();
    std::shared_ptr<UiThreadBridge> bridge = UiThreadBridge::create();
    std::unique_ptr<CLumenoDlg> dialog;
    QLineEdit* edit = nullptr;
    QPushButton* update = nullptr;
    int expired = 0;
};

TEST_F(MainDialogTest, ShowsItsControlsInTemplateOrderWithTheTexts) {
    EXPECT_EQ(dialog->windowTitle(), "Tessaly");
    auto* instructions = dialog->findChild<QLabel*>("instructions");
    EXPECT_EQ(instructions->text(), toQString(kInstructions));
    // Wrapped in its width, the whole text fits, and it ends above the password label.
    EXPECT_GE(instructions->height(), instructions->heightForWidth(instructions->width()));
    EXPECT_LT(instructions->geometry().bottom(),
              dialog->findChild<QLabel*>("passwordLabel")->geometry().top());
    EXPECT_EQ(dialog->findChild<QLabel*>("passwordLabel")->text(), toQString(kPasswordLabel));
    EXPECT_EQ(update->text(), toQString(kUpdateButton));
    auto* cancel = dialog->findChild<QPushButton*>("cancelButton");
    EXPECT_EQ(cancel->text(), toQString(kCancelButton));
    EXPECT_EQ(edit->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(update->isDefault());
    EXPECT_EQ(dialog->focusWidget(), edit);  // the focus when the window is active
    EXPECT_EQ(edit->nextInFocusChain(), update);
    EXPECT_EQ(update->nextInFocusChain(), cancel);
    EXPECT_FALSE(dialog->windowIcon().isNull());
    // Resizing the frame moves nothing.
    const QRect before = update->geometry();
    dialog->resize(dialog->width() + 80, dialog->height() + 60);
    EXPECT_EQ(update->geometry(), before);
    saveScreenshot(dialog.get(), "main-dialog");
}

TEST_F(MainDialogTest, EscapeDoesNothingWhileTheCloseBoxAndCancelEndTheDialog) {
    QTest::keyClick(edit, Qt::Key_Escape);
    EXPECT_FALSE(ended());

    dialog->close();
    EXPECT_TRUE(ended());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);

    dialog->show();
    dialog->setResult(-1);
    dialog->findChild<QPushButton*>("cancelButton")->click();
    EXPECT_TRUE(ended());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
}

TEST_F(MainDialogTest, RejectedPasswordIsReportedAndStaysInTheBox) {
    for (const QString& password : {QString(), QString(17, u'x')}) {
        SCOPED_TRACE(password.size());
        edit->setText(password);
        std::optional<Shown> shown;
        ModalScript script;
        script.then(kMessageBoxName, readAndClose(shown));
        update->click();
        EXPECT_TRUE(script.finished());
        ASSERT_TRUE(shown);
        EXPECT_EQ(shown->text, toQString(kPasswordInvalid));
        EXPECT_EQ(shown->title, "Tessaly");
        EXPECT_EQ(shown->icon, QMessageBox::Critical);
        EXPECT_FALSE(ended());
        EXPECT_EQ(edit->text(), password);
        EXPECT_TRUE(certs->callsTo("loadSelectionDialog").empty());
    }
}

TEST_F(MainDialogTest, ClosedPickerShowsNothingAndTheNextPressStartsAgain) {
    certs->chooseInDialog(std::nullopt);
    edit->setText(QString::fromUtf16(kPassword));
    update->click();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_FALSE(ended());
    update->click();
    EXPECT_EQ(certs->callsTo("selectCertificate").size(), 2u);
    EXPECT_FALSE(ended());
}

TEST_F(MainDialogTest, PickerFailuresShowTheirMessageAndEndTheDialog) {
    // Made again for every case, after the scene's three certificates.
    const int withoutExtension = 3;
    struct Case {
        const char* name;
        std::function<void(FakeCertificates&)> script;
        const char16_t* message;
    };
    const Case cases[] = {
        {"no selection dialog",
         [](FakeCertificates& c) { c.queueFailure("loadSelectionDialog", 126); }, kSystemError},
        {"no entry point",
         [](FakeCertificates& c) { c.queueFailure("hasSelectionDialogEntry", 127); }, kSystemError},
        {"personal store closed", [](FakeCertificates& c) { c.failOpening(u"MY"); },
         kStoreNotOpened},
        {"no key identifier",
         [withoutExtension](FakeCertificates& c) { c.chooseInDialog(withoutExtension); },
         kExtensionMissing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startAfresh();
        ASSERT_EQ(certs->addCertificate(
                      {.name = "bare", .hasKey = true, .hasAuthorityKeyIdentifier = false}),
                  withoutExtension);
        certs->putInStore(u"MY", withoutExtension);
        c.script(*certs);
        edit->setText(QString::fromUtf16(kPassword));
        std::optional<Shown> shown;
        ModalScript script;
        script.then(kMessageBoxName, readAndClose(shown));
        update->click();
        ASSERT_TRUE(shown);
        EXPECT_EQ(shown->text, toQString(c.message));
        EXPECT_EQ(shown->title, "Tessaly");
        EXPECT_EQ(shown->icon, QMessageBox::Critical);
        EXPECT_TRUE(ended());
        EXPECT_EQ(dialog->result(), QDialog::Accepted);
        EXPECT_TRUE(net->calls().empty());
    }
}

TEST_F(MainDialogTest, AnAttemptShowsTheJobsMessageAndEndsTheDialog) {
    struct Case {
        const char* name;
        std::vector<FakeResponse> responses;
        bool enterKey;
        std::u16string message;
        QMessageBox::Icon icon;
        bool hangInFirstSend = false;
    };
    const Case cases[] = {
        {"renewed, by the button",
         {FakeResponse::text("0:challenge"), FakeResponse::pkcs12(kPackage, true)},
         false,
         u"証明書は正しくインポートされました。",
         QMessageBox::NoIcon},
        {"refused, by Enter in the password box",
         {FakeResponse::text("1:no")},
         true,
         u"不正な検証データです。\n1:no",
         QMessageBox::Critical},
        {"first send hangs until the watchdog cuts it",
         {},
         false,
         u"115:検証データの問い合わせに失敗しました。",
         QMessageBox::Critical,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startAfresh();
        for (const auto& response : c.responses) {
            net->queueResponse(response);
        }
        if (c.hangInFirstSend) {
            net->queueOutcome("sendRequest", fakes::Outcome::blockUntilClosed());
        }
        edit->setText(QString::fromUtf16(kPassword));
        std::optional<Shown> shown;
        bool waited = false;
        ModalScript script;
        script.then("waitDialog", [&](QWidget*) { waited = true; })
            .then(kMessageBoxName, readAndClose(shown));
        if (c.enterKey) {
            QTest::keyClick(edit, Qt::Key_Return);
        } else {
            update->click();
        }
        ASSERT_TRUE(shown);
        EXPECT_TRUE(waited);
        EXPECT_EQ(shown->text, toQString(c.message));
        EXPECT_EQ(shown->title, "Tessaly");
        EXPECT_EQ(shown->icon, c.icon);
        EXPECT_TRUE(ended());
        EXPECT_EQ(dialog->result(), QDialog::Accepted);
        EXPECT_TRUE(edit->text().isEmpty());  // the box's copy of the password is dropped
        ASSERT_FALSE(net->callsTo("sendRequest").empty());
    }
}

TEST_F(MainDialogTest, TheWindowMenuEndsWithTheAboutItemWhichShowsTheAboutBox) {
    const auto actions = dialog->actions();
    ASSERT_GE(actions.size(), 2);
    EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
    QAction* about = actions.back();
    EXPECT_EQ(about->text(), toQString(kAboutMenuItem));
    EXPECT_EQ(dialog->contextMenuPolicy(), Qt::ActionsContextMenu);

    QString caption;
    QString version;
    ModalScript script;
    script.then("aboutDialog", [&](QWidget* box) {
        caption = box->windowTitle();
        version = box->findChild<QLabel*>("aboutVersion")->text();
        saveScreenshot(box, "about-box");
        box->findChild<QPushButton*>("aboutOk")->click();
    });
    about->trigger();
    EXPECT_TRUE(script.finished());
    EXPECT_EQ(caption, toQString(kAboutCaption));
    EXPECT_EQ(version, toQString(kAboutVersion));
    EXPECT_FALSE(ended());
}

TEST(WaitDialogLook, HasNoTitleBarAndTheTwoLineText) {
    CAA_WaitDialogBox wait(nullptr, nullptr);
    wait.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&wait));
    EXPECT_TRUE(wait.windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_EQ(wait.findChild<QLabel*>("waitText")->text(), toQString(kWaitText));
    saveScreenshot(&wait, "wait-dialog");
    wait.done(QDialog::Accepted);
}

class PickerTest : public ::testing::Test {
  protected:
    void SetUp() override { g_acceptedIssuers.clear(); }
    void TearDown() override {
        g_acceptedIssuers.clear();
        EXPECT_EQ(certs.loadedModules(), 0);
        EXPECT_EQ(certs.openStores(), 0);
        EXPECT_FALSE(g_selectionDialogModule.load());
    }
    FakeCertificates certs;
};

TEST_F(PickerTest, ListsOnlyAcceptedIssuersWithAKeyIdentifier) {
    struct Entry {
        std::string name;
        std::u16string issuer;
        bool keyIdentifier;
    };
    const Entry entries[] = {
        {"accepted", u"Corvane Banking Union CA", true},
        {"accepted G2", u"Corvane Banking Union CA G2", true},
        {"no key identifier", u"Corvane Banking Union CA", false},
        {"other case", u"corvane banking union ca", true},
        {"trailing blank", u"Corvane Banking Union CA ", true},
        {"other issuer", u"Another CA", true},
        {"empty issuer", u"", true},
    };
    for (const Entry& e : entries) {
        certs.putInStore(u"MY", certs.addCertificate({.name = e.name,
                                                      .hasKey = true,
                                                      .hasAuthorityKeyIdentifier = e.keyIdentifier,
                                                      .issuerDisplayName = e.issuer}));
    }
    certs.chooseInDialog(std::nullopt);
    platform::CertHandle chosen;
    EXPECT_EQ(selectExpiredCertificate(nullptr, certs, chosen), 1);
    EXPECT_FALSE(chosen);
    EXPECT_EQ(certs.listedByDialog(), (std::vector<std::string>{"accepted", "accepted G2"}));
    const auto select = certs.callsTo("selectCertificate");
    ASSERT_EQ(select.size(), 1u);
    EXPECT_EQ(select[0].text, kSelectionTitle);
    EXPECT_EQ(select[0].numbers, (std::vector<std::uint64_t>{64}));
    // The issuer's simple display name is read into 1024 characters.
    EXPECT_EQ(certs.callsTo("getNameString")[0].numbers, (std::vector<std::uint64_t>{4, 1, 1024}));

    // A second run appends the names again and lists the same certificates.
    EXPECT_EQ(selectExpiredCertificate(nullptr, certs, chosen), 1);
    EXPECT_EQ(g_acceptedIssuers.size(), 4u);
    EXPECT_EQ(certs.listedByDialog(), (std::vector<std::string>{"accepted", "accepted G2"}));
}

TEST_F(PickerTest, HandsOutADuplicateThatOutlivesTheStore) {
    const int id = certs.addCertificate({.name = "expired", .hasKey = true});
    certs.putInStore(u"MY", id);
    certs.chooseInDialog(id);
    platform::CertHandle chosen;
    ASSERT_EQ(selectExpiredCertificate(nullptr, certs, chosen), 0);
    ASSERT_TRUE(chosen);
    EXPECT_EQ(certs.liveContexts(), 1);  // only the caller's duplicate
    EXPECT_TRUE(certs.freeCertificate(chosen));
    EXPECT_EQ(certs.callsTo("closeStore")[0].numbers.back(), 2u);  // the check flag
}

TEST(AcceptedIssuers, SplitsAtSemicolonsAndStopsAtTheFirstEmptyName) {
    g_acceptedIssuers.clear();
    EXPECT_FALSE(IsAcceptedIssuer(u"A"));  // empty list
    AddIssuers(u"A;B;;C");
    EXPECT_EQ(g_acceptedIssuers.size(), 2u);
    EXPECT_TRUE(IsAcceptedIssuer(u"A"));
    EXPECT_TRUE(IsAcceptedIssuer(u"B"));
    EXPECT_FALSE(IsAcceptedIssuer(u"C"));
    EXPECT_FALSE(IsAcceptedIssuer(u""));
    g_acceptedIssuers.clear();
}

}  // namespace
}  // namespace tessaly::ui
