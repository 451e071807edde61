// Whole renewal attempts without the UI: a throwaway HOME whose NSS database the reference
// server's PKI seeded (the expired certificate with its key, the TLS root), the real NSS
// certificate services and curl Internet services, and the renewal job against the reference
// renewal server on 127.0.0.1. The outcome is checked in the job's message and, from outside,
// with certutil.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "attempt_support.h"
#include "child_process.h"

namespace tessaly {
namespace {

namespace fs = std::filesystem;
using renewal_server::Config;
using ::testing::Contains;
using ::testing::Pair;

using attempt_test::Attempt;
using attempt_test::AttemptTest;
using attempt_test::curlGlobal;
using attempt_test::SharedPki;

// A certificate's issuer common name, and whether it is valid now.
struct Facts {
    std::string subjectCn;
    std::string issuerCn;
    bool validNow = false;
};
Facts factsOf(const std::string& pem) {
    const renewal_server::X509Owner certificate = renewal_server::certificateFromPem(pem);
    return {renewal_server::commonNameOf(X509_get_subject_name(certificate.get())),
            renewal_server::commonNameOf(X509_get_issuer_name(certificate.get())),
            X509_cmp_current_time(X509_get0_notBefore(certificate.get())) < 0 &&
                X509_cmp_current_time(X509_get0_notAfter(certificate.get())) > 0};
}

struct SuccessCase {
    const char* name;
    std::u16string password;
    renewal_server::KeyType newKey;
    bool exportable;
};

class RenewalSucceeds : public AttemptTest, public ::testing::WithParamInterface<SuccessCase> {};

TEST_P(RenewalSucceeds, ImportsTheRenewedCertificateWithItsKeyAndItsChain) {
    Config config = serverConfig();
    config.renewal->newKeyType = GetParam().newKey;
    config.renewal->exportable = GetParam().exportable;

    const Attempt outcome = attempt(std::move(config), GetParam().password);

    EXPECT_EQ(outcome.message, u"証明書は正しくインポートされました。");
    EXPECT_EQ(outcome.result, 1);
    ASSERT_EQ(outcome.requests.size(), 2u);
    EXPECT_EQ(outcome.requests[0].connection, outcome.requests[1].connection);
    // The root was confirmed once, by the user's stand-in.
    ASSERT_EQ(prompts_.rootRequests.size(), 1u);
    EXPECT_NE(prompts_.rootRequests[0].subject.find(u"Corvane Root CA"), std::u16string::npos);

    const std::map<std::string, std::string> listing = certutilListing();
    EXPECT_THAT(listing, Contains(Pair(renewal_server::kTlsRootNickname, "C,C,C")));
    std::map<std::string, std::string> byIssuedCert;  // what each certificate is, by nickname
    int renewedWithKey = 0;
    int trustedRoots = 0;
    int intermediates = 0;
    for (const auto& [nickname, trust] : listing) {
        for (const std::string& pem : certificatesNamed(nickname)) {
            const Facts facts = factsOf(pem);
            if (facts.subjectCn == "Yamada Taro" &&
                facts.issuerCn == "Corvane Banking Union CA G2" && facts.validNow) {
                renewedWithKey += trust == "u,u,u" ? 1 : 0;
            } else if (facts.subjectCn == "Corvane Root CA") {
                trustedRoots += trust == "C,C,C" ? 1 : 0;
            } else if (facts.subjectCn == "Corvane Banking Union CA G2") {
                intermediates += trust == ",," ? 1 : 0;
            }
        }
    }
    EXPECT_EQ(renewedWithKey, 1) << "the renewed certificate in MY (u,u,u)";
    EXPECT_EQ(trustedRoots, 1) << "the root trusted C,C,C";
    EXPECT_EQ(intermediates, 1) << "the intermediate without trust";
    EXPECT_EQ(certutilKeyCount(), 2) << "the old key and the renewed one";
}

INSTANTIATE_TEST_SUITE_P(
    Attempts, RenewalSucceeds,
    ::testing::Values(SuccessCase{"AsciiPasswordEcKeyExportable", u"Renew-2024!",
                                  renewal_server::KeyType::Ec, true},
                      SuccessCase{"JapanesePasswordRsaKeyNotExportable", u"更新パス ア9",
                                  renewal_server::KeyType::Rsa, false}),
    [](const auto& row) { return std::string(row.param.name); });

struct FailureCase {
    const char* name;
    std::function<void(Config&)> script;
    std::u16string message;
    std::size_t requests;  // how many reached the server
};

class RenewalFails : public AttemptTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(RenewalFails, ShowsItsMessageAndLeavesTheDatabaseAsItWas) {
    Config config = serverConfig();
    GetParam().script(config);

    const Attempt outcome = attempt(std::move(config), u"Renew-2024!");

    EXPECT_EQ(outcome.message, GetParam().message);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.requests.size(), GetParam().requests);
    EXPECT_TRUE(prompts_.rootRequests.empty());
    EXPECT_EQ(certutilListing(), seeded_);
    EXPECT_EQ(certutilKeyCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Attempts, RenewalFails,
    ::testing::Values(
        FailureCase{"SignerFromACaNoLongerAccepted",
                    [](Config& config) {
                        const auto& pki = SharedPki::instance().pki;
                        config.renewal->acceptedCasPem = pki.caG2Pem;
                        config.renewal->acceptedIssuerNames = {"Corvane Banking Union CA G2"};
                    },
                    u"550:証明書ファイルは取得できませんでした。\n"
                    u"この証明書は更新の対象ではありません（発行者が違います）。",
                    2},
        FailureCase{"ChallengeExpiredBeforeTheProof",
                    [](Config& config) { config.challengeLifetime = std::chrono::seconds(-1); },
                    u"550:証明書ファイルは取得できませんでした。\n"
                    u"検証データが一致しません。もう一度やり直してください。",
                    2},
        FailureCase{"FirstAnswerAPackage",
                    [](Config& config) { config.first.contentType = "application/x-pkcs12"; },
                    u"199:検証データの問い合わせに失敗しました。", 1},
        FailureCase{"FirstAnswerOfAnotherType",
                    [](Config& config) { config.first.contentType = "text/html"; },
                    u"135:検証データの問い合わせに失敗しました。", 1},
        FailureCase{"FirstAnswerStatus500", [](Config& config) { config.first.status = 500; },
                    u"125:検証データの問い合わせに失敗しました。", 1},
        FailureCase{"PackageUnderAnotherPassword",
                    [](Config& config) {
                        config.renewal->packagePasswordOverride = "not-what-the-user-typed";
                    },
                    u"205:証明書をインポートできませんでした。", 2}),
    [](const auto& row) { return std::string(row.param.name); });

// The program as the demo uses it: make-pki, seed-nss, then serve with a port file.
class ProgramAttemptTest : public AttemptTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(curlGlobal().ok());
        renewal_server::runProgram({RENEWAL_SERVER_PROGRAM, "make-pki", pki_.path(), "--ec-user"});
        ASSERT_TRUE(fs::exists(pki_.path() / "accepted-cas.pem"));
        ASSERT_EQ(fs::status(pki_.path() / "ca-key.pem").permissions() & fs::perms::group_read,
                  fs::perms::none);
        const std::string printed = renewal_server::runProgram(
            {RENEWAL_SERVER_PROGRAM, "seed-nss", pki_.path(), home().string()});
        EXPECT_EQ(printed, databaseDirectory().string() + "\n");
        // Seeding twice (the demo run again) is harmless: nothing is added twice.
        renewal_server::runProgram(
            {RENEWAL_SERVER_PROGRAM, "seed-nss", pki_.path(), home().string()});
        seed(pki_.path());
    }

    nss_test::TemporaryDirectory pki_;
};

TEST_F(ProgramAttemptTest, ServesARenewalFromItsPkiFolder) {
    const fs::path portFile = pki_.path() / "port";
    curltest::ChildProcess program({RENEWAL_SERVER_PROGRAM, "serve", pki_.path(), "--port-file",
                                    portFile.string(), "--not-exportable"});
    const auto portLine = program.readLine(std::chrono::seconds(10));
    ASSERT_TRUE(portLine.has_value());
    ASSERT_TRUE(portLine->starts_with("port "));
    const std::string port = portLine->substr(5);
    EXPECT_EQ(nss_test::toText(nss_test::readFile(portFile)), port + "\n");

    const renewal_server::RenewalPki pki = renewal_server::loadRenewalPki(pki_.path());
    const std::string derFile = (pki_.path() / "expired-user.der").string();
    nss_test::mustRun("openssl x509 -in " +
                      nss_test::shellQuoted(pki_.path() / "expired-user.pem") +
                      " -outform DER -out " + nss_test::shellQuoted(derFile));
    const Attempt outcome = attemptAt(static_cast<std::uint16_t>(std::stoi(port)), pki.tlsRootPem,
                                      nss_test::readFile(derFile), u"Renew-2024!");
    EXPECT_EQ(outcome.message, u"証明書は正しくインポートされました。");
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(certutilKeyCount(), 2);

    program.closeInput();
    EXPECT_EQ(program.readLine(std::chrono::seconds(10)), "handshakes 1 requests 2");
    EXPECT_EQ(program.wait(std::chrono::seconds(10)), 0);
}

}  // namespace
}  // namespace tessaly
