// The certificates offered to a server that asks for a client certificate, and the key that
// leaves the database for the TLS client: checked against the certificate with openssl.
#include "nss_test_support.h"

namespace tessaly::nss_test {
namespace {

using ::testing::ElementsAre;

// The DER issuer name of a certificate.
Bytes issuerOf(const Bytes& der) {
    SECItem item = platform::nss::itemOf(der);
    const platform::nss::ScopedCERTCertificate certificate(
        CERT_NewTempCertificate(CERT_GetDefaultCertDB(), &item, nullptr, PR_FALSE, PR_TRUE));
    const auto issuer = platform::nss::bytesOf(certificate->derIssuer);
    return {issuer.begin(), issuer.end()};
}

std::vector<Bytes> offeredCertificates(platform::nss::NssCertificateServices& services,
                                       const std::vector<Bytes>& acceptedIssuers) {
    std::vector<Bytes> offered;
    for (const auto& offer : services.clientCertificateOffers(acceptedIssuers)) {
        offered.push_back(offer.certificate);
    }
    return offered;
}

class ClientCertificateTest : public NssDatabaseTest {};

TEST_F(ClientCertificateTest, OffersTheCertificatesWithAKeyOfTheIssuersTheServerNames) {
    Pki& pki = Pki::instance();
    ASSERT_EQ(importPackage(pki.ecChainPackage(), kPackagePassword, 1), 1);
    ASSERT_EQ(importPackage(pki.userPackage("Other Issuing CA", "Other Holder", true),
                            kPackagePassword, 1),
              1);
    const Bytes corvane = issuerOf(pki.ecUser().der);
    const Bytes root = issuerOf(pki.intermediate().der);

    const std::vector<Bytes> all = offeredCertificates(services(), {});  // any issuer
    ASSERT_EQ(all.size(), 2u);
    const Bytes& otherHolder = all[0] == pki.ecUser().der ? all[1] : all[0];
    const Bytes other = issuerOf(otherHolder);
    EXPECT_NE(other, corvane);

    EXPECT_THAT(offeredCertificates(services(), {corvane}), ElementsAre(pki.ecUser().der));
    EXPECT_THAT(offeredCertificates(services(), {root, other}), ElementsAre(otherHolder));
    EXPECT_TRUE(offeredCertificates(services(), {root}).empty());  // the CAs hold no key here

    const auto offers = services().clientCertificateOffers({corvane});
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_EQ(offers[0].issuedBy, u"Corvane Banking Union CA");
    EXPECT_FALSE(offers[0].issuedTo.empty());
}

TEST_F(ClientCertificateTest, TheChosenKeyMatchesItsCertificateUnlessItMayNotLeave) {
    Pki& pki = Pki::instance();
    // The EC user is imported exportable, the RSA user not.
    ASSERT_EQ(importPackage(pki.ecChainPackage(), kPackagePassword, 1), 1);
    ASSERT_EQ(importPackage(pki.chainPackage(PackageFlavour::OpenSsl, kPackagePassword),
                            kPackagePassword, 0),
              1);
    const auto offers = services().clientCertificateOffers({});
    ASSERT_EQ(offers.size(), 2u);
    for (const auto& offer : offers) {
        const bool exportable = offer.certificate == pki.ecUser().der;
        SCOPED_TRACE(exportable ? "exportable EC key" : "RSA key kept in the database");
        const auto identity = services().clientCertificateOf(offer);
        ASSERT_EQ(identity.has_value(), exportable);
        if (!exportable) {
            continue;
        }
        TemporaryDirectory scratch;
        const fs::path chain = scratch.path() / "chain.pem";
        const fs::path key = scratch.path() / "key.der";
        writeFile(chain, Bytes(identity->certificate.begin(), identity->certificate.end()));
        writeFile(key, Bytes(identity->privateKey.begin(), identity->privateKey.end()));
        // An encrypted PKCS#8 whose public half is the certificate's.
        ASSERT_FALSE(identity->keyPassword.empty());
        const std::string password(identity->keyPassword.begin(), identity->keyPassword.end());
        EXPECT_NE(mustRun("openssl asn1parse -inform DER -in " + shellQuoted(key)).find("PBES2"),
                  std::string::npos);
        const std::string fromKey = mustRun("openssl pkey -inform DER -in " + shellQuoted(key) +
                                            " -passin pass:" + password + " -pubout");
        const std::string fromCertificate =
            mustRun("openssl x509 -in " + shellQuoted(chain) + " -pubkey -noout");
        EXPECT_EQ(fromKey, fromCertificate);
        // The certificate first, then its issuer; the root stays out.
        const auto subjectLine = [](const TestCertificate& certificate) {
            return mustRun("openssl x509 -noout -subject -in " +
                           shellQuoted(certificate.certificate));
        };
        const std::string subjects =
            mustRun("openssl crl2pkcs7 -nocrl -certfile " + shellQuoted(chain) +
                    " | openssl pkcs7 -print_certs -noout | grep '^subject'");
        EXPECT_EQ(subjects, subjectLine(pki.ecUser()) + subjectLine(pki.intermediate()));
    }
}

}  // namespace
}  // namespace tessaly::nss_test
