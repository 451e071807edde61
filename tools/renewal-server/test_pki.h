// A throwaway PKI for tests and the demo, made at run time with OpenSSL: a CA that issues
// server and client certificates (EC P-256, SHA-256), in PEM.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace tessaly::testpki {

struct Issued {
    std::string certificate;  // PEM
    std::string privateKey;   // PEM, PKCS#8, not encrypted
};

struct Profile {
    std::string commonName;
    std::vector<std::string> dnsNames;
    std::vector<std::string> ipAddresses;
    // Validity, relative to now.
    std::chrono::seconds notBefore = std::chrono::hours(-1);
    std::chrono::seconds notAfter = std::chrono::hours(24);
    bool client = false;  // extended key usage clientAuth instead of serverAuth
};

// A server certificate for 127.0.0.1 and localhost.
Profile localServer();

class Authority {
  public:
    explicit Authority(const std::string& commonName);
    ~Authority();
    Authority(const Authority&) = delete;
    Authority& operator=(const Authority&) = delete;

    Issued issue(const Profile& profile) const;
    const std::string& certificatePem() const { return certificatePem_; }
    // The DER encoding of the CA's subject name.
    std::vector<std::uint8_t> subjectDer() const;

  private:
    EVP_PKEY* key_ = nullptr;
    X509* certificate_ = nullptr;
    std::string certificatePem_;
};

}  // namespace tessaly::testpki
