#include "renewal.h"

#include <iconv.h>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace tessaly::renewal_server {

SecretText::~SecretText() {
    clear();
}

SecretText& SecretText::operator=(SecretText&& other) noexcept {
    if (this != &other) {
        clear();
        text_ = std::move(other.text_);
        other.clear();
    }
    return *this;
}

void SecretText::clear() {
    OPENSSL_cleanse(text_.data(), text_.capacity());
    text_.clear();
}

std::string_view refusalTextUtf8(Refusal refusal) {
    switch (refusal) {
        case Refusal::Malformed:
            return "要求の形式が正しくありません。";
        case Refusal::WrongDigest:
            return "署名のハッシュアルゴリズムが正しくありません（SHA-256 で署名してください）。";
        case Refusal::BadSignature:
            return "署名を検証できませんでした。";
        case Refusal::WrongIssuer:
            return "この証明書は更新の対象ではありません（発行者が違います）。";
        case Refusal::UnknownChallenge:
            return "検証データが一致しません。もう一度やり直してください。";
        case Refusal::NotIssued:
            return "証明書を発行できませんでした。";
    }
    return "エラー";
}

std::string refusalText(Refusal refusal) {
    // The texts are fixed and all in code page 932.
    return utf8ToCp932(refusalTextUtf8(refusal)).value();
}

namespace {

class Converter {
  public:
    Converter(const char* to, const char* from) : handle_(iconv_open(to, from)) {
        if (handle_ == reinterpret_cast<iconv_t>(-1)) {
            throw std::runtime_error(std::string("iconv cannot convert from ") + from + " to " +
                                     to);
        }
    }
    ~Converter() { iconv_close(handle_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts all of `input` into `output`, which must be large enough; false on bad input.
    bool convert(std::string_view input, std::string& output) {
        char* in = const_cast<char*>(input.data());
        std::size_t inLeft = input.size();
        char* out = output.data();
        std::size_t outLeft = output.size();
        const std::size_t converted = iconv(handle_, &in, &inLeft, &out, &outLeft);
        if (converted == static_cast<std::size_t>(-1) || inLeft != 0) {
            return false;
        }
        output.resize(output.size() - outLeft);  // shrinking keeps the block: nothing left behind
        return true;
    }

  private:
    iconv_t handle_;
};

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

bool isOneOf(const std::string& name, const std::vector<std::string>& names) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

std::optional<std::string> utf8ToCp932(std::string_view utf8) {
    Converter converter("CP932", "UTF-8");
    std::string out(utf8.size() * 2 + 1, '\0');
    if (!converter.convert(utf8, out)) {
        return std::nullopt;
    }
    return out;
}

std::optional<SecretText> cp932ToUtf8(std::string_view cp932) {
    Converter converter("UTF-8", "CP932");
    SecretText out(std::string(cp932.size() * 3 + 1, '\0'));
    if (!converter.convert(cp932, out.text())) {
        return std::nullopt;
    }
    return out;
}

std::optional<SecretText> formValueDecode(std::string_view value) {
    SecretText decoded(std::string(value.size(), '\0'));
    std::string& out = decoded.text();
    std::size_t length = 0;
    for (std::size_t at = 0; at < value.size(); ++at) {
        char c = value[at];
        if (c == '+') {
            c = ' ';
        } else if (c == '%') {
            if (at + 2 >= value.size()) {
                return std::nullopt;
            }
            const int high = hexValue(value[at + 1]);
            const int low = hexValue(value[at + 2]);
            if (high < 0 || low < 0) {
                return std::nullopt;
            }
            c = static_cast<char>(high * 16 + low);
            at += 2;
        }
        out[length++] = c;
    }
    out.resize(length);
    return decoded;
}

std::optional<SecretText> formField(std::string_view form, std::string_view name) {
    while (!form.empty()) {
        const std::size_t end = std::min(form.find('&'), form.size());
        const std::string_view pair = form.substr(0, end);
        const std::size_t equals = pair.find('=');
        if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
            return formValueDecode(pair.substr(equals + 1));
        }
        form.remove_prefix(std::min(end + 1, form.size()));
    }
    return std::nullopt;
}

std::optional<std::string> base64Decode(std::string_view text) {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    while (!text.empty() && text.back() == '=') {
        text.remove_suffix(1);
    }
    if (text.size() % 4 == 1) {
        return std::nullopt;
    }
    std::string out;
    out.reserve(text.size() * 3 / 4);
    std::uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        const std::size_t value = kAlphabet.find(c);
        if (value == std::string_view::npos) {
            return std::nullopt;
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return out;
}

RenewalAuthority::RenewalAuthority(const RenewalSettings& settings)
    : acceptedIssuerNames_(settings.acceptedIssuerNames),
      acceptedCas_(X509_STORE_new()),
      issuingCa_(certificateFromPem(settings.issuingCaPem)),
      issuingKey_(keyFromPem(settings.issuingKeyPem)),
      root_(certificateFromPem(settings.rootPem)),
      newKeyType_(settings.newKeyType),
      validity_(settings.validity),
      exportable_(settings.exportable),
      passwordOverride_(settings.packagePasswordOverride),
      damageSignatures_(settings.damageSignatures) {
    requireOpenSsl(acceptedCas_ != nullptr, "certificate store");
    const std::vector<X509Owner> accepted = certificatesFromPem(settings.acceptedCasPem);
    if (accepted.empty()) {
        throw std::runtime_error("renewal server: no accepted CA certificate");
    }
    for (const X509Owner& certificate : accepted) {
        requireOpenSsl(X509_STORE_add_cert(acceptedCas_.get(), certificate.get()) == 1,
                       "accepted CA");
    }
    // The signer has expired (its CA may have too), and the accepted CAs are anchors of their own.
    X509_STORE_set_flags(acceptedCas_.get(), X509_V_FLAG_NO_CHECK_TIME | X509_V_FLAG_PARTIAL_CHAIN);
}

RenewalAuthority::~RenewalAuthority() = default;

std::variant<Verified, Refusal> RenewalAuthority::verify(
    std::string_view der, const std::function<bool(std::string_view)>& redeem) const {
    const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
    const auto* const end = cursor + der.size();
    CmsOwner message(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size())));
    if (!message || cursor != end ||
        OBJ_obj2nid(CMS_get0_type(message.get())) != NID_pkcs7_signed) {
        ERR_clear_error();
        return Refusal::Malformed;
    }
    ASN1_OCTET_STRING** content = CMS_get0_content(message.get());
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(message.get());
    if (content == nullptr || *content == nullptr || sk_CMS_SignerInfo_num(signers) != 1) {
        return Refusal::Malformed;
    }
    X509_ALGOR* digest = nullptr;
    CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(signers, 0), nullptr, nullptr, &digest,
                             nullptr);
    if (digest == nullptr || OBJ_obj2nid(digest->algorithm) != NID_sha256) {
        return Refusal::WrongDigest;
    }

    // The signature over the enclosed content, with the certificate the message carries; the
    // certificate itself is judged below.
    BioOwner signedContent(BIO_new(BIO_s_mem()));
    requireOpenSsl(signedContent != nullptr, "memory BIO");
    if (CMS_verify(message.get(), nullptr, nullptr, nullptr, signedContent.get(),
                   CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) != 1) {
        ERR_clear_error();
        return Refusal::BadSignature;
    }
    X509Owner signer;
    {
        STACK_OF(X509)* found = CMS_get0_signers(message.get());
        if (found != nullptr && sk_X509_num(found) == 1 &&
            X509_up_ref(sk_X509_value(found, 0)) == 1) {
            signer.reset(sk_X509_value(found, 0));
        }
        sk_X509_free(found);
    }
    if (!signer) {
        return Refusal::BadSignature;
    }

    if (!isOneOf(commonNameOf(X509_get_issuer_name(signer.get())), acceptedIssuerNames_)) {
        return Refusal::WrongIssuer;
    }
    {
        CertificateStackOwner carried(CMS_get1_certs(message.get()));
        StoreContextOwner context(X509_STORE_CTX_new());
        requireOpenSsl(context != nullptr, "verification context");
        requireOpenSsl(X509_STORE_CTX_init(context.get(), acceptedCas_.get(), signer.get(),
                                           carried.get()) == 1,
                       "verification context");
        if (X509_verify_cert(context.get()) != 1) {
            ERR_clear_error();
            return Refusal::WrongIssuer;
        }
    }

    char* data = nullptr;
    const long size = BIO_get_mem_data(signedContent.get(), &data);
    std::string text(data, static_cast<std::size_t>(size));
    if (!redeem(text)) {
        return Refusal::UnknownChallenge;
    }
    return Verified{std::move(signer), std::move(text)};
}

SecretText RenewalAuthority::issuePackage(const X509_NAME* subject,
                                          const std::string& utf8Password) const {
    KeyOwner key = generateKey(newKeyType_);
    CertificateRequest request;
    request.subject = subject;
    request.subjectKey = key.get();
    request.issuer = issuingCa_.get();
    request.issuerKey = issuingKey_.get();
    request.notBefore = std::chrono::system_clock::now() - std::chrono::hours(1);
    request.notAfter = std::chrono::system_clock::now() + validity_;
    request.extensions = endUserExtensions();
    X509Owner certificate = buildCertificate(request);

    CertificateStackOwner authorities(sk_X509_new_null());
    requireOpenSsl(authorities != nullptr, "certificate list");
    for (X509* authority : {root_.get(), issuingCa_.get()}) {
        requireOpenSsl(
            X509_up_ref(authority) == 1 && sk_X509_push(authorities.get(), authority) > 0,
            "certificate list");
    }
    std::string friendlyName = commonNameOf(subject);
    // Defaults of OpenSSL 3: PBES2 with PBKDF2 and AES-256-CBC for key and certificates, and a
    // SHA-256 MAC; the password is UTF-8.
    Pkcs12Owner package(
        PKCS12_create(utf8Password.c_str(), friendlyName.empty() ? nullptr : friendlyName.c_str(),
                      key.get(), certificate.get(), authorities.get(), 0, 0, 0, 0, 0));
    requireOpenSsl(package != nullptr, "PKCS#12 package");
    const int length = i2d_PKCS12(package.get(), nullptr);
    requireOpenSsl(length > 0, "PKCS#12 encoding");
    SecretText bytes(std::string(static_cast<std::size_t>(length), '\0'));
    auto* cursor = reinterpret_cast<unsigned char*>(bytes.text().data());
    requireOpenSsl(i2d_PKCS12(package.get(), &cursor) == length, "PKCS#12 encoding");
    return bytes;
}

RenewalOutcome RenewalAuthority::renew(std::string_view form,
                                       const std::function<bool(std::string_view)>& redeem) const {
    RenewalOutcome outcome;
    const auto refuse = [&](Refusal refusal) {
        outcome.refusal = refusal;
        outcome.refusalShiftJis = refusalText(refusal);
        return std::move(outcome);
    };
    const std::optional<SecretText> password = formField(form, "passwd");
    const std::optional<SecretText> sendFile = formField(form, "sendFile");
    if (!password || !sendFile) {
        return refuse(Refusal::Malformed);
    }
    const std::optional<std::string> der = base64Decode(sendFile->text());
    std::optional<SecretText> utf8Password = cp932ToUtf8(password->text());
    if (!der || !utf8Password) {
        return refuse(Refusal::Malformed);
    }
    std::string proof = *der;
    if (damageSignatures_ && !proof.empty()) {
        proof.back() = static_cast<char>(proof.back() ^ 0x01);
    }
    auto verdict = verify(proof, redeem);
    if (const Refusal* refusal = std::get_if<Refusal>(&verdict)) {
        return refuse(*refusal);
    }
    const Verified& verified = std::get<Verified>(verdict);
    try {
        outcome.package =
            issuePackage(X509_get_subject_name(verified.signer.get()),
                         passwordOverride_ ? *passwordOverride_ : utf8Password->text());
    } catch (const std::exception&) {
        return refuse(Refusal::NotIssued);
    }
    return outcome;
}

}  // namespace tessaly::renewal_server
