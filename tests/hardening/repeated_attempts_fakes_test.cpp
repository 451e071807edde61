// Many attempts in one process on the scripted fakes, through every way an attempt ends that
// the fakes can script: once warmed up, the heap in use and the open descriptors stay where
// they were.
#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <string>

#include "fake_certificates.h"
#include "fake_internet.h"
#include "hardening_support.h"
#include "renewal/renewal_job.h"
#include "renewal_scene.h"
#include "transport/internet_root.h"

namespace tessaly::hardening {
namespace {

using fakes::FakeCertificates;
using fakes::FakeInternet;
using fakes::FakeResponse;
using fakes::Outcome;
using testing_scene::kPackage;
using testing_scene::kPassword;
using testing_scene::kUrl;
using testing_scene::plain;

struct Ending {
    const char* name;
    std::function<void(FakeInternet&)> script;
    std::u16string message;
};

const Ending kEndings[] = {
    {"renewed",
     [](FakeInternet& net) {
         net.queueResponse(FakeResponse::text("0:challenge"));
         net.queueResponse(FakeResponse::pkcs12(kPackage, true));
     },
     u"証明書は正しくインポートされました。"},
    {"first answer 500",
     [](FakeInternet& net) { net.queueResponse(FakeResponse::withStatus(500)); },
     u"125:検証データの問い合わせに失敗しました。"},
    {"first body cut",
     [](FakeInternet& net) {
         net.queueResponse(FakeResponse::text("0:challenge"));
         net.queueOutcome("readFile", Outcome::fail(platform::inet::kErrorConnectionReset));
     },
     u"300:検証データが取得できませんでした。"},
    {"refused",
     [](FakeInternet& net) {
         net.queueResponse(FakeResponse::text("0:challenge"));
         net.queueResponse(FakeResponse::text("\x83\x47\x83\x89\x81\x5B"));
     },
     u"550:証明書ファイルは取得できませんでした。\nエラー"},
};

// One attempt on fresh fakes; the handles and certificate contexts are checked as it ends.
void attemptOnFakes(const Ending& ending) {
    FakeInternet net;
    FakeCertificates certs;
    const int expired = certs.addCertificate({.name = "expired", .hasKey = true});
    certs.putInStore(u"MY", expired);
    const int root = certs.addCertificate({.name = "root", .selfIssued = true});
    const int intermediate = certs.addCertificate({.name = "intermediate"});
    const int renewed = certs.addCertificate({.name = "renewed", .hasKey = true});
    certs.registerPackage(kPackage, std::u16string(kPassword), {root, intermediate, renewed});
    ending.script(net);

    RenewalJob job;
    job.url = kUrl;
    job.password = kPassword;
    job.certificate = certs.contextOf(expired);
    _doImport(certs, net, job, job.url, job.password);

    EXPECT_EQ(plain(job.message), ending.message) << ending.name;
    EXPECT_TRUE(net.openHandles().empty()) << ending.name;
    EXPECT_FALSE(g_hInternet.load());
    EXPECT_EQ(certs.openStores(), 0) << ending.name;
    EXPECT_EQ(certs.liveContexts(), 1) << ending.name;  // the caller's choice only
    certs.freeCertificate(job.certificate);
}

TEST(RepeatedAttemptsOnFakes, TwoHundredAttemptsLeaveTheHeapAndDescriptorsAsAfterWarmUp) {
    constexpr int kWarmUp = 20;
    constexpr int kAttempts = 200;
    std::size_t heapAfterWarmUp = 0;
    std::map<int, std::string> descriptorsAfterWarmUp;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        attemptOnFakes(kEndings[attempt % std::size(kEndings)]);
        if (attempt + 1 == kWarmUp) {
            heapAfterWarmUp = heapInUse();
            descriptorsAfterWarmUp = openDescriptors();
        }
    }
    const std::size_t heapAtEnd = heapInUse();
    std::cout << "heap in use after " << kWarmUp << " attempts: " << heapAfterWarmUp
              << " bytes; after " << kAttempts << ": " << heapAtEnd << " bytes\n";
    // Leaving 100 bytes behind an attempt would break this bound.
    EXPECT_LT(heapAtEnd, heapAfterWarmUp + 16 * 1024);
    EXPECT_EQ(openDescriptors(), descriptorsAfterWarmUp);
}

}  // namespace
}  // namespace tessaly::hardening
