// Owners of a store handle and of a certificate context: each is released exactly once.
#pragma once

#include <utility>

#include "platform/certificate_services.h"

namespace tessaly {

class ScopedStore {
  public:
    ScopedStore(platform::CertificateServices& certs, platform::StoreHandle store)
        : certs_(certs), store_(store) {}
    ~ScopedStore() { close(); }
    ScopedStore(const ScopedStore&) = delete;
    ScopedStore& operator=(const ScopedStore&) = delete;

    platform::StoreHandle get() const { return store_; }
    explicit operator bool() const { return static_cast<bool>(store_); }
    void close() {
        if (store_) {
            certs_.closeStore(std::exchange(store_, {}), platform::cert::kCloseStoreCheckFlag);
        }
    }

  private:
    platform::CertificateServices& certs_;
    platform::StoreHandle store_;
};

class ScopedCert {
  public:
    ScopedCert(platform::CertificateServices& certs, platform::CertHandle cert)
        : certs_(certs), cert_(cert) {}
    ~ScopedCert() {
        if (cert_) {
            certs_.freeCertificate(cert_);
        }
    }
    ScopedCert(const ScopedCert&) = delete;
    ScopedCert& operator=(const ScopedCert&) = delete;

    platform::CertHandle get() const { return cert_; }
    explicit operator bool() const { return static_cast<bool>(cert_); }
    platform::CertHandle release() { return std::exchange(cert_, {}); }

  private:
    platform::CertificateServices& certs_;
    platform::CertHandle cert_;
};

}  // namespace tessaly
