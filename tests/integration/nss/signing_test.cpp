// The signed proof made by the real signer over the NSS services, checked by OpenSSL.
#include <algorithm>

#include "nss_test_support.h"
#include "platform/last_error.h"
#include "renewal/signed_proof.h"

namespace tessaly::nss_test {
namespace {

namespace cert = platform::cert;

// The text with every run of white space made one blank, for matching openssl's print-out.
std::string collapsed(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const bool blank = c == ' ' || c == '\n' || c == '\r' || c == '\t';
        if (!blank) {
            out += c;
        } else if (!out.empty() && out.back() != ' ') {
            out += ' ';
        }
    }
    return out;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

class SigningTest : public NssDatabaseTest {
  protected:
    // Signs `content` with `user` (imported with its chain) as the renewal job does; the DER
    // message, or nothing when the signer returned 0.
    std::optional<Bytes> signAs(const TestCertificate& user, const Bytes& package,
                                std::string_view content) {
        EXPECT_EQ(importPackage(package, kPackagePassword), 1);
        const platform::CertHandle chosen = findInMy(user.der);
        EXPECT_TRUE(chosen);
        platform::NarrowString signature;
        const int result = signVerificationData(services(), chosen, content, signature);
        services().freeCertificate(chosen);
        if (result != 1) {
            EXPECT_TRUE(signature.empty());
            return std::nullopt;
        }
        return base64Decode(std::string_view(signature.data(), signature.size()));
    }

    fs::path write(const std::string& name, const Bytes& bytes) {
        const fs::path path = work_.path() / name;
        writeFile(path, bytes);
        return path;
    }

    TemporaryDirectory work_;
};

struct KeyCase {
    const char* name;
    const TestCertificate& (*user)();
    const Bytes& (*package)();
    const char* signatureAlgorithm;
};

class SigningKeyTest : public SigningTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(SigningKeyTest, OpenSslVerifiesTheSignedProof) {
    Pki& pki = Pki::instance();
    const std::string content = "S2NZ7pQ:challenge/2024+renewal";
    const auto message = signAs(GetParam().user(), GetParam().package(), content);
    ASSERT_TRUE(message);
    const fs::path signedFile = write("signed.der", *message);

    // Signature, enclosed content and the signer's chain (the expired user included).
    const fs::path verified = work_.path() / "content.out";
    const fs::path authorities = work_.path() / "authorities.pem";
    writeFile(authorities, toText(readFile(pki.root().certificate)) +
                               toText(readFile(pki.intermediate().certificate)));
    mustRun("openssl cms -verify -binary -inform DER -in " + shellQuoted(signedFile) + " -CAfile " +
            shellQuoted(authorities) + " -purpose any -no_check_time -out " +
            shellQuoted(verified));
    EXPECT_EQ(toText(readFile(verified)), content);

    // Canonical DER: OpenSSL's re-encoding gives the same bytes.
    const fs::path reencoded = work_.path() / "reencoded.der";
    mustRun("openssl cms -cmsout -inform DER -in " + shellQuoted(signedFile) +
            " -outform DER -out " + shellQuoted(reencoded));
    EXPECT_EQ(readFile(reencoded), *message);

    const std::string printed =
        collapsed(mustRun("openssl cms -cmsout -print -inform DER -in " + shellQuoted(signedFile)));
    EXPECT_NE(printed.find("digestAlgorithms: algorithm: sha256 (2.16.840.1.101.3.4.2.1)"),
              std::string::npos);
    EXPECT_EQ(occurrences(printed, "d.certificate:"), 1u);
    // ... and that one is the signer's.
    const fs::path carried = work_.path() / "carried.pem";
    mustRun("openssl pkcs7 -inform DER -in " + shellQuoted(signedFile) + " -print_certs -out " +
            shellQuoted(carried));
    EXPECT_EQ(base64Decode(mustRun("openssl x509 -in " + shellQuoted(carried) +
                                   " -outform DER | openssl base64 -A")),
              GetParam().user().der);
    EXPECT_NE(printed.find("crls: <ABSENT>"), std::string::npos);
    EXPECT_EQ(occurrences(printed, "d.issuerAndSerialNumber:"), 1u);
    EXPECT_NE(printed.find("signedAttrs: <ABSENT>"), std::string::npos);
    EXPECT_NE(printed.find("unsignedAttrs: <ABSENT>"), std::string::npos);
    EXPECT_NE(printed.find(std::string("signatureAlgorithm: algorithm: ") +
                           GetParam().signatureAlgorithm),
              std::string::npos)
        << printed;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, SigningKeyTest,
    ::testing::Values(
        KeyCase{"Rsa", []() -> const TestCertificate& { return Pki::instance().rsaUser(); },
                []() -> const Bytes& {
                    return Pki::instance().chainPackage(PackageFlavour::OpenSsl, kPackagePassword);
                },
                "rsaEncryption"},
        KeyCase{"Ec", []() -> const TestCertificate& { return Pki::instance().ecUser(); },
                []() -> const Bytes& { return Pki::instance().ecChainPackage(); },
                "ecdsa-with-SHA256"}),
    [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST_F(SigningTest, OnlyTheBytesBeforeANulAreSigned) {
    const std::string content("0:abc\0def", 9);
    const auto message =
        signAs(Pki::instance().ecUser(), Pki::instance().ecChainPackage(), content);
    ASSERT_TRUE(message);
    const fs::path verified = work_.path() / "content.out";
    const fs::path signedFile = write("signed.der", *message);
    mustRun("openssl cms -verify -binary -noverify -inform DER -in " + shellQuoted(signedFile) +
            " -out " + shellQuoted(verified));
    EXPECT_EQ(toText(readFile(verified)), "0:abc");
}

TEST_F(SigningTest, SizeQueryGivesRoomForTheMessage) {
    ASSERT_EQ(importPackage(Pki::instance().ecChainPackage(), kPackagePassword), 1);
    const platform::CertHandle signer = findInMy(Pki::instance().ecUser().der);
    ASSERT_TRUE(signer);
    platform::SignMessageParams params;
    params.messageEncodingType = cert::kPkcs7Encoding;
    params.signingCertificate = signer;
    params.hashAlgorithmOid = cert::kOidSha256;
    params.messageCertificates = {signer};
    const Bytes content = {'x', 'y', 'z'};

    std::uint32_t size = 0;
    ASSERT_TRUE(services().signMessage(params, false, content, nullptr, size));
    // ECDSA signatures vary in length: every message must fit the size asked for.
    for (int i = 0; i < 20; ++i) {
        Bytes buffer(size);
        std::uint32_t length = size;
        ASSERT_TRUE(services().signMessage(params, false, content, buffer.data(), length));
        EXPECT_LE(length, size);
        EXPECT_GE(length + 8, size);
    }

    Bytes small(size / 2);
    std::uint32_t length = static_cast<std::uint32_t>(small.size());
    EXPECT_FALSE(services().signMessage(params, false, content, small.data(), length));
    EXPECT_EQ(platform::lastError(), 234u);  // more data
    EXPECT_GT(length, small.size());
    services().freeCertificate(signer);
}

TEST_F(SigningTest, CertificateWithoutKeyCannotSign) {
    ASSERT_EQ(importPackage(Pki::instance().ecChainPackage(), kPackagePassword), 1);
    const platform::StoreHandle ca = services().openSystemStore(cert::kStoreCa);
    const platform::CertHandle intermediate = services().enumCertificatesInStore(ca, {});
    ASSERT_TRUE(intermediate);
    platform::NarrowString signature;
    EXPECT_EQ(createSignedData(services(), intermediate, "data", signature), 0);
    EXPECT_EQ(platform::lastError(), cert::kNteBadKeyset);
    EXPECT_TRUE(signature.empty());
    // Nor is it found in "MY", where the signer looks for it.
    EXPECT_EQ(signVerificationData(services(), intermediate, "data", signature), 0);
    services().freeCertificate(intermediate);
    services().closeStore(ca, cert::kCloseStoreCheckFlag);
}

TEST_F(SigningTest, CertificateDeletedAfterItWasPickedCannotSign) {
    Pki& pki = Pki::instance();
    ASSERT_EQ(importPackage(pki.ecChainPackage(), kPackagePassword), 1);
    const platform::CertHandle chosen = findInMy(pki.ecUser().der);
    ASSERT_TRUE(chosen);

    // Another program deletes it from the database (its key stays).
    std::string nickname;
    for (const auto& [name, trust] : certutilListing()) {
        if (trust == "u,u,u") {
            nickname = name;
        }
    }
    ASSERT_FALSE(nickname.empty());
    mustRun("certutil -D -n '" + nickname + "' -d " +
            shellQuoted("sql:" + databaseDirectory().string()));

    platform::NarrowString signature;
    EXPECT_EQ(signVerificationData(services(), chosen, "0:data", signature), 0);
    EXPECT_TRUE(signature.empty());
    services().freeCertificate(chosen);
}

}  // namespace
}  // namespace tessaly::nss_test
