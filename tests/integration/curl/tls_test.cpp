// TLS: a server that fails verification is refused before anything is sent to it, with the
// certificate error the logic turns into 115; a server that wants a client certificate gets
// the one chosen in the dialog, and nothing when the dialog is refused (114).
#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "curl_fixture.h"
#include "platform/last_error.h"

namespace tessaly::curltest {
namespace {

namespace inet = platform::inet;
using platform::InternetHandle;
using renewal_server::Config;
using renewal_server::Reply;

struct TrustCase {
    const char* name;
    // The server's certificate and key, made with the trusted CA at hand.
    std::function<testpki::Issued(const testpki::Authority& trusted)> certificate;
    std::uint32_t error;
};

void PrintTo(const TrustCase& row, std::ostream* out) {
    *out << row.name;
}

class ServerVerificationTest : public CurlFixture,
                               public ::testing::WithParamInterface<TrustCase> {};

TEST_P(ServerVerificationTest, RefusedServerNeverSeesTheRequest) {
    const TrustCase& row = GetParam();
    const testpki::Issued issued = row.certificate(ca());
    Config config;
    config.certificateChainPem = issued.certificate;
    config.privateKeyPem = issued.privateKey;
    startServer(std::move(config));

    // The services on their own: the send fails with the certificate error.
    auto& net = this->net();
    const auto [root, connection, request] = openRequestToServer();
    ASSERT_TRUE(request);
    const std::string secret = "passwd=secret";
    EXPECT_FALSE(
        net.sendRequest(request, u"Content-Type: application/x-www-form-urlencoded",
                        {reinterpret_cast<const std::uint8_t*>(secret.data()), secret.size()}));
    EXPECT_EQ(platform::lastError(), row.error);
    for (const InternetHandle handle : {request, connection, root}) {
        EXPECT_TRUE(net.closeHandle(handle));
    }

    // Through the logic: the first exchange fails with 115.
    HttpExchange exchange;
    exchange.url = url();
    EXPECT_EQ(_queryInfo(net, exchange), 0);
    EXPECT_EQ(exchange.errorCode, 115u);

    EXPECT_TRUE(server().requests().empty());
}

testpki::Issued fromOtherCa(const testpki::Authority&) {
    const testpki::Authority other("Untrusted CA");
    return other.issue(testpki::localServer());
}

testpki::Issued expired(const testpki::Authority& trusted) {
    testpki::Profile profile = testpki::localServer();
    profile.notBefore = std::chrono::hours(-48);
    profile.notAfter = std::chrono::hours(-24);
    return trusted.issue(profile);
}

testpki::Issued notYetValid(const testpki::Authority& trusted) {
    testpki::Profile profile = testpki::localServer();
    profile.notBefore = std::chrono::hours(24);
    profile.notAfter = std::chrono::hours(48);
    return trusted.issue(profile);
}

testpki::Issued forAnotherHost(const testpki::Authority& trusted) {
    testpki::Profile profile;
    profile.commonName = "renew.example.jp";
    profile.dnsNames = {"renew.example.jp"};
    return trusted.issue(profile);
}

testpki::Issued forAnotherAddress(const testpki::Authority& trusted) {
    testpki::Profile profile;
    profile.commonName = "127.0.0.2";
    profile.ipAddresses = {"127.0.0.2"};
    return trusted.issue(profile);
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, ServerVerificationTest,
    ::testing::Values(TrustCase{"unknown_ca", fromOtherCa, inet::kErrorInvalidCa},
                      TrustCase{"expired", expired, inet::kErrorSecCertDateInvalid},
                      TrustCase{"not_yet_valid", notYetValid, inet::kErrorSecCertDateInvalid},
                      TrustCase{"other_host", forAnotherHost, inet::kErrorSecCertCnInvalid},
                      TrustCase{"other_address", forAnotherAddress, inet::kErrorSecCertCnInvalid}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(SystemCaStore, AServerIssuedByACaInTheSystemBundleIsTrusted) {
    platform::curl::CurlGlobal global;
    ASSERT_TRUE(global.ok());
    const testpki::Authority systemCa("Tessaly system CA");
    const testpki::Issued issued = systemCa.issue(testpki::localServer());
    Config config;
    config.certificateChainPem = issued.certificate;
    config.privateKeyPem = issued.privateKey;
    renewal_server::Server server(std::move(config));
    const std::string port = std::to_string(server.port());
    const std::u16string url = u"https://127.0.0.1:" + std::u16string(port.begin(), port.end()) +
                               std::u16string(kRenewalPath);

    std::string pattern = std::filesystem::temp_directory_path() / "tessaly-ca-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const std::filesystem::path directory = pattern;
    std::ofstream(directory / "bundle.pem") << systemCa.certificatePem();

    // The system's store alone: no trusted roots handed in.
    platform::curl::CurlInternetOptions options;
    options.systemCaBundle = (directory / "bundle.pem").string();
    platform::curl::CurlInternet net(std::move(options));
    HttpExchange exchange;
    exchange.url = url;
    EXPECT_EQ(_queryInfo(net, exchange), 1) << exchange.errorCode;
    closeExchangeHandles(net, exchange);
    EXPECT_EQ(server.requests().size(), 1u);
    std::filesystem::remove_all(directory);
}

// A server that requires a client certificate from its own client CA, over TLS 1.2 or 1.3
// (curl reports the refusal differently for each).
class ClientCertificateTest : public CurlFixture, public ::testing::WithParamInterface<int> {
  protected:
    void SetUp() override {
        Config config;
        config.clientCaPem = clientCa_.certificatePem();
        config.maxTlsVersion = GetParam();
        config.second = Reply::text("1:ok");
        startServer(std::move(config));
    }

    testpki::Issued userCertificate() const {
        testpki::Profile profile;
        profile.commonName = "Tessaly User";
        profile.client = true;
        return clientCa_.issue(profile);
    }

    testpki::Authority clientCa_{"Tessaly client CA"};
};

TEST_P(ClientCertificateTest, RefusedDialogEndsTheExchangeWith114) {
    HttpExchange exchange;
    exchange.url = url();
    EXPECT_EQ(_queryInfo(net(), exchange), 0);
    EXPECT_EQ(exchange.errorCode, 114u);
    ASSERT_EQ(prompts().certificateQuestions.size(), 1u);
    const auto& question = prompts().certificateQuestions.front();
    EXPECT_EQ(question.acceptedIssuers,
              std::vector<std::vector<std::uint8_t>>{clientCa_.subjectDer()});
    EXPECT_EQ(
        question.server, u"127.0.0.1:" + [&] {
            const std::string port = std::to_string(server().port());
            return std::u16string(port.begin(), port.end());
        }());
    EXPECT_TRUE(server().requests().empty());
}

TEST_P(ClientCertificateTest, ChosenCertificateIsPresentedForBothExchanges) {
    const testpki::Issued user = userCertificate();
    struct Row {
        const char* name;
        platform::ClientCertificate choice;
    };
    platform::ClientCertificate encrypted = clientCertificate(user);
    const std::string encryptedKey = encryptedKeyPem(user.privateKey, "key-pass");
    ASSERT_FALSE(encryptedKey.empty());
    encrypted.privateKey.assign(encryptedKey.begin(), encryptedKey.end());
    encrypted.keyPassword = "key-pass";
    const Row rows[] = {{"plain key", clientCertificate(user)}, {"encrypted key", encrypted}};

    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();  // a fresh server, so that its counts are this row's
        prompts().certificateQuestions.clear();
        prompts().certificateAnswers = {row.choice};

        HttpExchange exchange;
        const auto bodies = runBothExchanges(exchange);
        ASSERT_TRUE(bodies);
        EXPECT_EQ(bodies->second, "1:ok");
        closeExchangeHandles(net(), exchange);

        EXPECT_EQ(prompts().certificateQuestions.size(), 1u);
        const auto requests = server().requests();
        ASSERT_EQ(requests.size(), 2u);
        for (const auto& request : requests) {
            EXPECT_NE(request.clientCertificateSubject.find("CN=Tessaly User"), std::string::npos);
        }
        EXPECT_EQ(server().handshakes(), 1);
    }
}

TEST_P(ClientCertificateTest, KeyThatDoesNotMatchTheCertificateGives114) {
    platform::ClientCertificate mismatched = clientCertificate(userCertificate());
    const std::string otherKey = userCertificate().privateKey;
    mismatched.privateKey.assign(otherKey.begin(), otherKey.end());
    prompts().certificateAnswers = {mismatched};

    HttpExchange exchange;
    exchange.url = url();
    EXPECT_EQ(_queryInfo(net(), exchange), 0);
    EXPECT_EQ(exchange.errorCode, 114u);
    EXPECT_TRUE(server().requests().empty());
}

INSTANTIATE_TEST_SUITE_P(TlsVersions, ClientCertificateTest,
                         ::testing::Values(TLS1_2_VERSION, TLS1_3_VERSION), [](const auto& row) {
                             return row.param == TLS1_2_VERSION ? std::string("tls12")
                                                                : std::string("tls13");
                         });

}  // namespace
}  // namespace tessaly::curltest
