// The TLS side of the curl services, on OpenSSL (the back end of the libcurl we link): extra
// trust anchors, the client certificate the user chose, and what a handshake tells us.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/curl/scoped_types.h"
#include "platform/internet_prompts.h"

namespace tessaly::platform::curl {

// The trust anchors of every TLS connection: the system's CA store (curl's default bundle and
// directory) plus the certificates handed in. Made once and shared by all connections, so
// the system bundle is read once, not at every handshake.
class TrustStore {
  public:
    // Each entry of `extra` PEM (one or more certificates) or DER; unreadable entries are
    // skipped. A missing system bundle or directory leaves only the others.
    TrustStore(const std::string& systemBundle, const std::string& systemDirectory,
               const std::vector<std::string>& extra);
    ~TrustStore();
    TrustStore(const TrustStore&) = delete;
    TrustStore& operator=(const TrustStore&) = delete;

    // Makes the context verify against this store.
    void installIn(SSL_CTX* context) const;
    std::size_t extraCount() const { return extraCount_; }

  private:
    X509_STORE* store_ = nullptr;
    std::size_t extraCount_ = 0;
};

// A client certificate with its key, ready for the TLS client.
class ClientIdentity {
  public:
    // Reads the user's choice; nothing when the certificate or key cannot be read or the key
    // does not belong to the certificate.
    static std::shared_ptr<const ClientIdentity> load(const ClientCertificate& choice);

    // Makes the context present this identity. False when OpenSSL refuses it.
    bool installIn(SSL_CTX* context) const;

  private:
    X509Ptr certificate_;
    std::vector<X509Ptr> chain_;
    PkeyPtr key_;
};

// What the handshakes under one root reported: whether the server asked for a client
// certificate, and which issuers it named. Lives as long as the root's connections.
struct HandshakeEvents {
    bool clientCertificateRequested = false;
    std::vector<std::vector<std::uint8_t>> acceptedIssuers;

    void reset() {
        clientCertificateRequested = false;
        acceptedIssuers.clear();
    }
};

// Prepares a new TLS context: the trust store, the chosen identity (may be null), and a
// callback that records a server's request for a client certificate in `events`. `events`
// must outlive the context.
bool prepareContext(SSL_CTX* context, const TrustStore& trust, const ClientIdentity* identity,
                    HandshakeEvents& events);

// The error number for a failed server verification, from the verify result curl reports.
std::uint32_t certificateError(long verifyResult);

}  // namespace tessaly::platform::curl
