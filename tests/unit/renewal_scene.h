// A renewal attempt ready to run against the fakes: an expired certificate with its key in
// "MY", a renewed package (root, intermediate, end-user certificate) that opens with the
// job's password, and a job pointing at the renewal URL. After each test nothing of the
// attempt may be left open.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "fake_certificates.h"
#include "fake_internet.h"
#include "renewal/renewal_job.h"
#include "transport/internet_root.h"

namespace tessaly::testing_scene {

inline constexpr std::u16string_view kUrl =
    u"https://renewal.example.test/kivra/DownloadPkcs12GracePre.do";
inline constexpr std::u16string_view kPassword = u"pa ss/ワ";
inline const std::string kPackage = "RENEWED-PKCS12";

inline std::u16string plain(const platform::WideString& text) {
    return {text.begin(), text.end()};
}

class RenewalScene : public ::testing::Test {
  protected:
    void SetUp() override {
        g_hInternet.store({});
        expired = certs.addCertificate({.name = "expired", .hasKey = true});
        certs.putInStore(u"MY", expired);
        const int root = certs.addCertificate({.name = "root", .selfIssued = true});
        const int intermediate = certs.addCertificate({.name = "intermediate"});
        const int renewed = certs.addCertificate({.name = "renewed", .hasKey = true});
        certs.registerPackage(kPackage, std::u16string(kPassword), {root, intermediate, renewed});
        job.url = kUrl;
        job.password = kPassword;
        job.certificate = certs.contextOf(expired);
    }

    void TearDown() override {
        EXPECT_TRUE(net.openHandles().empty());
        EXPECT_EQ(net.extraCloses(), 0);
        EXPECT_FALSE(g_hInternet.load());
        EXPECT_EQ(certs.openStores(), 0);
        EXPECT_EQ(certs.liveContexts(), 1);  // only the picker's context, which the caller frees
        EXPECT_EQ(certs.badReleases(), 0);
        certs.freeCertificate(job.certificate);
    }

    int run() { return _doImport(certs, net, job, job.url, job.password); }

    fakes::FakeInternet net;
    fakes::FakeCertificates certs;
    RenewalJob job;
    int expired = 0;
};

}  // namespace tessaly::testing_scene
