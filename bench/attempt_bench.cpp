// One whole renewal attempt as the tool makes it, without the dialogs: the NSS certificate
// services opened on a freshly seeded user database, the curl Internet services, the expired
// certificate as the user's choice, then both exchanges, the signing and the import; NSS shut
// down again. Each round starts from a fresh copy of the seeded HOME (copied outside the timing).
//
//   attempt_bench PKI_DIR SEEDED_HOME WORK_DIR ROUNDS [PORT]
//
// Without PORT the reference server runs in this process (the library in tools/renewal-server);
// with PORT the client talks to a `renewal-server serve` at 127.0.0.1:PORT, so that the peak
// memory printed is the client's alone. Prints "attempt_ms_median", "attempt_ms_min" and
// "maxrss_kb".
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "platform/curl/curl_internet.h"
#include "platform/nss/nss_certificate_services.h"
#include "platform/utf8.h"
#include "renewal/renewal_job.h"
#include "renewal_pki.h"
#include "renewal_server.h"

namespace {

using namespace tessaly;
namespace fs = std::filesystem;

constexpr char16_t kPassword[] = u"Renew-2024!";

std::u16string renewalUrl(std::uint16_t port) {
    const std::string digits = std::to_string(port);
    return u"https://127.0.0.1:" + std::u16string(digits.begin(), digits.end()) +
           u"/kivra/DownloadPkcs12GracePre.do";
}

// One attempt on the database of the current HOME; false (with the job's message on stderr)
// when it does not import the renewed certificate.
bool attemptOnce(const std::u16string& url, const std::string& tlsRootPem) {
    bench::FirstChoicePrompts prompts;
    platform::nss::NssCertificateServices certs(prompts);
    platform::curl::CurlInternetOptions options;
    options.trustedRoots = {tlsRootPem};
    platform::curl::CurlInternet net(std::move(options));

    // The picker's outcome: the one certificate of MY, the expired one.
    const platform::StoreHandle my = certs.openSystemStore(platform::cert::kStoreMy);
    const platform::CertHandle first =
        my ? certs.enumCertificatesInStore(my, {}) : platform::CertHandle{};
    const platform::CertHandle chosen =
        first ? certs.duplicateCertificate(first) : platform::CertHandle{};
    if (first) {
        certs.freeCertificate(first);
    }
    if (my) {
        certs.closeStore(my, 0);
    }
    if (!chosen) {
        std::fprintf(stderr, "attempt_bench: no certificate in MY\n");
        return false;
    }

    RenewalJob job;
    job.url = url;
    job.password = kPassword;
    job.certificate = chosen;
    const int result = _doImport(certs, net, job, job.url, job.password);
    certs.freeCertificate(chosen);
    if (result != 1) {
        std::string message;
        platform::appendUtf8(std::u16string_view(job.message.data(), job.message.size()), message);
        std::fprintf(stderr, "attempt_bench: the attempt failed: %s\n", message.c_str());
    }
    return result == 1 && certs.shutdown();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: %s PKI_DIR SEEDED_HOME WORK_DIR ROUNDS [PORT]\n", argv[0]);
        return 2;
    }
    const fs::path pkiDirectory = argv[1];
    const fs::path seededHome = argv[2];
    const fs::path workHome = argv[3];
    const int rounds = std::atoi(argv[4]);

    const platform::curl::CurlGlobal curl;
    if (!curl.ok() || rounds <= 0) {
        return 2;
    }
    const renewal_server::RenewalPki pki = renewal_server::loadRenewalPki(pkiDirectory);
    std::unique_ptr<renewal_server::Server> server;
    std::uint16_t port = 0;
    if (argc == 6) {
        port = static_cast<std::uint16_t>(std::atoi(argv[5]));
    } else {
        server = std::make_unique<renewal_server::Server>(renewal_server::renewalServerConfig(pki));
        port = server->port();
    }
    const std::u16string url = renewalUrl(port);

    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
        bench::copyFresh(seededHome, workHome);
        bench::useHome(workHome);
        const double start = bench::nowMs();
        if (!attemptOnce(url, pki.tlsRootPem)) {
            return 1;
        }
        times.push_back(bench::nowMs() - start);
    }
    if (server) {
        server->stop();
    }
    bench::report("attempt_ms_median", bench::median(times));
    bench::report("attempt_ms_min", *std::min_element(times.begin(), times.end()));
    bench::report("maxrss_kb", static_cast<double>(bench::maxRssKb()));
    return 0;
}
