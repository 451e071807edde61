// The reference server's side of a renewal: the form, the checks of the signed proof (each
// refusal with its own text), and the package it issues. Proofs are made here with OpenSSL's
// CMS signer, so the checks are tested apart from the tool's own signer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/x509_vfy.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "renewal.h"
#include "renewal_pki.h"

namespace tessaly::renewal_server {
namespace {

namespace fs = std::filesystem;
using ::testing::Optional;

std::string base64(std::string_view bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t at = 0;
    for (; at + 2 < bytes.size(); at += 3) {
        const auto b0 = static_cast<unsigned char>(bytes[at]);
        const auto b1 = static_cast<unsigned char>(bytes[at + 1]);
        const auto b2 = static_cast<unsigned char>(bytes[at + 2]);
        out += {kAlphabet[b0 >> 2], kAlphabet[((b0 & 3) << 4) | (b1 >> 4)],
                kAlphabet[((b1 & 15) << 2) | (b2 >> 6)], kAlphabet[b2 & 63]};
    }
    if (bytes.size() - at == 1) {
        const auto b0 = static_cast<unsigned char>(bytes[at]);
        out += {kAlphabet[b0 >> 2], kAlphabet[(b0 & 3) << 4], '=', '='};
    } else if (bytes.size() - at == 2) {
        const auto b0 = static_cast<unsigned char>(bytes[at]);
        const auto b1 = static_cast<unsigned char>(bytes[at + 1]);
        out += {kAlphabet[b0 >> 2], kAlphabet[((b0 & 3) << 4) | (b1 >> 4)],
                kAlphabet[(b1 & 15) << 2], '='};
    }
    return out;
}

// Percent-encodes every byte but letters and digits, as a form value.
std::string formEncode(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) != 0 && byte < 0x80) {
            out += c;
        } else {
            out += {'%', kHex[byte >> 4], kHex[byte & 15]};
        }
    }
    return out;
}

struct Signer {
    X509Owner certificate;
    KeyOwner key;
};

// A DER SignedData over `content`, content enclosed, no attributes, as the tool sends it.
std::string signedData(std::string_view content, const Signer& signer, const EVP_MD* digest) {
    BioOwner input(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    CmsOwner message(
        CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_PARTIAL | CMS_BINARY | CMS_NOSMIMECAP));
    requireOpenSsl(message != nullptr, "CMS");
    requireOpenSsl(CMS_add1_signer(message.get(), signer.certificate.get(), signer.key.get(),
                                   digest, CMS_NOATTR | CMS_BINARY) != nullptr,
                   "CMS signer");
    requireOpenSsl(CMS_final(message.get(), input.get(), nullptr, CMS_BINARY) == 1, "CMS final");
    const int length = i2d_CMS_ContentInfo(message.get(), nullptr);
    std::string der(static_cast<std::size_t>(length), '\0');
    auto* cursor = reinterpret_cast<unsigned char*>(der.data());
    i2d_CMS_ContentInfo(message.get(), &cursor);
    return der;
}

std::string form(std::string_view passwordCp932, std::string_view der) {
    return "passwd=" + formEncode(passwordCp932) + "&sendFile=" + formEncode(base64(der));
}

Signer issueUser(const std::string& commonName, X509* issuer, EVP_PKEY* issuerKey) {
    Signer made;
    made.key = generateKey(KeyType::Ec);
    const NameOwner name = makeName({{"O", "Elsewhere"}, {"CN", commonName}});
    CertificateRequest request;
    request.subject = name.get();
    request.subjectKey = made.key.get();
    request.issuer = issuer;
    request.issuerKey = issuerKey;
    request.notBefore = std::chrono::system_clock::now() - std::chrono::hours(24 * 400);
    request.notAfter = std::chrono::system_clock::now() - std::chrono::hours(24 * 30);
    request.extensions = issuer == nullptr ? caExtensions(true) : endUserExtensions();
    made.certificate = buildCertificate(request);
    return made;
}

// The PKI folder, made once per process, and signers the server must turn away.
class Environment {
  public:
    static Environment& instance() {
        static Environment environment;
        return environment;
    }
    ~Environment() {
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }

    RenewalPki pki;
    Signer expiredUser;
    Signer otherCaUser;   // issued by "Other Bank CA"
    Signer forgedCaUser;  // issued by a stranger calling itself "Corvane Banking Union CA"

  private:
    Environment() {
        std::string pattern = (fs::temp_directory_path() / "tessaly-verify-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        directory_ = pattern;
        makeRenewalPki(directory_, PkiOptions{KeyType::Ec});
        pki = loadRenewalPki(directory_);
        expiredUser = {certificateFromPem(pki.expiredUserPem), keyFromPem(pki.expiredUserKeyPem)};
        const Signer otherCa = issueUser("Other Bank CA", nullptr, nullptr);
        otherCaUser = issueUser("Someone", otherCa.certificate.get(), otherCa.key.get());
        const Signer forgedCa = issueUser("Corvane Banking Union CA", nullptr, nullptr);
        forgedCaUser = issueUser("Someone", forgedCa.certificate.get(), forgedCa.key.get());
    }
    fs::path directory_;
};

// Outstanding challenges as the server keeps them: each redeemed once.
struct Challenges {
    std::set<std::string> outstanding;
    std::function<bool(std::string_view)> redeemer() {
        return [this](std::string_view challenge) {
            return outstanding.erase(std::string(challenge)) == 1;
        };
    }
};

constexpr char kChallenge[] = "8F1C0A77D2E94B3C9A5E11D0C2B3A4F5";

class VerificationTest : public ::testing::Test {
  protected:
    explicit VerificationTest(
        const RenewalSettings& settings = renewalSettings(Environment::instance().pki))
        : env_(Environment::instance()), authority_(settings) {
        challenges_.outstanding = {kChallenge};
    }

    Environment& env_;
    RenewalAuthority authority_;
    Challenges challenges_;
};

struct OpenedPackage {
    KeyOwner key;
    X509Owner certificate;
    CertificateStackOwner authorities;
};

std::optional<OpenedPackage> openPackage(const std::string& package, const char* password) {
    const auto* cursor = reinterpret_cast<const unsigned char*>(package.data());
    Pkcs12Owner parsed(d2i_PKCS12(nullptr, &cursor, static_cast<long>(package.size())));
    if (!parsed) {
        ERR_clear_error();
        return std::nullopt;
    }
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    STACK_OF(X509)* authorities = nullptr;
    if (PKCS12_parse(parsed.get(), password, &key, &certificate, &authorities) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    return OpenedPackage{KeyOwner(key), X509Owner(certificate), CertificateStackOwner(authorities)};
}

TEST_F(VerificationTest, AGoodProofGetsANewCertificateForTheSameSubjectWithANewKey) {
    const RenewalOutcome outcome = authority_.renew(
        form("Renew-2024!", signedData(kChallenge, env_.expiredUser, EVP_sha256())),
        challenges_.redeemer());
    ASSERT_FALSE(outcome.refusal.has_value()) << refusalTextUtf8(*outcome.refusal);
    EXPECT_TRUE(challenges_.outstanding.empty()) << "the challenge is redeemed";

    EXPECT_FALSE(openPackage(outcome.package.text(), "Renew-2024"));
    const auto opened = openPackage(outcome.package.text(), "Renew-2024!");
    ASSERT_TRUE(opened.has_value());
    X509* renewed = opened->certificate.get();
    EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(renewed),
                            X509_get_subject_name(env_.expiredUser.certificate.get())),
              0);
    EXPECT_EQ(X509_check_private_key(renewed, opened->key.get()), 1);
    EXPECT_NE(EVP_PKEY_eq(opened->key.get(), env_.expiredUser.key.get()), 1);
    EXPECT_EQ(commonNameOf(X509_get_issuer_name(renewed)), "Corvane Banking Union CA G2");
    EXPECT_LT(X509_cmp_current_time(X509_get0_notBefore(renewed)), 0);
    EXPECT_GT(X509_cmp_current_time(X509_get0_notAfter(renewed)), 0);

    // The package carries the intermediate and the root, and the new certificate chains to
    // that root, now.
    ASSERT_EQ(sk_X509_num(opened->authorities.get()), 2);
    StoreOwner roots(X509_STORE_new());
    const X509Owner root = certificateFromPem(env_.pki.rootPem);
    ASSERT_EQ(X509_STORE_add_cert(roots.get(), root.get()), 1);
    StoreContextOwner context(X509_STORE_CTX_new());
    ASSERT_EQ(X509_STORE_CTX_init(context.get(), roots.get(), renewed, opened->authorities.get()),
              1);
    EXPECT_EQ(X509_verify_cert(context.get()), 1)
        << X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get()));
}

struct RefusalCase {
    const char* name;
    std::function<std::string(Environment&)> form;
    Refusal refusal;
    const char* text;  // UTF-8
};

class RefusalTest : public VerificationTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, IsRefusedWithItsOwnShiftJisTextAndTheChallengeKept) {
    const RenewalOutcome outcome = authority_.renew(GetParam().form(env_), challenges_.redeemer());
    ASSERT_THAT(outcome.refusal, Optional(GetParam().refusal));
    EXPECT_TRUE(outcome.package.text().empty());
    EXPECT_EQ(outcome.refusalShiftJis, utf8ToCp932(GetParam().text).value());
    EXPECT_EQ(challenges_.outstanding.count(kChallenge), 1u);
}

std::string tampered(std::string der) {
    const std::size_t at = der.find(kChallenge);
    der[at] = der[at] == '8' ? '9' : '8';
    return der;
}

INSTANTIATE_TEST_SUITE_P(
    Proofs, RefusalTest,
    ::testing::Values(
        RefusalCase{"TamperedContent",
                    [](Environment& env) {
                        return form(
                            "pw", tampered(signedData(kChallenge, env.expiredUser, EVP_sha256())));
                    },
                    Refusal::BadSignature, "署名を検証できませんでした。"},
        RefusalCase{"OtherChallenge",
                    [](Environment& env) {
                        return form("pw", signedData("0123456789ABCDEF0123456789ABCDEF",
                                                     env.expiredUser, EVP_sha256()));
                    },
                    Refusal::UnknownChallenge,
                    "検証データが一致しません。もう一度やり直してください。"},
        RefusalCase{"OtherIssuer",
                    [](Environment& env) {
                        return form("pw", signedData(kChallenge, env.otherCaUser, EVP_sha256()));
                    },
                    Refusal::WrongIssuer,
                    "この証明書は更新の対象ではありません（発行者が違います）。"},
        RefusalCase{"ForgedIssuerWithTheAcceptedName",
                    [](Environment& env) {
                        return form("pw", signedData(kChallenge, env.forgedCaUser, EVP_sha256()));
                    },
                    Refusal::WrongIssuer,
                    "この証明書は更新の対象ではありません（発行者が違います）。"},
        RefusalCase{"Sha1Digest",
                    [](Environment& env) {
                        return form("pw", signedData(kChallenge, env.expiredUser, EVP_sha1()));
                    },
                    Refusal::WrongDigest,
                    "署名のハッシュアルゴリズムが正しくありません（SHA-256 で署名してください）。"},
        RefusalCase{"NotASignedData",
                    [](Environment& env) { return form("pw", env.pki.expiredUserPem); },
                    Refusal::Malformed, "要求の形式が正しくありません。"},
        RefusalCase{"SendFileNotBase64",
                    [](Environment&) { return std::string("passwd=pw&sendFile=%21%21%21"); },
                    Refusal::Malformed, "要求の形式が正しくありません。"},
        RefusalCase{"NoPassword",
                    [](Environment& env) {
                        return form("pw", signedData(kChallenge, env.expiredUser, EVP_sha256()))
                            .substr(std::string("passwd=pw&").size());
                    },
                    Refusal::Malformed, "要求の形式が正しくありません。"},
        RefusalCase{"PasswordNotCodePage932",
                    [](Environment& env) {
                        return form("\x81", signedData(kChallenge, env.expiredUser, EVP_sha256()));
                    },
                    Refusal::Malformed, "要求の形式が正しくありません。"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(VerificationTest, AChallengeIsRedeemedOnlyOnce) {
    const std::string request = form("pw", signedData(kChallenge, env_.expiredUser, EVP_sha256()));
    EXPECT_FALSE(authority_.renew(request, challenges_.redeemer()).refusal.has_value());
    EXPECT_THAT(authority_.renew(request, challenges_.redeemer()).refusal,
                Optional(Refusal::UnknownChallenge));
}

TEST_F(VerificationTest, ACodePage932PasswordOpensThePackageAsItsUtf8Text) {
    // "ア x" typed by the user: code page 932 bytes 83 41 20 78 on the wire.
    const std::string request =
        "passwd=%83A+x&sendFile=" +
        formEncode(base64(signedData(kChallenge, env_.expiredUser, EVP_sha256())));
    const RenewalOutcome outcome = authority_.renew(request, challenges_.redeemer());
    ASSERT_FALSE(outcome.refusal.has_value());
    EXPECT_TRUE(openPackage(outcome.package.text(), "ア x").has_value());
    EXPECT_FALSE(openPackage(outcome.package.text(),
                             "\x83"
                             "A x")
                     .has_value());
}

class OverriddenSettingsTest : public VerificationTest {
  protected:
    OverriddenSettingsTest() : VerificationTest(overridden()) {}
    static RenewalSettings overridden() {
        RenewalSettings changed = renewalSettings(Environment::instance().pki);
        changed.packagePasswordOverride = "not-the-form";
        changed.newKeyType = KeyType::Rsa;
        return changed;
    }
};

TEST_F(OverriddenSettingsTest, ThePackageUsesTheOverridePasswordAndAnRsaKey) {
    const RenewalOutcome outcome = authority_.renew(
        form("pw", signedData(kChallenge, env_.expiredUser, EVP_sha256())), challenges_.redeemer());
    ASSERT_FALSE(outcome.refusal.has_value());
    EXPECT_FALSE(openPackage(outcome.package.text(), "pw").has_value());
    const auto opened = openPackage(outcome.package.text(), "not-the-form");
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(EVP_PKEY_get_base_id(opened->key.get()), EVP_PKEY_RSA);
    EXPECT_EQ(EVP_PKEY_get_bits(opened->key.get()), 2048);
}

TEST(FormDecoding, DecodesPercentEscapesAndPlusAndRejectsBrokenEscapes) {
    const std::string form = "passwd=a+b%2B%41%e3&sendFile=x%2Fy%3D&passwd=second";
    const auto password = formField(form, "passwd");
    ASSERT_TRUE(password.has_value());
    EXPECT_EQ(password->text(), "a b+A\xE3");
    EXPECT_EQ(formField(form, "sendFile")->text(), "x/y=");
    EXPECT_FALSE(formField(form, "send").has_value());
    EXPECT_FALSE(formField("passwd=%4", "passwd").has_value());
    EXPECT_FALSE(formField("passwd=%zz1", "passwd").has_value());
    EXPECT_EQ(formField("passwd=", "passwd")->text(), "");
}

TEST(Base64Decoding, TakesPaddedAndUnpaddedTextAndRejectsOtherCharacters) {
    EXPECT_THAT(base64Decode("YWJj"), Optional(std::string("abc")));
    EXPECT_THAT(base64Decode("YWI="), Optional(std::string("ab")));
    EXPECT_THAT(base64Decode("YQ"), Optional(std::string("a")));
    EXPECT_THAT(base64Decode(""), Optional(std::string()));
    EXPECT_FALSE(base64Decode("YW J").has_value());
    EXPECT_FALSE(base64Decode("Y").has_value());
}

}  // namespace
}  // namespace tessaly::renewal_server
