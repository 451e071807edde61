// The queries the picker uses (Authority Key Identifier, the issuer's display name) and the
// selection over "MY", on certificates made with openssl.
#include <set>

#include "nss_test_support.h"
#include "platform/last_error.h"

namespace tessaly::nss_test {
namespace {

namespace cert = platform::cert;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

class PickerTest : public NssDatabaseTest {
  protected:
    // The picker's filter, over this service.
    bool accepted(platform::CertHandle certificate) {
        static const std::set<std::u16string> kIssuers = {u"Corvane Banking Union CA",
                                                          u"Corvane Banking Union CA G2"};
        if (!services().findExtension(cert::kOidAuthorityKeyIdentifier, certificate)) {
            return false;
        }
        return kIssuers.count(services().getNameString(certificate, cert::kNameSimpleDisplayType,
                                                       cert::kNameIssuerFlag, 1024)) != 0;
    }
};

TEST_F(PickerTest, ListsOnlyCertificatesOfTheAcceptedIssuersWithAuthorityKeyIdentifier) {
    Pki& pki = Pki::instance();
    struct Holder {
        const char* issuer;
        const char* user;
        bool aki;
    };
    const Holder holders[] = {
        {"Corvane Banking Union CA", "Listed Expired", true},
        {"Corvane Banking Union CA G2", "Listed G2", true},
        {"Corvane Banking Union CA", "Without AKI", false},
        {"corvane banking union ca", "Issuer In Lower Case", true},
        {"Corvane Banking Union CA ", "Issuer With Trailing Blank", true},
        {"Other Issuing CA", "Other Issuer", true},
    };
    for (const Holder& holder : holders) {
        ASSERT_EQ(importPackage(pki.userPackage(holder.issuer, holder.user, holder.aki),
                                kPackagePassword),
                  1)
            << holder.user;
    }
    // A still valid certificate of an accepted issuer, with its chain.
    ASSERT_EQ(importPackage(pki.ecChainPackage(), kPackagePassword), 1);

    const platform::ModuleHandle module =
        services().loadSelectionDialog(cert::kSelectionDialogLibrary);
    ASSERT_TRUE(module);
    EXPECT_TRUE(services().hasSelectionDialogEntry(module, cert::kSelectionDialogEntry));

    const platform::StoreHandle my = services().openSystemStore(cert::kStoreMy);
    ASSERT_TRUE(my);
    platform::SelectCertificateParams params;
    params.title = u"有効期限切れ証明書の選択";
    params.filter = [this](platform::CertHandle certificate) { return accepted(certificate); };
    params.displayStores = {my};
    prompts_.choose =
        [](std::span<const platform::CertificateChoice> choices) -> std::optional<std::size_t> {
        for (std::size_t i = 0; i < choices.size(); ++i) {
            if (choices[i].issuedTo == u"Listed G2") {
                return i;
            }
        }
        return std::nullopt;
    };
    const platform::CertHandle chosen = services().selectCertificate(params);
    EXPECT_THAT(prompts_.offeredIssuedTo,
                UnorderedElementsAre(u"Listed Expired", u"Listed G2", u"Valid EC User"));

    // Closing the dialog chooses nothing.
    prompts_.choose = nullptr;
    EXPECT_FALSE(services().selectCertificate(params));
    EXPECT_EQ(platform::lastError(), cert::kErrorCancelled);

    services().closeStore(my, cert::kCloseStoreCheckFlag);
    EXPECT_TRUE(services().freeSelectionDialog(module));
    EXPECT_FALSE(services().hasSelectionDialogEntry(module, cert::kSelectionDialogEntry));

    // The chosen context outlives the store.
    ASSERT_TRUE(chosen);
    EXPECT_EQ(services().getNameString(chosen, cert::kNameSimpleDisplayType, 0, 1024),
              u"Listed G2");
    EXPECT_TRUE(services().freeCertificate(chosen));
    EXPECT_FALSE(services().freeCertificate(chosen));
}

TEST_F(PickerTest, SimpleDisplayNameIsTheFirstOfCommonNameUnitOrganizationEmail) {
    Pki& pki = Pki::instance();
    struct Case {
        const char* subject;
        std::u16string expected;
    };
    const Case cases[] = {
        {"/O=Org/OU=Unit/CN=Common", u"Common"},
        {"/O=Org/OU=Unit", u"Unit"},
        {"/emailAddress=pki@example.test/O=Org", u"Org"},
        {"/C=JP/emailAddress=pki@example.test", u"pki@example.test"},
        {"/C=JP", u""},
        {"/O=Tessaly/CN=証明書テスト局", u"証明書テスト局"},
    };
    // All of them in one package, in this order (self-signed: issuer and subject agree).
    std::vector<const TestCertificate*> others;
    for (std::size_t i = 1; i < std::size(cases); ++i) {
        others.push_back(&pki.selfSigned(cases[i].subject));
    }
    const Bytes package = pki.exportPackage("names", pki.selfSigned(cases[0].subject), others,
                                            kPackagePassword, false);
    const std::u16string password(std::begin(kPackagePassword), std::end(kPackagePassword) - 1);
    const platform::StoreHandle store =
        services().importPfx(package, password, cert::kCryptUserKeyset);
    ASSERT_TRUE(store);

    platform::CertHandle current;
    std::size_t index = 0;
    while ((current = services().enumCertificatesInStore(store, current))) {
        ASSERT_LT(index, std::size(cases));
        const Case& c = cases[index++];
        SCOPED_TRACE(c.subject);
        for (const std::uint32_t flags : {0u, cert::kNameIssuerFlag}) {
            EXPECT_EQ(services().getNameString(current, cert::kNameSimpleDisplayType, flags, 1024),
                      c.expected);
        }
        EXPECT_TRUE(services().compareCertificateName(cert::kX509Encoding | cert::kPkcs7Encoding,
                                                      current, platform::NamePart::Issuer,
                                                      platform::NamePart::Subject));
        EXPECT_FALSE(services().findExtension(cert::kOidAuthorityKeyIdentifier, current));
        // At most capacity - 1 UTF-16 units.
        EXPECT_EQ(services().getNameString(current, cert::kNameSimpleDisplayType, 0, 4),
                  c.expected.substr(0, 3));
        EXPECT_EQ(services().getNameString(current, cert::kNameSimpleDisplayType, 0, 1), u"");
    }
    EXPECT_EQ(index, std::size(cases));
    services().closeStore(store, cert::kCloseStoreCheckFlag);
}

}  // namespace
}  // namespace tessaly::nss_test
