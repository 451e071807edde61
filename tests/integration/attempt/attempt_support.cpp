#include "attempt_support.h"

#include <gmock/gmock.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace tessaly::attempt_test {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::Pair;

SharedPki& SharedPki::instance() {
    static SharedPki shared;
    return shared;
}

SharedPki::SharedPki() {
    renewal_server::makeRenewalPki(directory.path());
    pki = renewal_server::loadRenewalPki(directory.path());
    const fs::path der = directory.path() / "expired-user.der";
    nss_test::mustRun("openssl x509 -in " +
                      nss_test::shellQuoted(directory.path() / "expired-user.pem") +
                      " -outform DER -out " + nss_test::shellQuoted(der));
    expiredUserDer = nss_test::readFile(der);
}

platform::curl::CurlGlobal& curlGlobal() {
    static platform::curl::CurlGlobal global;
    return global;
}

NoProxyEnvironment::NoProxyEnvironment() {
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
        if (const char* value = std::getenv(name)) {
            saved_[name] = value;
        }
        unsetenv(name);
    }
}

NoProxyEnvironment::~NoProxyEnvironment() {
    for (const auto& [name, value] : saved_) {
        setenv(name.c_str(), value.c_str(), 1);
    }
}

ServerProgram::ServerProgram()
    : process(std::make_unique<curltest::ChildProcess>(std::vector<std::string>{
          RENEWAL_SERVER_PROGRAM, "serve", SharedPki::instance().directory.path().string()})) {
    const auto line = process->readLine(std::chrono::seconds(20));
    if (!line || !line->starts_with("port ")) {
        throw std::runtime_error("the renewal server program did not start: " +
                                 line.value_or("no output"));
    }
    port = static_cast<std::uint16_t>(std::stoi(line->substr(5)));
}

std::u16string renewalUrl(std::uint16_t port) {
    const std::string digits = std::to_string(port);
    return u"https://127.0.0.1:" + std::u16string(digits.begin(), digits.end()) + kRenewalPath;
}

void AttemptTest::SetUp() {
    seed(SharedPki::instance().directory.path());
}

void AttemptTest::seed(const fs::path& pkiDirectory) {
    // Seeded before the services first open the database (the base class would insist on an
    // empty one).
    ASSERT_TRUE(curlGlobal().ok());
    renewal_server::seedNssDatabase(pkiDirectory, home());
    ASSERT_EQ(renewal_server::nssDatabaseDirectory(home()), databaseDirectory());
    seeded_ = certutilListing();
    ASSERT_THAT(seeded_, Contains(Pair("Yamada Taro (expired)", "u,u,u")));
    ASSERT_THAT(seeded_, Contains(Pair(renewal_server::kTlsRootNickname, "C,C,C")));
    ASSERT_EQ(certutilKeyCount(), 1);
}

renewal_server::Config AttemptTest::serverConfig() {
    return renewal_server::renewalServerConfig(SharedPki::instance().pki);
}

Attempt AttemptTest::attempt(renewal_server::Config config, std::u16string_view password) {
    renewal_server::Server server(std::move(config));
    Attempt outcome = attemptAt(server.port(), SharedPki::instance().pki.tlsRootPem,
                                SharedPki::instance().expiredUserDer, password);
    server.stop();
    outcome.requests = server.requests();
    return outcome;
}

Attempt AttemptTest::attemptAt(std::uint16_t serverPort, const std::string& tlsRoot,
                               const nss_test::Bytes& der, std::u16string_view password,
                               const JobRunner& run) {
    Attempt outcome;
    NoProxyEnvironment noProxy;
    platform::curl::CurlInternetOptions options;
    options.trustedRoots = {tlsRoot};
    platform::curl::CurlInternet net(std::move(options));

    const platform::CertHandle chosen = findInMy(der);
    EXPECT_TRUE(chosen) << "the seeded certificate is in MY";
    RenewalJob job;
    job.url = renewalUrl(serverPort);
    job.password = password;
    job.certificate = chosen;
    outcome.result = run ? run(net, job) : _doImport(services(), net, job, job.url, job.password);
    outcome.message.assign(job.message.begin(), job.message.end());
    outcome.handlesLeftOpen = net.openHandleCount();
    if (chosen) {
        services().freeCertificate(chosen);
    }
    return outcome;
}

std::vector<std::string> AttemptTest::certificatesNamed(const std::string& nickname) {
    const std::string pem =
        nss_test::mustRun(nss_test::certutil(databaseDirectory(), "-L -a -n '" + nickname + "'"));
    std::vector<std::string> certificates;
    for (const renewal_server::X509Owner& certificate : renewal_server::certificatesFromPem(pem)) {
        certificates.push_back(renewal_server::pemOf(certificate.get()));
    }
    return certificates;
}

}  // namespace tessaly::attempt_test
