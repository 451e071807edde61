// The renewal itself, as the reference server does it for the second request of an attempt:
// decode the form "passwd=...&sendFile=...", verify the signed proof, issue a new certificate
// for the same subject with a new key, and pack it as PKCS#12 under the form's password.
//
// The proof is a DER PKCS#7 SignedData carried in base64. It is accepted when, in this order:
// it parses as SignedData with its content enclosed and one signer; the signer's digest is
// SHA-256; the signature verifies with the signer certificate the message carries; that
// certificate was issued by a CA with one of the accepted names and chains to one of the
// accepted CA certificates (expiry is not looked at: the signer is expected to have expired);
// and the enclosed content is a challenge this server issued and has not yet redeemed. Each
// failed check gets its own Japanese refusal text in Shift_JIS.
//
// The password arrives as code page 932 bytes. OpenSSL (1.1.0 and later) takes a PKCS#12
// password as UTF-8 and turns it into the BMPString its key derivation and MAC work on, which
// is what a client hands its own PKCS#12 decoder from the typed text. So the bytes are
// converted from CP932 to UTF-8 with iconv; bytes that are not valid CP932 make the request
// malformed. An ASCII password is the same bytes in both.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "openssl_types.h"

namespace tessaly::renewal_server {

// A std::string whose bytes are zeroed when it goes; give it its final size up front (a string
// that grows leaves its old block behind unwiped).
class SecretText {
  public:
    SecretText() = default;
    explicit SecretText(std::string text) : text_(std::move(text)) {}
    ~SecretText();
    SecretText(SecretText&& other) noexcept : text_(std::move(other.text_)) { other.clear(); }
    SecretText& operator=(SecretText&& other) noexcept;
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;

    const std::string& text() const { return text_; }
    std::string& text() { return text_; }
    void clear();

  private:
    std::string text_;
};

enum class Refusal {
    Malformed,         // no form, no fields, not base64, not a SignedData with enclosed content
    WrongDigest,       // the signer's digest is not SHA-256
    BadSignature,      // the signature does not verify
    WrongIssuer,       // the signer was not issued by an accepted CA
    UnknownChallenge,  // the signed content is no challenge this server has outstanding
    NotIssued,         // the server could not make the certificate or the package
};
// The refusal's text, UTF-8 and as sent (Shift_JIS).
std::string_view refusalTextUtf8(Refusal refusal);
std::string refusalText(Refusal refusal);

// UTF-8 to code page 932, and back; nullopt when the input does not convert.
std::optional<std::string> utf8ToCp932(std::string_view utf8);
std::optional<SecretText> cp932ToUtf8(std::string_view cp932);

// application/x-www-form-urlencoded: "%XX" decoded, "+" a blank. nullopt for a bad escape.
std::optional<SecretText> formValueDecode(std::string_view value);
// The decoded value of the first field `name` of a form; nullopt when absent or undecodable.
std::optional<SecretText> formField(std::string_view form, std::string_view name);
// Standard base64 (RFC 4648, padding optional, no other characters); nullopt when invalid.
std::optional<std::string> base64Decode(std::string_view text);

struct RenewalSettings {
    // CA certificates (PEM) whose subordinates may renew: the signer must chain to one.
    std::string acceptedCasPem;
    // Common names an issuer of the signer must carry.
    std::vector<std::string> acceptedIssuerNames = {"Corvane Banking Union CA",
                                                    "Corvane Banking Union CA G2"};
    // The CA that issues renewed certificates (PEM certificate and key), and the root above it.
    std::string issuingCaPem;
    std::string issuingKeyPem;
    std::string rootPem;
    KeyType newKeyType = KeyType::Ec;
    std::chrono::hours validity = std::chrono::hours(24 * 365);
    bool exportable = true;  // the "X-Exportable" header of a package answer
    // Set: the package is encrypted with this password (UTF-8) instead of the form's, which the
    // client then cannot open.
    std::optional<std::string> packagePasswordOverride;
    // Set: the last byte of every proof (inside its signature value) is flipped before it is
    // checked, so that the signature does not verify.
    bool damageSignatures = false;
};

struct Verified {
    X509Owner signer;
    std::string content;
};

struct RenewalOutcome {
    std::optional<Refusal> refusal;  // none: `package` holds the PKCS#12 package
    SecretText package;
    std::string refusalShiftJis;
};

class RenewalAuthority {
  public:
    // Throws std::runtime_error when the settings' certificates or key cannot be read.
    explicit RenewalAuthority(const RenewalSettings& settings);
    ~RenewalAuthority();
    RenewalAuthority(const RenewalAuthority&) = delete;
    RenewalAuthority& operator=(const RenewalAuthority&) = delete;

    bool exportable() const { return exportable_; }

    // Checks the DER SignedData. `redeem` is asked last, with the enclosed content, and answers
    // whether it is an outstanding challenge (which it then takes out).
    std::variant<Verified, Refusal> verify(
        std::string_view der, const std::function<bool(std::string_view)>& redeem) const;

    // A new certificate for `subject`, with a new key, issued by the issuing CA, packed as
    // PKCS#12 (end-user certificate with key, issuing CA, root) under `utf8Password`.
    SecretText issuePackage(const X509_NAME* subject, const std::string& utf8Password) const;

    // The whole second request: form in, package or refusal out.
    RenewalOutcome renew(std::string_view form,
                         const std::function<bool(std::string_view)>& redeem) const;

  private:
    std::vector<std::string> acceptedIssuerNames_;
    StoreOwner acceptedCas_;
    X509Owner issuingCa_;
    KeyOwner issuingKey_;
    X509Owner root_;
    KeyType newKeyType_;
    std::chrono::hours validity_;
    bool exportable_;
    std::optional<std::string> passwordOverride_;
    bool damageSignatures_;
};

}  // namespace tessaly::renewal_server
