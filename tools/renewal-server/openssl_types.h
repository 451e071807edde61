// Owners of OpenSSL objects, and the small helpers the renewal server's parts share: PEM in and
// out, key generation, and building certificates.
#pragma once

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly::renewal_server {

template <class T, auto Release>
struct OpenSslReleaser {
    void operator()(T* object) const { Release(object); }
};
using BioOwner = std::unique_ptr<BIO, OpenSslReleaser<BIO, BIO_free_all>>;
using X509Owner = std::unique_ptr<X509, OpenSslReleaser<X509, X509_free>>;
using KeyOwner = std::unique_ptr<EVP_PKEY, OpenSslReleaser<EVP_PKEY, EVP_PKEY_free>>;
using NameOwner = std::unique_ptr<X509_NAME, OpenSslReleaser<X509_NAME, X509_NAME_free>>;
using CmsOwner =
    std::unique_ptr<CMS_ContentInfo, OpenSslReleaser<CMS_ContentInfo, CMS_ContentInfo_free>>;
using Pkcs12Owner = std::unique_ptr<PKCS12, OpenSslReleaser<PKCS12, PKCS12_free>>;
using StoreOwner = std::unique_ptr<X509_STORE, OpenSslReleaser<X509_STORE, X509_STORE_free>>;
using StoreContextOwner =
    std::unique_ptr<X509_STORE_CTX, OpenSslReleaser<X509_STORE_CTX, X509_STORE_CTX_free>>;

inline void freeCertificateStack(STACK_OF(X509) * stack) {
    sk_X509_pop_free(stack, X509_free);
}
using CertificateStackOwner =
    std::unique_ptr<STACK_OF(X509), OpenSslReleaser<STACK_OF(X509), freeCertificateStack>>;

enum class KeyType { Ec, Rsa };  // EC P-256 or RSA 2048

// Throws std::runtime_error naming `what` (and OpenSSL's last error) when `condition` is false.
void requireOpenSsl(bool condition, const char* what);

KeyOwner generateKey(KeyType type);
X509Owner certificateFromPem(std::string_view pem);
// Every certificate of a PEM text, in order.
std::vector<X509Owner> certificatesFromPem(std::string_view pem);
KeyOwner keyFromPem(std::string_view pem);
std::string pemOf(X509* certificate);
std::string pemOf(EVP_PKEY* key);  // PKCS#8, not encrypted
std::vector<unsigned char> derOf(X509* certificate);

// "C=JP, O=..., CN=..." parts in order, as UTF-8.
NameOwner makeName(const std::vector<std::pair<std::string, std::string>>& parts);
// The common name of `name`, UTF-8; empty when it has none.
std::string commonNameOf(const X509_NAME* name);

struct CertificateRequest {
    const X509_NAME* subject = nullptr;
    EVP_PKEY* subjectKey = nullptr;
    X509* issuer = nullptr;  // none: self-signed
    EVP_PKEY* issuerKey = nullptr;
    std::chrono::system_clock::time_point notBefore;
    std::chrono::system_clock::time_point notAfter;
    // (extension name, value) as OpenSSL's configuration syntax writes them, e.g.
    // ("basicConstraints", "critical,CA:TRUE"); "authorityKeyIdentifier" refers to `issuer`.
    std::vector<std::pair<std::string, std::string>> extensions;
};
// A certificate with a random positive serial number, signed with SHA-256.
X509Owner buildCertificate(const CertificateRequest& request);

// Extensions of a CA certificate, and of an end-user certificate for signing and TLS clients.
std::vector<std::pair<std::string, std::string>> caExtensions(bool selfSigned);
std::vector<std::pair<std::string, std::string>> endUserExtensions();

}  // namespace tessaly::renewal_server
