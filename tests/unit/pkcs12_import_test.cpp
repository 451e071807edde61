#include "certstore/pkcs12_import.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fake_certificates.h"
#include "platform/secure_memory.h"
#include "wipe_recorder.h"

namespace tessaly {
namespace {

using fakes::FakeCertificates;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
namespace cert = platform::cert;

const std::string kPackage = "PKCS12-BYTES";
const std::u16string kPassword = u"pass word";

class ImportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root = certs.addCertificate({.name = "root", .selfIssued = true});
        intermediate = certs.addCertificate({.name = "intermediate"});
        renewed = certs.addCertificate({.name = "renewed", .hasKey = true});
        certs.registerPackage(kPackage, kPassword, {root, intermediate, renewed});
        package.data = reinterpret_cast<const std::uint8_t*>(kPackage.data());
        package.size = static_cast<std::uint32_t>(kPackage.size());
        package.password = kPassword;
    }

    void TearDown() override {
        EXPECT_EQ(certs.liveContexts(), 0);
        EXPECT_EQ(certs.openStores(), 0);
        EXPECT_EQ(certs.badReleases(), 0);
    }

    FakeCertificates certs;
    int root = 0, intermediate = 0, renewed = 0;
    Pkcs12Package package;
};

TEST_F(ImportTest, PlacesRootIntermediateAndEndUserCertificateInTheirStores) {
    ASSERT_EQ(_import(certs, package), 1);
    EXPECT_EQ(package.errorCode, 0);

    EXPECT_THAT(certs.storeContents(u"ROOT"), ElementsAre("root"));
    EXPECT_THAT(certs.storeContents(u"CA"), ElementsAre("intermediate"));
    EXPECT_THAT(certs.storeContents(u"MY"), ElementsAre("renewed"));

    EXPECT_EQ(certs.callsTo("isPfxBlob")[0].detail, kPackage);
    EXPECT_EQ(certs.callsTo("verifyPfxPassword")[0].numbers, (std::vector<std::uint64_t>{0}));
    EXPECT_EQ(certs.callsTo("verifyPfxPassword")[0].text, kPassword);
    EXPECT_EQ(certs.callsTo("importPfx")[0].numbers, (std::vector<std::uint64_t>{0x1000}));
    for (const auto& compare : certs.callsTo("compareCertificateName")) {
        EXPECT_EQ(compare.numbers, (std::vector<std::uint64_t>{0x00010001, 0, 1}));
    }
    for (const auto& add : certs.callsTo("addCertificateToStore")) {
        EXPECT_EQ(add.numbers[1], 2u);  // use existing
    }
    for (const auto& close : certs.callsTo("closeStore")) {
        EXPECT_EQ(close.numbers[1], 2u);
    }
    // Each placement opens its store, adds and closes it at once; the temporary store last.
    const auto names = certs.callNames();
    const auto last = names.size() - 1;
    EXPECT_EQ(names[last], "closeStore");
    EXPECT_EQ(names[last - 1], "enumCertificatesInStore");
}

TEST_F(ImportTest, ExportableFlagAddsCryptExportable) {
    package.exportable = 1;
    ASSERT_EQ(_import(certs, package), 1);
    EXPECT_EQ(certs.callsTo("importPfx")[0].numbers, (std::vector<std::uint64_t>{0x1001}));
}

TEST_F(ImportTest, SelfSignedCertificateWithKeyGoesToRootOnly) {
    const int selfSigned =
        certs.addCertificate({.name = "self", .selfIssued = true, .hasKey = true});
    certs.registerPackage("SELF", u"", {selfSigned});
    package.data = reinterpret_cast<const std::uint8_t*>("SELF");
    package.size = 4;
    package.password = {};
    ASSERT_EQ(_import(certs, package), 1);
    EXPECT_THAT(certs.storeContents(u"ROOT"), ElementsAre("self"));
    EXPECT_THAT(certs.storeContents(u"MY"), IsEmpty());
    EXPECT_EQ(certs.callsTo("verifyPfxPassword")[0].text, u"");  // no password is the empty text
}

TEST_F(ImportTest, SamePackageTwiceSucceedsAndStoresEachCertificateOnce) {
    ASSERT_EQ(_import(certs, package), 1);
    ASSERT_EQ(_import(certs, package), 1);
    EXPECT_THAT(certs.storeContents(u"ROOT"), ElementsAre("root"));
    EXPECT_THAT(certs.storeContents(u"CA"), ElementsAre("intermediate"));
    EXPECT_THAT(certs.storeContents(u"MY"), ElementsAre("renewed"));
}

TEST_F(ImportTest, EachFailureStopsAtOnceWithItsCodeAndKeepsWhatWasPlaced) {
    struct Case {
        const char* name;
        std::function<void(FakeCertificates&, Pkcs12Package&)> script;
        std::int32_t code;
        std::vector<std::string> root, ca, my;
    };
    static const std::string html = "<html>error</html>";
    const Case cases[] = {
        {"empty body",
         [](FakeCertificates&, Pkcs12Package& p) {
             p.size = 0;
             p.data = nullptr;
         },
         200,
         {},
         {},
         {}},
        {"html instead of a package",
         [](FakeCertificates&, Pkcs12Package& p) {
             p.data = reinterpret_cast<const std::uint8_t*>(html.data());
             p.size = static_cast<std::uint32_t>(html.size());
         },
         200,
         {},
         {},
         {}},
        {"wrong password",
         [](FakeCertificates&, Pkcs12Package& p) { p.password = u"Pass word"; },
         205,
         {},
         {},
         {}},
        {"import refused",
         [](FakeCertificates& c, Pkcs12Package&) {
             c.queueFailure("importPfx", cert::kNteBadData);
         },
         210,
         {},
         {},
         {}},
        {"root store does not open",
         [](FakeCertificates& c, Pkcs12Package&) { c.failOpening(u"ROOT"); },
         300,
         {},
         {},
         {}},
        {"root confirmation refused",
         [](FakeCertificates& c, Pkcs12Package&) { c.failAddingTo(u"ROOT"); },
         305,
         {},
         {},
         {}},
        {"third store does not open",
         [](FakeCertificates& c, Pkcs12Package&) { c.failOpening(u"MY"); },
         300,
         {"root"},
         {"intermediate"},
         {}},
        {"third add fails",
         [](FakeCertificates& c, Pkcs12Package&) {
             c.queueFailure("addCertificateToStore", 0);
             c.queueFailure("addCertificateToStore", 0);
             c.queueFailure("addCertificateToStore", cert::kEFail);
         },
         305,
         {"root"},
         {"intermediate"},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeCertificates fresh;
        fresh.addCertificate({.name = "root", .selfIssued = true});
        fresh.addCertificate({.name = "intermediate"});
        fresh.addCertificate({.name = "renewed", .hasKey = true});
        fresh.registerPackage(kPackage, kPassword, {0, 1, 2});
        Pkcs12Package p = package;
        c.script(fresh, p);
        EXPECT_EQ(_import(fresh, p), 0);
        EXPECT_EQ(p.errorCode, c.code);
        EXPECT_EQ(fresh.storeContents(u"ROOT"), c.root);
        EXPECT_EQ(fresh.storeContents(u"CA"), c.ca);
        EXPECT_EQ(fresh.storeContents(u"MY"), c.my);
        EXPECT_EQ(fresh.liveContexts(), 0);
        EXPECT_EQ(fresh.openStores(), 0);
        EXPECT_EQ(fresh.badReleases(), 0);
        if (c.code <= 205) {
            EXPECT_TRUE(fresh.callsTo("openSystemStore").empty());
        }
    }
}

TEST_F(ImportTest, KeyQueryFailingOtherwiseThanNotFoundIs215) {
    const int odd = certs.addCertificate({.name = "odd", .propertyError = cert::kNteBadKeyset});
    certs.registerPackage("ODD", kPassword, {odd, renewed});
    package.data = reinterpret_cast<const std::uint8_t*>("ODD");
    package.size = 3;
    EXPECT_EQ(_import(certs, package), 0);
    EXPECT_EQ(package.errorCode, 215);
    EXPECT_THAT(certs.storeContents(u"MY"), IsEmpty());
}

// Notes where the import's private copies live, as the services see them.
class CopyWatchingCertificates : public FakeCertificates {
  public:
    bool verifyPfxPassword(std::span<const std::uint8_t> pfx, std::u16string_view password,
                           std::uint32_t flags) override {
        packageAt = reinterpret_cast<std::uintptr_t>(pfx.data());
        packageSize = pfx.size();
        passwordAt = reinterpret_cast<std::uintptr_t>(password.data());
        passwordSize = password.size() * sizeof(char16_t);
        return FakeCertificates::verifyPfxPassword(pfx, password, flags);
    }
    std::uintptr_t packageAt = 0, passwordAt = 0;
    std::size_t packageSize = 0, passwordSize = 0;
};

TEST(ImportSecrets, PrivateCopiesOfPackageAndPasswordAreZeroedOnEveryWayOut) {
    for (const bool wrongPassword : {false, true}) {
        SCOPED_TRACE(wrongPassword ? "failure" : "success");
        const fakes::WipeRecorder wipes;
        CopyWatchingCertificates certs;
        certs.registerPackage(kPackage, kPassword,
                              {certs.addCertificate({.name = "renewed", .hasKey = true})});
        const std::u16string typed = wrongPassword ? u"wrong" : kPassword;
        Pkcs12Package package{reinterpret_cast<const std::uint8_t*>(kPackage.data()), typed,
                              static_cast<std::uint32_t>(kPackage.size())};
        EXPECT_EQ(_import(certs, package), wrongPassword ? 0 : 1);
        ASSERT_NE(certs.packageAt, 0u);
        EXPECT_NE(certs.packageAt, reinterpret_cast<std::uintptr_t>(kPackage.data()));  // a copy
        EXPECT_NE(certs.passwordAt, reinterpret_cast<std::uintptr_t>(typed.data()));
        EXPECT_TRUE(wipes.wasWiped(certs.packageAt, certs.packageSize));
        EXPECT_TRUE(wipes.wasWiped(certs.passwordAt, certs.passwordSize));
        EXPECT_EQ(typed, wrongPassword ? u"wrong" : kPassword);  // the caller's text is untouched
    }
}

}  // namespace
}  // namespace tessaly
