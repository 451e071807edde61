// The PKCS#12 import and the store placement, run by the real importer against a throwaway
// database.
#include <keyhi.h>
#include <pk11pub.h>

#include <algorithm>

#include "certstore/pkcs12_import.h"
#include "nss_test_support.h"
#include "platform/last_error.h"

namespace tessaly::nss_test {
namespace {

namespace cert = platform::cert;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;
using ::testing::UnorderedElementsAre;

std::u16string widen(std::string_view text) {
    return std::u16string(text.begin(), text.end());
}

class ImportTest : public NssDatabaseTest {
  protected:
    int import(const Bytes& package, std::string_view password, std::int32_t exportable = 0) {
        return importPackage(package, password, exportable, &errorCode);
    }

    // The trust attributes `certutil -L` shows, sorted.
    std::vector<std::string> trustsInDatabase() {
        std::vector<std::string> trusts;
        for (const auto& [nickname, trust] : certutilListing()) {
            trusts.push_back(trust);
        }
        std::sort(trusts.begin(), trusts.end());
        return trusts;
    }

    void expectDatabaseEmpty() {
        EXPECT_THAT(certutilListing(), IsEmpty());
        EXPECT_EQ(certutilKeyCount(), 0);
    }

    std::int32_t errorCode = 0;
};

class ImportFlavourTest : public ImportTest,
                          public ::testing::WithParamInterface<PackageFlavour> {};

TEST_P(ImportFlavourTest, PlacesRootIntermediateAndUserInTheirStores) {
    Pki& pki = Pki::instance();
    const Bytes& package = pki.chainPackage(GetParam(), kPackagePassword);
    expectDatabaseEmpty();

    ASSERT_EQ(import(package, kPackagePassword), 1);
    EXPECT_EQ(errorCode, 0);

    EXPECT_THAT(storeContents(cert::kStoreRoot), ElementsAre(pki.root().der));
    EXPECT_THAT(storeContents(cert::kStoreCa), ElementsAre(pki.intermediate().der));
    EXPECT_THAT(storeContents(cert::kStoreMy), ElementsAre(pki.rsaUser().der));

    // What another NSS program sees: the root trusted as CA, the intermediate without trust,
    // the user certificate as a user certificate with its key.
    EXPECT_THAT(trustsInDatabase(), ElementsAre(",,", "C,C,C", "u,u,u"));
    EXPECT_EQ(certutilKeyCount(), 1);

    // The user confirmed the root, and saw what it is.
    ASSERT_EQ(prompts_.rootRequests.size(), 1u);
    const auto& details = prompts_.rootRequests[0];
    EXPECT_NE(details.subject.find(u"CN=Tessaly Test Root"), std::u16string::npos);
    EXPECT_EQ(details.subject, details.issuer);
    EXPECT_LT(details.notBefore, details.notAfter);
    const std::string fingerprint = mustRun("openssl x509 -noout -fingerprint -sha1 -in " +
                                            shellQuoted(pki.root().certificate));
    std::string hex;
    for (const std::uint8_t byte : details.sha1Fingerprint) {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
        hex += ':';
    }
    hex.pop_back();
    EXPECT_NE(fingerprint.find(hex), std::string::npos) << fingerprint << " vs " << hex;
}

INSTANTIATE_TEST_SUITE_P(Flavours, ImportFlavourTest,
                         ::testing::Values(PackageFlavour::OpenSsl, PackageFlavour::OpenSslLegacy,
                                           PackageFlavour::Pk12util),
                         [](const auto& paramInfo) { return flavourName(paramInfo.param); });

TEST_F(ImportTest, TemporaryStoreListsThePackageInOrderWithTheKeyLinked) {
    Pki& pki = Pki::instance();
    const Bytes& package = pki.chainPackage(PackageFlavour::OpenSsl, kPackagePassword);
    const std::u16string password = widen(kPackagePassword);

    const platform::StoreHandle temporary =
        services().importPfx(package, password, cert::kCryptUserKeyset);
    ASSERT_TRUE(temporary);
    std::vector<Bytes> order;
    std::vector<bool> linked;
    platform::CertHandle current;
    while ((current = services().enumCertificatesInStore(temporary, current))) {
        order.push_back(services().encodedCertificate(current));
        std::uint32_t size = 0;
        const bool hasKey =
            services().getCertificateContextProperty(current, cert::kKeyProvInfoPropId, size);
        linked.push_back(hasKey);
        if (!hasKey) {
            EXPECT_EQ(platform::lastError(), cert::kCryptNotFound);
        }
    }
    EXPECT_EQ(platform::lastError(), cert::kCryptNotFound);  // the end of the walk
    EXPECT_TRUE(services().closeStore(temporary, cert::kCloseStoreCheckFlag));
    EXPECT_THAT(order, ElementsAre(pki.rsaUser().der, pki.intermediate().der, pki.root().der));
    EXPECT_THAT(linked, ElementsAre(true, false, false));

    // Imported, but nothing is trusted before the root is added to "ROOT".
    EXPECT_THAT(trustsInDatabase(), ElementsAre(",,", ",,", "u,u,u"));
    EXPECT_EQ(certutilKeyCount(), 1);
    EXPECT_THAT(storeContents(cert::kStoreRoot), IsEmpty());
}

TEST_F(ImportTest, SelfSignedCertificateWithKeyGoesToRootOnly) {
    const Bytes& package = Pki::instance().selfSignedPackage();
    ASSERT_EQ(import(package, kPackagePassword), 1);
    EXPECT_THAT(storeContents(cert::kStoreRoot),
                ElementsAre(Pki::instance().selfSignedWithKey().der));
    EXPECT_THAT(storeContents(cert::kStoreMy), IsEmpty());
    EXPECT_THAT(storeContents(cert::kStoreCa), IsEmpty());
}

TEST_F(ImportTest, RejectedPackagesLeaveTheDatabaseUntouched) {
    const Bytes& package = Pki::instance().chainPackage(PackageFlavour::OpenSsl, kPackagePassword);
    const std::string html = "<html><body>Service unavailable</body></html>";
    const Bytes truncated(package.begin(), package.begin() + package.size() / 2);
    struct Case {
        const char* name;
        Bytes bytes;
        std::string password;
        std::int32_t expected;
    };
    const Case cases[] = {
        {"wrong password", package, "renew-2024!", import_code::kWrongPassword},
        {"empty password for a protected package", package, "", import_code::kWrongPassword},
        {"no bytes", Bytes{}, kPackagePassword, import_code::kNotPkcs12},
        {"HTML", Bytes(html.begin(), html.end()), kPackagePassword, import_code::kNotPkcs12},
        {"truncated package", truncated, kPackagePassword, import_code::kNotPkcs12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(import(c.bytes, c.password), 0);
        EXPECT_EQ(errorCode, c.expected);
    }
    expectDatabaseEmpty();
    EXPECT_THAT(prompts_.rootRequests, IsEmpty());
}

TEST_F(ImportTest, PasswordIsToldApartFromBadBytes) {
    const Bytes& package = Pki::instance().chainPackage(PackageFlavour::OpenSsl, kPackagePassword);
    EXPECT_TRUE(services().isPfxBlob(package));
    EXPECT_TRUE(services().verifyPfxPassword(package, widen(kPackagePassword), 0));
    EXPECT_FALSE(services().verifyPfxPassword(package, u"wrong", 0));
    EXPECT_EQ(platform::lastError(), cert::kErrorInvalidPassword);

    const Bytes truncated(package.begin(), package.end() - 40);
    EXPECT_FALSE(services().verifyPfxPassword(truncated, widen(kPackagePassword), 0));
    EXPECT_EQ(platform::lastError(), cert::kNteBadData);
}

TEST_F(ImportTest, EmptyPasswordOpensAPackageMadeWithout) {
    const Bytes& package = Pki::instance().chainPackage(PackageFlavour::OpenSsl, "");
    ASSERT_EQ(import(package, ""), 1);
    EXPECT_THAT(storeContents(cert::kStoreMy), ElementsAre(Pki::instance().rsaUser().der));
}

TEST_F(ImportTest, SamePackageTwiceHoldsEachCertificateOnce) {
    const Bytes& package = Pki::instance().chainPackage(PackageFlavour::OpenSsl, kPackagePassword);
    ASSERT_EQ(import(package, kPackagePassword), 1);
    const auto first = certutilListing();
    ASSERT_EQ(import(package, kPackagePassword), 1);
    EXPECT_EQ(errorCode, 0);
    EXPECT_EQ(certutilListing(), first);
    EXPECT_EQ(certutilKeyCount(), 1);
    EXPECT_EQ(storeContents(cert::kStoreRoot).size(), 1u);
    EXPECT_EQ(storeContents(cert::kStoreCa).size(), 1u);
    EXPECT_EQ(storeContents(cert::kStoreMy).size(), 1u);
    // A root already trusted is not asked about again.
    EXPECT_EQ(prompts_.rootRequests.size(), 1u);
}

TEST_F(ImportTest, RefusedRootFailsWith305AndKeepsTheEarlierCertificates) {
    Pki& pki = Pki::instance();
    prompts_.acceptRoots = false;
    // Package order: user, intermediate, root; the root comes last.
    ASSERT_EQ(import(pki.chainPackage(PackageFlavour::OpenSsl, kPackagePassword), kPackagePassword),
              0);
    EXPECT_EQ(errorCode, import_code::kAddFailed);
    EXPECT_EQ(prompts_.rootRequests.size(), 1u);
    EXPECT_THAT(storeContents(cert::kStoreMy), ElementsAre(pki.rsaUser().der));
    EXPECT_THAT(storeContents(cert::kStoreCa), ElementsAre(pki.intermediate().der));
    // The refused root is not trusted: it stays in the database, in no store.
    EXPECT_THAT(storeContents(cert::kStoreRoot), IsEmpty());
    EXPECT_THAT(trustsInDatabase(), ElementsAre(",,", ",,", "u,u,u"));
}

// Whether the imported key may leave the database: NSS keeps the flag on the key object.
TEST_F(ImportTest, ExportableFlagDecidesTheKeysExtractableAttribute) {
    Pki& pki = Pki::instance();
    for (const bool exportable : {false, true}) {
        SCOPED_TRACE(exportable ? "exportable" : "not exportable");
        const Bytes& package = exportable
                                   ? pki.ecChainPackage()
                                   : pki.chainPackage(PackageFlavour::OpenSsl, kPackagePassword);
        ASSERT_EQ(import(package, kPackagePassword, exportable ? 1 : 0), 1);

        const TestCertificate& user = exportable ? pki.ecUser() : pki.rsaUser();
        SECItem der{siBuffer, const_cast<unsigned char*>(user.der.data()),
                    static_cast<unsigned int>(user.der.size())};
        platform::nss::ScopedCERTCertificate certificate(
            CERT_NewTempCertificate(CERT_GetDefaultCertDB(), &der, nullptr, PR_FALSE, PR_TRUE));
        ASSERT_TRUE(certificate);
        platform::nss::ScopedSECKEYPrivateKey key(
            PK11_FindKeyByAnyCert(certificate.get(), nullptr));
        ASSERT_TRUE(key);
        SECItem value{siBuffer, nullptr, 0};
        ASSERT_EQ(PK11_ReadRawAttribute(PK11_TypePrivKey, key.get(), CKA_EXTRACTABLE, &value),
                  SECSuccess);
        const platform::nss::ScopedSECItem owned(SECITEM_DupItem(&value));
        SECITEM_FreeItem(&value, PR_FALSE);
        ASSERT_EQ(owned->len, 1u);
        EXPECT_EQ(owned->data[0], exportable ? CK_TRUE : CK_FALSE);
    }
}

}  // namespace
}  // namespace tessaly::nss_test
