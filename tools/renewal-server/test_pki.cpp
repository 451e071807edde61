#include "test_pki.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace tessaly::testpki {
namespace {

template <class T, auto Release>
struct Releaser {
    void operator()(T* object) const { Release(object); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Releaser<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Releaser<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Releaser<BIO, BIO_free_all>>;

void require(bool condition, const char* what) {
    if (!condition) {
        throw std::runtime_error(std::string("test PKI: ") + what);
    }
}

PkeyPtr newKey() {
    PkeyPtr key(EVP_EC_gen("P-256"));
    require(key != nullptr, "key generation");
    return key;
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

std::string pemOfCertificate(X509* certificate) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    require(bio && PEM_write_bio_X509(bio.get(), certificate) == 1, "certificate PEM");
    return bioText(bio.get());
}

std::string keyPem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    require(
        bio && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "key PEM");
    return bioText(bio.get());
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    require(extension != nullptr, "extension");
    const int added = X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
    require(added == 1, "extension added");
}

// An unsigned certificate for `subjectKey` named `commonName`, issued by `issuer` (itself when
// null).
X509Ptr makeCertificate(const std::string& commonName, EVP_PKEY* subjectKey, X509* issuer,
                        std::chrono::seconds notBefore, std::chrono::seconds notAfter) {
    X509Ptr certificate(X509_new());
    require(certificate != nullptr, "certificate");
    X509_set_version(certificate.get(), X509_VERSION_3);
    unsigned char serial[16];
    require(RAND_bytes(serial, sizeof serial) == 1, "serial");
    serial[0] &= 0x7F;
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    require(number != nullptr, "serial number");
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
    BN_free(number);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Tessaly tests"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509_set_issuer_name(certificate.get(),
                         issuer != nullptr ? X509_get_subject_name(issuer) : name);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), static_cast<long>(notBefore.count()));
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), static_cast<long>(notAfter.count()));
    X509_set_pubkey(certificate.get(), subjectKey);
    return certificate;
}

}  // namespace

Profile localServer() {
    Profile profile;
    profile.commonName = "127.0.0.1";
    profile.dnsNames = {"localhost"};
    profile.ipAddresses = {"127.0.0.1"};
    return profile;
}

Authority::Authority(const std::string& commonName) {
    PkeyPtr key = newKey();
    X509Ptr certificate = makeCertificate(commonName, key.get(), nullptr, std::chrono::hours(-1),
                                          std::chrono::hours(24 * 7));
    addExtension(certificate.get(), certificate.get(), NID_basic_constraints, "critical,CA:TRUE");
    addExtension(certificate.get(), certificate.get(), NID_key_usage,
                 "critical,keyCertSign,cRLSign");
    addExtension(certificate.get(), certificate.get(), NID_subject_key_identifier, "hash");
    require(X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0, "CA signature");
    certificatePem_ = pemOfCertificate(certificate.get());
    key_ = key.release();
    certificate_ = certificate.release();
}

Authority::~Authority() {
    X509_free(certificate_);
    EVP_PKEY_free(key_);
}

Issued Authority::issue(const Profile& profile) const {
    PkeyPtr key = newKey();
    X509Ptr certificate = makeCertificate(profile.commonName, key.get(), certificate_,
                                          profile.notBefore, profile.notAfter);
    addExtension(certificate.get(), certificate_, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(certificate.get(), certificate_, NID_key_usage,
                 "critical,digitalSignature,keyEncipherment");
    addExtension(certificate.get(), certificate_, NID_ext_key_usage,
                 profile.client ? "clientAuth" : "serverAuth");
    addExtension(certificate.get(), certificate_, NID_authority_key_identifier, "keyid");
    std::string names;
    for (const std::string& dns : profile.dnsNames) {
        names += (names.empty() ? "DNS:" : ",DNS:") + dns;
    }
    for (const std::string& ip : profile.ipAddresses) {
        names += (names.empty() ? "IP:" : ",IP:") + ip;
    }
    if (!names.empty()) {
        addExtension(certificate.get(), certificate_, NID_subject_alt_name, names);
    }
    require(X509_sign(certificate.get(), key_, EVP_sha256()) > 0, "signature");
    return {pemOfCertificate(certificate.get()), keyPem(key.get())};
}

std::vector<std::uint8_t> Authority::subjectDer() const {
    const X509_NAME* name = X509_get_subject_name(certificate_);
    const int length = i2d_X509_NAME(name, nullptr);
    require(length > 0, "subject");
    std::vector<std::uint8_t> der(static_cast<std::size_t>(length));
    unsigned char* cursor = der.data();
    i2d_X509_NAME(name, &cursor);
    return der;
}

}  // namespace tessaly::testpki
