#include "platform/curl/tls.h"

#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>

#include <string_view>

#include "platform/internet_services.h"

namespace tessaly::platform::curl {
namespace {

bool looksLikePem(const std::uint8_t* data, std::size_t size) {
    constexpr std::string_view kMarker = "-----BEGIN";
    return std::string_view(reinterpret_cast<const char*>(data), size).find(kMarker) !=
           std::string_view::npos;
}

BioPtr memoryBio(const std::uint8_t* data, std::size_t size) {
    return BioPtr(BIO_new_mem_buf(data, static_cast<int>(size)));
}

// Every certificate in `data`: all PEM blocks in order, or one DER certificate.
std::vector<X509Ptr> readCertificates(const std::uint8_t* data, std::size_t size) {
    std::vector<X509Ptr> out;
    if (size == 0 || size > static_cast<std::size_t>(INT32_MAX)) {
        return out;
    }
    if (looksLikePem(data, size)) {
        const BioPtr bio = memoryBio(data, size);
        while (bio) {
            X509Ptr certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
            if (!certificate) {
                break;
            }
            out.push_back(std::move(certificate));
        }
    } else {
        const unsigned char* cursor = data;
        X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(size)));
        if (certificate) {
            out.push_back(std::move(certificate));
        }
    }
    ERR_clear_error();  // the end of the PEM input leaves an error behind
    return out;
}

PkeyPtr readPrivateKey(const SecureBytes& key, const NarrowString& password) {
    if (key.empty() || key.size() > static_cast<std::size_t>(INT32_MAX)) {
        return nullptr;
    }
    EVP_PKEY* raw = nullptr;
    using DecoderPtr =
        std::unique_ptr<OSSL_DECODER_CTX, Releaser<OSSL_DECODER_CTX, OSSL_DECODER_CTX_free>>;
    const DecoderPtr decoder(OSSL_DECODER_CTX_new_for_pkey(&raw, nullptr, nullptr, nullptr,
                                                           EVP_PKEY_KEYPAIR, nullptr, nullptr));
    if (!decoder) {
        return nullptr;
    }
    if (!password.empty() &&
        OSSL_DECODER_CTX_set_passphrase(decoder.get(),
                                        reinterpret_cast<const unsigned char*>(password.data()),
                                        password.size()) != 1) {
        return nullptr;
    }
    const unsigned char* cursor = key.data();
    std::size_t left = key.size();
    const bool decoded = OSSL_DECODER_from_data(decoder.get(), &cursor, &left) == 1;
    PkeyPtr out(raw);
    ERR_clear_error();
    return decoded ? std::move(out) : nullptr;
}

int indexForEvents() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// Called by OpenSSL when the server asks for a client certificate and the context has none.
// Records the request and answers with no certificate.
int onClientCertificateRequested(SSL* ssl, X509** /*certificate*/, EVP_PKEY** /*key*/) noexcept {
    auto* events =
        static_cast<HandshakeEvents*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), indexForEvents()));
    if (events == nullptr) {
        return 0;
    }
    events->clientCertificateRequested = true;
    events->acceptedIssuers.clear();
    try {
        if (const STACK_OF(X509_NAME)* names = SSL_get_client_CA_list(ssl)) {
            for (int i = 0; i < sk_X509_NAME_num(names); ++i) {
                const X509_NAME* name = sk_X509_NAME_value(names, i);
                const int length = i2d_X509_NAME(name, nullptr);
                if (length <= 0) {
                    continue;
                }
                std::vector<std::uint8_t> der(static_cast<std::size_t>(length));
                unsigned char* cursor = der.data();
                i2d_X509_NAME(name, &cursor);
                events->acceptedIssuers.push_back(std::move(der));
            }
        }
    } catch (...) {
        events->acceptedIssuers.clear();  // the dialog then offers every certificate
    }
    return 0;
}

}  // namespace

TrustStore::TrustStore(const std::string& systemBundle, const std::string& systemDirectory,
                       const std::vector<std::string>& extra)
    : store_(X509_STORE_new()) {
    if (store_ == nullptr) {
        return;
    }
    if (!systemBundle.empty()) {
        X509_STORE_load_file(store_, systemBundle.c_str());
    }
    if (!systemDirectory.empty()) {
        X509_STORE_load_path(store_, systemDirectory.c_str());
    }
    for (const std::string& entry : extra) {
        for (const X509Ptr& certificate :
             readCertificates(reinterpret_cast<const std::uint8_t*>(entry.data()), entry.size())) {
            // A certificate already in the store is no error worth reporting.
            X509_STORE_add_cert(store_, certificate.get());
            ++extraCount_;
        }
    }
    ERR_clear_error();
}

TrustStore::~TrustStore() {
    X509_STORE_free(store_);
}

void TrustStore::installIn(SSL_CTX* context) const {
    if (store_ != nullptr) {
        SSL_CTX_set1_cert_store(context, store_);
    }
}

std::shared_ptr<const ClientIdentity> ClientIdentity::load(const ClientCertificate& choice) {
    std::vector<X509Ptr> certificates =
        readCertificates(choice.certificate.data(), choice.certificate.size());
    if (certificates.empty()) {
        return nullptr;
    }
    PkeyPtr key = readPrivateKey(choice.privateKey, choice.keyPassword);
    if (!key || X509_check_private_key(certificates.front().get(), key.get()) != 1) {
        ERR_clear_error();
        return nullptr;
    }
    auto identity = std::shared_ptr<ClientIdentity>(new ClientIdentity());
    identity->certificate_ = std::move(certificates.front());
    for (std::size_t i = 1; i < certificates.size(); ++i) {
        identity->chain_.push_back(std::move(certificates[i]));
    }
    identity->key_ = std::move(key);
    return identity;
}

bool ClientIdentity::installIn(SSL_CTX* context) const {
    if (SSL_CTX_use_certificate(context, certificate_.get()) != 1 ||
        SSL_CTX_use_PrivateKey(context, key_.get()) != 1) {
        ERR_clear_error();
        return false;
    }
    for (const X509Ptr& certificate : chain_) {
        if (SSL_CTX_add1_chain_cert(context, certificate.get()) != 1) {
            ERR_clear_error();
            return false;
        }
    }
    return true;
}

bool prepareContext(SSL_CTX* context, const TrustStore& trust, const ClientIdentity* identity,
                    HandshakeEvents& events) {
    trust.installIn(context);
    if (SSL_CTX_set_ex_data(context, indexForEvents(), &events) != 1) {
        return false;
    }
    SSL_CTX_set_client_cert_cb(context, onClientCertificateRequested);
    // Records are decrypted in place; the answers' plaintext (the package) is zeroed once read
    // out and when the record buffer is freed, instead of lingering in freed memory.
    SSL_CTX_set_options(context, SSL_OP_CLEANSE_PLAINTEXT);
    return identity == nullptr || identity->installIn(context);
}

std::uint32_t certificateError(long verifyResult) {
    switch (verifyResult) {
        // curl starts from "not verified" (1) and checks the name itself after a handshake whose
        // chain verified; a failure there leaves 1 or X509_V_OK behind.
        case X509_V_OK:
        case X509_V_ERR_UNSPECIFIED:
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return inet::kErrorSecCertCnInvalid;
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return inet::kErrorSecCertDateInvalid;
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
            return inet::kTrustCertSignature;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_INVALID_CA:
        case X509_V_ERR_CERT_UNTRUSTED:
        case X509_V_ERR_CERT_REJECTED:
            return inet::kErrorInvalidCa;
        default:
            return inet::kErrorSecureFailure;
    }
}

}  // namespace tessaly::platform::curl
