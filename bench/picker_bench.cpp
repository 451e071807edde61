// The picker's filtered listing over a large user database: selectExpiredCertificate() as the
// main dialog calls it, with the user's stand-in choosing the first certificate listed. The MY
// view is enumerated, every certificate goes through the picker's filter (Authority Key
// Identifier, accepted issuer) and the listed ones get their names and expiry.
//
//   picker_bench HOME ROUNDS
//
// "picker_open_ms": NSS opened on the database and one listing (what a first 更新 costs when
// nothing opened the database before); "picker_ms": a listing with the database already open
// (the tool opens it at start-up). Medians; also "listed" and "maxrss_kb".
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_support.h"
#include "platform/nss/nss_certificate_services.h"
#include "ui/picker.h"

namespace {

using namespace tessaly;

// One listing; the number of certificates offered, or -1 when none was chosen.
long listOnce(bench::FirstChoicePrompts& prompts, platform::CertificateServices& certs) {
    ui::g_acceptedIssuers.clear();  // each run appends the names again: start as a first run
    platform::CertHandle chosen;
    const int picked = ui::selectExpiredCertificate(nullptr, certs, chosen);
    if (picked != 0 || !chosen) {
        return -1;
    }
    certs.freeCertificate(chosen);
    return static_cast<long>(prompts.offered);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::atoi(argv[2]) <= 0) {
        std::fprintf(stderr, "usage: %s HOME ROUNDS\n", argc > 0 ? argv[0] : "picker_bench");
        return 2;
    }
    bench::useHome(argv[1]);
    const int rounds = std::atoi(argv[2]);
    int qtArgc = 1;
    QApplication application(qtArgc, argv);

    std::vector<double> open;
    std::vector<double> warm;
    long listed = 0;
    for (int round = 0; round < rounds; ++round) {
        bench::FirstChoicePrompts prompts;
        platform::nss::NssCertificateServices certs(prompts);
        double start = bench::nowMs();
        listed = listOnce(prompts, certs);
        open.push_back(bench::nowMs() - start);
        start = bench::nowMs();
        const long again = listOnce(prompts, certs);
        warm.push_back(bench::nowMs() - start);
        if (listed <= 0 || again != listed || !certs.shutdown()) {
            std::fprintf(stderr, "picker_bench: the listing failed\n");
            return 1;
        }
    }
    bench::report("picker_open_ms", bench::median(open));
    bench::report("picker_ms", bench::median(warm));
    bench::report("listed", static_cast<double>(listed));
    bench::report("maxrss_kb", static_cast<double>(bench::maxRssKb()));
    return 0;
}
