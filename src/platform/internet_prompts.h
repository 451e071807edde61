// The questions the Internet services put to the user while a request is under way: proxy
// credentials (error dialog 12014) and a client certificate (error dialog 12044). The UI
// answers them on its own thread; tests answer them with a double. Both are called on the
// thread that runs the request, and may block until the user has answered.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/secure_memory.h"

namespace tessaly::platform {

struct ProxyCredentialsRequest {
    std::u16string proxy;   // "address:port" of the proxy that asked
    std::u16string server;  // "host:port" the request is for
};

struct ProxyCredentials {
    WideString user;
    WideString password;
};

struct ClientCertificateRequest {
    std::u16string server;  // "host:port" that asked for a certificate
    // DER-encoded names of the issuers the server accepts; empty when it named none.
    std::vector<std::vector<std::uint8_t>> acceptedIssuers;
};

// A certificate and its private key for the TLS client, held in memory only.
struct ClientCertificate {
    // DER, or PEM; PEM may carry the issuing certificates after the certificate itself.
    SecureBytes certificate;
    // PKCS#8 (or a traditional key), DER or PEM, plain or encrypted with `keyPassword`.
    SecureBytes privateKey;
    NarrowString keyPassword;
};

class InternetPrompts {
  public:
    virtual ~InternetPrompts() = default;

    // No value: the user cancelled.
    virtual std::optional<ProxyCredentials> askProxyCredentials(
        const ProxyCredentialsRequest& request) = 0;
    virtual std::optional<ClientCertificate> chooseClientCertificate(
        const ClientCertificateRequest& request) = 0;
};

}  // namespace tessaly::platform
