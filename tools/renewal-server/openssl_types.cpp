#include "openssl_types.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace tessaly::renewal_server {

void requireOpenSsl(bool condition, const char* what) {
    if (condition) {
        return;
    }
    std::string message = std::string("OpenSSL: ") + what;
    if (const unsigned long code = ERR_peek_last_error(); code != 0) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        message += std::string(" (") + text + ")";
    }
    ERR_clear_error();
    throw std::runtime_error(message);
}

namespace {

BioOwner readBio(std::string_view text) {
    BioOwner bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    requireOpenSsl(bio != nullptr, "memory BIO");
    return bio;
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

KeyOwner generateKey(KeyType type) {
    KeyOwner key(type == KeyType::Rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"));
    requireOpenSsl(key != nullptr, "key generation");
    return key;
}

X509Owner certificateFromPem(std::string_view pem) {
    BioOwner bio = readBio(pem);
    X509Owner certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    requireOpenSsl(certificate != nullptr, "certificate PEM");
    return certificate;
}

std::vector<X509Owner> certificatesFromPem(std::string_view pem) {
    BioOwner bio = readBio(pem);
    std::vector<X509Owner> certificates;
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        certificates.emplace_back(certificate);
    }
    ERR_clear_error();  // the end of the text
    return certificates;
}

KeyOwner keyFromPem(std::string_view pem) {
    BioOwner bio = readBio(pem);
    KeyOwner key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    requireOpenSsl(key != nullptr, "key PEM");
    return key;
}

std::string pemOf(X509* certificate) {
    BioOwner bio(BIO_new(BIO_s_mem()));
    requireOpenSsl(bio && PEM_write_bio_X509(bio.get(), certificate) == 1, "certificate PEM");
    return bioText(bio.get());
}

std::string pemOf(EVP_PKEY* key) {
    BioOwner bio(BIO_new(BIO_s_mem()));
    requireOpenSsl(
        bio && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "key PEM");
    return bioText(bio.get());
}

std::vector<unsigned char> derOf(X509* certificate) {
    const int length = i2d_X509(certificate, nullptr);
    requireOpenSsl(length > 0, "certificate DER");
    std::vector<unsigned char> der(static_cast<std::size_t>(length));
    unsigned char* cursor = der.data();
    i2d_X509(certificate, &cursor);
    return der;
}

NameOwner makeName(const std::vector<std::pair<std::string, std::string>>& parts) {
    NameOwner name(X509_NAME_new());
    requireOpenSsl(name != nullptr, "name");
    for (const auto& [field, value] : parts) {
        requireOpenSsl(X509_NAME_add_entry_by_txt(
                           name.get(), field.c_str(), MBSTRING_UTF8,
                           reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0) == 1,
                       "name entry");
    }
    return name;
}

std::string commonNameOf(const X509_NAME* name) {
    const int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (index < 0) {
        return {};
    }
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, data);
    if (length < 0) {
        ERR_clear_error();
        return {};
    }
    std::string text(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    return text;
}

X509Owner buildCertificate(const CertificateRequest& request) {
    X509Owner certificate(X509_new());
    requireOpenSsl(certificate != nullptr, "certificate");
    X509_set_version(certificate.get(), X509_VERSION_3);
    unsigned char serial[16];
    requireOpenSsl(RAND_bytes(serial, sizeof serial) == 1, "serial");
    serial[0] = static_cast<unsigned char>((serial[0] & 0x7F) | 0x01);
    {
        std::unique_ptr<BIGNUM, OpenSslReleaser<BIGNUM, BN_free>> number(
            BN_bin2bn(serial, sizeof serial, nullptr));
        requireOpenSsl(
            number && BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(certificate.get())),
            "serial number");
    }
    requireOpenSsl(X509_set_subject_name(certificate.get(), request.subject) == 1, "subject");
    X509* issuer = request.issuer != nullptr ? request.issuer : certificate.get();
    requireOpenSsl(X509_set_issuer_name(certificate.get(), request.issuer != nullptr
                                                               ? X509_get_subject_name(issuer)
                                                               : request.subject) == 1,
                   "issuer");
    const auto seconds = [](std::chrono::system_clock::time_point when) {
        return static_cast<time_t>(std::chrono::system_clock::to_time_t(when));
    };
    requireOpenSsl(
        ASN1_TIME_set(X509_getm_notBefore(certificate.get()), seconds(request.notBefore)) &&
            ASN1_TIME_set(X509_getm_notAfter(certificate.get()), seconds(request.notAfter)),
        "validity");
    requireOpenSsl(X509_set_pubkey(certificate.get(), request.subjectKey) == 1, "public key");
    for (const auto& [extensionName, value] : request.extensions) {
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, issuer, certificate.get(), nullptr, nullptr, 0);
        X509_EXTENSION* extension =
            X509V3_EXT_nconf(nullptr, &context, extensionName.c_str(), value.c_str());
        requireOpenSsl(extension != nullptr, "extension");
        const int added = X509_add_ext(certificate.get(), extension, -1);
        X509_EXTENSION_free(extension);
        requireOpenSsl(added == 1, "extension added");
    }
    EVP_PKEY* signingKey = request.issuerKey != nullptr ? request.issuerKey : request.subjectKey;
    requireOpenSsl(X509_sign(certificate.get(), signingKey, EVP_sha256()) > 0, "signature");
    return certificate;
}

std::vector<std::pair<std::string, std::string>> caExtensions(bool selfSigned) {
    std::vector<std::pair<std::string, std::string>> extensions = {
        {"basicConstraints", "critical,CA:TRUE"},
        {"keyUsage", "critical,keyCertSign,cRLSign"},
        {"subjectKeyIdentifier", "hash"},
    };
    if (!selfSigned) {
        extensions.emplace_back("authorityKeyIdentifier", "keyid");
    }
    return extensions;
}

std::vector<std::pair<std::string, std::string>> endUserExtensions() {
    return {
        {"basicConstraints", "CA:FALSE"},
        {"keyUsage", "critical,digitalSignature,keyEncipherment"},
        {"extendedKeyUsage", "clientAuth,emailProtection"},
        {"subjectKeyIdentifier", "hash"},
        {"authorityKeyIdentifier", "keyid"},
    };
}

}  // namespace tessaly::renewal_server
