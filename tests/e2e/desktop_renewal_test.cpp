// The tool as a user meets it: the main dialog with the desktop's services (NSS database in a
// throwaway HOME, libcurl) against the reference renewal server on 127.0.0.1, driven through
// its dialogs. The outcome is read from the final message box and, from outside, with certutil.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <chrono>
#include <functional>
#include <map>
#include <string>

#include "attempt_support.h"
#include "desktop_flow.h"
#include "openssl_types.h"
#include "ui/desktop_services.h"
#include "ui/main_dialog.h"
#include "ui/qt_text.h"
#include "ui/supervision.h"

namespace tessaly {
namespace {

using namespace std::chrono_literals;
using attempt_test::SharedPki;
using desktop_flow::DesktopFlow;
using renewal_server::Config;
using ::testing::Contains;
using ::testing::Pair;

constexpr char16_t kImported[] = u"証明書は正しくインポートされました。";

struct DesktopRun {
    std::optional<desktop_flow::FinalMessage> message;
    int rootQuestions = 0;
    int waitDialogs = 0;
    std::vector<std::string> steps;
    std::size_t requests = 0;
};

class DesktopRenewalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(attempt_test::curlGlobal().ok());
        renewal_server::seedNssDatabase(SharedPki::instance().directory.path(), home_.path());
        database_ = renewal_server::nssDatabaseDirectory(home_.path());
        seeded_ = listing();
        ASSERT_THAT(seeded_, Contains(Pair("Yamada Taro (expired)", "u,u,u")));
    }

    // `certutil -L`: nickname -> trust.
    std::map<std::string, std::string> listing() const {
        return nss_test::certutilListing(database_);
    }
    int keyCount() const { return nss_test::certutilKeyCount(database_); }

    // The main dialog against a server with `config`, driven to its final message.
    DesktopRun renew(Config config, std::chrono::milliseconds watchdog = 60s) {
        attempt_test::NoProxyEnvironment noProxy;
        renewal_server::Server server(std::move(config));
        DesktopRun run;
        {
            const auto bridge = ui::UiThreadBridge::create();
            ui::SupervisionOptions options;
            options.watchdog = watchdog;
            DesktopFlow flow({QStringLiteral("Renew-2024!"), true, {}});
            {
                ui::CLumenoDlg dialog(attempt_test::renewalUrl(server.port()),
                                      ui::makeDesktopServices(bridge), options);
                dialog.exec();
            }
            ui::disarmWatchdog();
            EXPECT_TRUE(ui::waitForWorkers(10s));
            bridge->close();
            run.message = flow.finalMessage();
            run.rootQuestions = flow.rootQuestions();
            run.waitDialogs = flow.waitDialogs();
            run.steps = flow.steps();
        }
        server.stop();
        run.requests = server.requests().size();
        return run;
    }

    static Config serverConfig() {
        return renewal_server::renewalServerConfig(SharedPki::instance().pki);
    }

    nss_test::TemporaryHome home_;
    nss_test::fs::path database_;
    std::map<std::string, std::string> seeded_;
};

std::string joined(const std::vector<std::string>& steps) {
    std::string text;
    for (const auto& step : steps) {
        text += step + "\n";
    }
    return text;
}

TEST_F(DesktopRenewalTest, RenewsThroughTheDialogsAndPlacesEachCertificate) {
    const DesktopRun run = renew(serverConfig());
    ASSERT_TRUE(run.message) << joined(run.steps);
    EXPECT_EQ(run.message->text, ui::toQString(kImported));
    EXPECT_EQ(run.message->icon, QMessageBox::NoIcon);
    EXPECT_EQ(run.rootQuestions, 1);
    EXPECT_EQ(run.waitDialogs, 1);
    EXPECT_EQ(run.requests, 2u);
    for (const auto& step : run.steps) {
        EXPECT_EQ(step.find("unexpected"), std::string::npos) << step;
    }

    // The renewed certificate joins the expired one under its nickname, with its key (u,u,u);
    // the root is trusted, the intermediate placed without trust.
    const auto after = listing();
    EXPECT_THAT(after, Contains(Pair("Yamada Taro (expired)", "u,u,u")));
    EXPECT_THAT(after, Contains(Pair("Corvane Root CA - Corvane Banking Union", "C,C,C")));
    EXPECT_THAT(after, Contains(Pair("Corvane Banking Union CA G2 - Corvane Banking Union", ",,")));
    EXPECT_EQ(after.size(), seeded_.size() + 2);
    int renewed = 0;
    for (const auto& certificate : renewal_server::certificatesFromPem(nss_test::mustRun(
             nss_test::certutil(database_, "-L -a -n 'Yamada Taro (expired)'")))) {
        renewed += renewal_server::commonNameOf(X509_get_issuer_name(certificate.get())) ==
                       "Corvane Banking Union CA G2" &&
                   X509_cmp_current_time(X509_get0_notAfter(certificate.get())) > 0;
    }
    EXPECT_EQ(renewed, 1) << "the renewed certificate, valid and issued by the G2 CA";
    EXPECT_EQ(keyCount(), 2) << "the old key and the renewed one";
}

struct FailureCase {
    const char* name;
    std::function<void(Config&)> script;
    std::u16string message;
    std::chrono::milliseconds watchdog = 60s;
};

class DesktopRenewalFails : public DesktopRenewalTest,
                            public ::testing::WithParamInterface<FailureCase> {};

TEST_P(DesktopRenewalFails, ShowsTheMessageAndLeavesTheDatabaseAsItWas) {
    Config config = serverConfig();
    GetParam().script(config);
    const DesktopRun run = renew(std::move(config), GetParam().watchdog);
    ASSERT_TRUE(run.message) << joined(run.steps);
    EXPECT_EQ(run.message->text, ui::toQString(GetParam().message)) << joined(run.steps);
    EXPECT_EQ(run.message->icon, QMessageBox::Critical);
    EXPECT_EQ(run.rootQuestions, 0);
    EXPECT_EQ(listing(), seeded_);
    EXPECT_EQ(keyCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    ServerFaults, DesktopRenewalFails,
    ::testing::Values(
        FailureCase{"SignatureRefused",
                    [](Config& config) { config.renewal->damageSignatures = true; },
                    u"550:証明書ファイルは取得できませんでした。\n署名を検証できませんでした。"},
        FailureCase{"IssuerRefused",
                    [](Config& config) {
                        const auto& pki = SharedPki::instance().pki;
                        config.renewal->acceptedCasPem = pki.caG2Pem;
                        config.renewal->acceptedIssuerNames = {"Corvane Banking Union CA G2"};
                    },
                    u"550:証明書ファイルは取得できませんでした。\n"
                    u"この証明書は更新の対象ではありません（発行者が違います）。"},
        FailureCase{"FirstAnswerAPackage",
                    [](Config& config) { config.first.contentType = "application/x-pkcs12"; },
                    u"199:検証データの問い合わせに失敗しました。"},
        FailureCase{"FirstAnswerStatus500", [](Config& config) { config.first.status = 500; },
                    u"125:検証データの問い合わせに失敗しました。"},
        FailureCase{
            "ServerHangsPastTheWatchdog",
            [](Config& config) { config.first.cut = renewal_server::Reply::Cut::HangBeforeHead; },
            u"115:検証データの問い合わせに失敗しました。", 1500ms},
        FailureCase{"PackageUnderAnotherPassword",
                    [](Config& config) {
                        config.renewal->packagePasswordOverride = "not-what-the-user-typed";
                    },
                    u"205:証明書をインポートできませんでした。"}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tessaly
