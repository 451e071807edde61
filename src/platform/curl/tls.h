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

// Certificates trusted besides the system's CA store. Immutable once made, so shared freely.
class TrustAnchors {
  public:
    // Each entry PEM (one or more certificates) or DER; unreadable entries are skipped.
    explicit TrustAnchors(const std::vector<std::string>& certificates);

    // Adds the anchors to the context's certificate store.
    void addTo(SSL_CTX* context) const;
    std::size_t size() const { return certificates_.size(); }

  private:
    std::vector<X509Ptr> certificates_;
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

// Prepares a new TLS context: extra anchors, the chosen identity (may be null), and a callback
// that records a server's request for a client certificate in `events`. `events` must outlive
// the context.
bool prepareContext(SSL_CTX* context, const TrustAnchors& anchors, const ClientIdentity* identity,
                    HandshakeEvents& events);

// The error number for a failed server verification, from the verify result curl reports.
std::uint32_t certificateError(long verifyResult);

}  // namespace tessaly::platform::curl
