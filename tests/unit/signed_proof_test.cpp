#include "renewal/signed_proof.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "certstore/selection_dialog_module.h"
#include "fake_certificates.h"
#include "renewal/encodings.h"

namespace tessaly {
namespace {

using fakes::FakeCertificate;
using fakes::FakeCertificates;
using ::testing::ElementsAre;
namespace cert = platform::cert;

std::string base64Of(const std::string& bytes) {
    const auto text =
        base64Encode(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return {text.begin(), text.end()};
}

class SignedProofTest : public ::testing::Test {
  protected:
    void SetUp() override {
        expired = certs.addCertificate({.name = "expired", .hasKey = true});
        certs.putInStore(u"MY", expired);
        chosen = certs.contextOf(expired);  // the picker's context, owned by the caller
    }

    void TearDown() override {
        certs.freeCertificate(chosen);
        EXPECT_EQ(certs.liveContexts(), 0);
        EXPECT_EQ(certs.openStores(), 0);
        EXPECT_EQ(certs.badReleases(), 0);
    }

    FakeCertificates certs;
    int expired = 0;
    platform::CertHandle chosen;
};

TEST_F(SignedProofTest, SignsWithTheStoresOwnContextAsSha256SignedDataCarryingOnlyTheSigner) {
    platform::NarrowString signature;
    ASSERT_EQ(signVerificationData(certs, chosen, "challenge", signature), 1);

    EXPECT_EQ(std::string(signature.begin(), signature.end()),
              base64Of(FakeCertificates::signedMessageFor("expired", "challenge")));
    EXPECT_THAT(certs.callNames(),
                ElementsAre("openSystemStore", "findCertificateInStore", "signMessage",
                            "signMessage", "freeCertificate", "closeStore"));
    EXPECT_EQ(certs.callsTo("openSystemStore")[0].text, u"MY");
    const auto find = certs.callsTo("findCertificateInStore")[0];
    EXPECT_EQ(find.numbers, (std::vector<std::uint64_t>{1, 0, 0x000D0000, chosen.value, 0}));
    const auto sizeQuery = certs.callsTo("signMessage")[0];
    EXPECT_EQ(sizeQuery.numbers, (std::vector<std::uint64_t>{0, 0}));  // attached, no buffer
    EXPECT_EQ(certs.callsTo("signMessage")[1].numbers, (std::vector<std::uint64_t>{0, 1}));
    EXPECT_EQ(certs.callsTo("closeStore")[0].numbers[1], 2u);

    const auto params = certs.lastSignParams().value();
    EXPECT_EQ(params.size, 68u);
    EXPECT_EQ(params.messageEncodingType, 0x00010000u);
    EXPECT_NE(params.signingCertificate, chosen);  // the store's context signs
    EXPECT_EQ(params.hashAlgorithmOid, "2.16.840.1.101.3.4.2.1");
    EXPECT_TRUE(params.hashAlgorithmParameters.empty());
    EXPECT_THAT(params.messageCertificates, ElementsAre(params.signingCertificate));
    EXPECT_EQ(params.crlCount, 0u);
    EXPECT_EQ(params.authenticatedAttributeCount, 0u);
    EXPECT_EQ(params.unauthenticatedAttributeCount, 0u);
    EXPECT_EQ(params.flags, 0u);
    EXPECT_EQ(params.innerContentType, 0u);
}

TEST_F(SignedProofTest, SignsOnlyTheBytesBeforeTheFirstNul) {
    platform::NarrowString signature;
    ASSERT_EQ(signVerificationData(certs, chosen, std::string_view("abc\0def", 7), signature), 1);
    EXPECT_EQ(certs.callsTo("signMessage")[1].detail, "abc");
}

TEST_F(SignedProofTest, FailsWithoutTouchingTheOutputAndReleasesWhatItOpened) {
    struct Case {
        const char* name;
        std::function<void()> script;
    };
    const Case cases[] = {
        {"store does not open", [&] { certs.failOpening(u"MY"); }},
        {"certificate deleted after picking", [&] { certs.removeFromStore(u"MY", expired); }},
        {"size query refused", [&] { certs.queueFailure("signMessage", cert::kNteBadKeyset); }},
        {"signing refused",
         [&] {
             certs.queueFailure("signMessage", 0);
             certs.queueFailure("signMessage", cert::kNteBadData);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.script();
        platform::NarrowString signature("untouched");
        EXPECT_EQ(signVerificationData(certs, chosen, "challenge", signature), 0);
        EXPECT_EQ(std::string(signature.begin(), signature.end()), "untouched");
        EXPECT_EQ(certs.openStores(), 0);
        EXPECT_EQ(certs.liveContexts(), 1);  // only the caller's own context remains
        certs.putInStore(u"MY", expired);
    }
}

TEST(SignedProofKeyless, CertificateWithoutPrivateKeyCannotSign) {
    FakeCertificates certs;
    const int keyless = certs.addCertificate({.name = "keyless", .hasKey = false});
    certs.putInStore(u"MY", keyless);
    const auto chosen = certs.contextOf(keyless);
    platform::NarrowString signature;
    EXPECT_EQ(signVerificationData(certs, chosen, "challenge", signature), 0);
    EXPECT_TRUE(signature.empty());
    certs.freeCertificate(chosen);
    EXPECT_EQ(certs.liveContexts(), 0);
}

TEST_F(SignedProofTest, ReleasesASelectionDialogModuleStillHeld) {
    g_selectionDialogModule.store(certs.loadSelectionDialog(cert::kSelectionDialogLibrary));
    ASSERT_EQ(certs.loadedModules(), 1);
    certs.failOpening(u"MY");
    platform::NarrowString signature;
    EXPECT_EQ(signVerificationData(certs, chosen, "challenge", signature), 0);
    EXPECT_EQ(certs.loadedModules(), 0);
    EXPECT_FALSE(g_selectionDialogModule.load());
}

}  // namespace
}  // namespace tessaly
