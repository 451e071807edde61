// The user's certificates offered to a server that asks the TLS client for one.
#include <base64.h>
#include <keyhi.h>
#include <pkcs11t.h>
#include <secasn1.h>
#include <secmodt.h>

#include <algorithm>
#include <string_view>

#include "platform/nss/certificate_text.h"
#include "platform/nss/nss_certificate_services.h"

namespace tessaly::platform::nss {

namespace {

using ScopedCERTCertificateList = ScopedNss<CERTCertificateList, CERT_DestroyCertificateList>;

bool sameBytes(const SECItem& item, const std::vector<std::uint8_t>& bytes) {
    const auto held = bytesOf(item);
    return std::equal(held.begin(), held.end(), bytes.begin(), bytes.end());
}

void appendPem(SecureBytes& out, const SECItem& der) {
    const ScopedNssString base64(BTOA_DataToAscii(der.data, der.len));
    if (!base64) {
        return;
    }
    const auto append = [&out](std::string_view text) {
        out.insert(out.end(), text.begin(), text.end());
    };
    append("-----BEGIN CERTIFICATE-----\n");
    append(base64.get());
    append("\n-----END CERTIFICATE-----\n");
}

using ScopedEncryptedKeyInfo =
    ScopedNss<SECKEYEncryptedPrivateKeyInfo, [](SECKEYEncryptedPrivateKeyInfo* info) {
        SECKEY_DestroyEncryptedPrivateKeyInfo(info, PR_TRUE);
    }>;

// A random password of hex digits, so that every PKCS#5 reader takes the same bytes.
bool makeHandOverPassword(NarrowString& password) {
    SecureBytes random(24);
    if (PK11_GenerateRandom(random.data(), static_cast<int>(random.size())) != SECSuccess) {
        return false;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    password.clear();
    for (const std::uint8_t byte : random) {
        password.push_back(kHex[byte >> 4]);
        password.push_back(kHex[byte & 0x0F]);
    }
    return true;
}

// Whether the key was stored as one that may leave the database. NSS's encrypted export does
// not ask, so the attribute set at import (the server's exportable flag) is honoured here.
bool mayLeaveDatabase(SECKEYPrivateKey& key) {
    SECItem value{siBuffer, nullptr, 0};
    if (PK11_ReadRawAttribute(PK11_TypePrivKey, &key, CKA_EXTRACTABLE, &value) != SECSuccess) {
        return false;
    }
    const bool extractable = value.len == 1 && value.data[0] == CK_TRUE;
    SECITEM_FreeItem(&value, PR_FALSE);
    return extractable;
}

// The key as a DER EncryptedPrivateKeyInfo under a fresh `password`.
bool encryptedPrivateKey(SECKEYPrivateKey& key, SecureBytes& encrypted, NarrowString& password) {
    if (!mayLeaveDatabase(key) || !makeHandOverPassword(password)) {
        return false;
    }
    SECItem passwordItem =
        itemOf(std::span(reinterpret_cast<const std::uint8_t*>(password.data()), password.size()));
    constexpr int kIterations = 2048;  // the encryption only crosses this process's memory
    const ScopedEncryptedKeyInfo info(PK11_ExportEncryptedPrivKeyInfoV2(
        nullptr, SEC_OID_PKCS5_PBES2, SEC_OID_AES_256_CBC, SEC_OID_HMAC_SHA256, &passwordItem, &key,
        kIterations, nullptr));
    if (!info) {
        return false;
    }
    const ScopedSecretSECItem der(SEC_ASN1EncodeItem(
        nullptr, nullptr, info.get(), SEC_ASN1_GET(SECKEY_EncryptedPrivateKeyInfoTemplate)));
    if (!der) {
        return false;
    }
    encrypted.assign(der->data, der->data + der->len);
    return true;
}

}  // namespace

std::vector<ClientCertificateOffer> NssCertificateServices::clientCertificateOffers(
    const std::vector<std::vector<std::uint8_t>>& acceptedIssuers) {
    std::vector<ClientCertificateOffer> offers;
    if (!openDatabase()) {
        return offers;
    }
    const auto mine = viewSnapshot(StoreKind::My);
    for (const auto& certificate : *mine) {
        const bool accepted =
            acceptedIssuers.empty() ||
            std::any_of(acceptedIssuers.begin(), acceptedIssuers.end(), [&](const auto& issuer) {
                return sameBytes(certificate->derIssuer, issuer);
            });
        if (!accepted) {
            continue;
        }
        ClientCertificateOffer offer;
        const auto der = bytesOf(certificate->derCert);
        offer.certificate.assign(der.begin(), der.end());
        describeForChoice(*certificate, offer);
        offers.push_back(std::move(offer));
    }
    return offers;
}

std::optional<ClientCertificate> NssCertificateServices::clientCertificateOf(
    const ClientCertificateOffer& offer) {
    if (!openDatabase()) {
        return std::nullopt;
    }
    SECItem der = itemOf(offer.certificate);
    const ScopedCERTCertificate certificate(
        PK11_FindCertFromDERCertItem(slot_.get(), &der, passwordContext()));
    if (!certificate) {
        return std::nullopt;
    }
    const ScopedSECKEYPrivateKey key = findPrivateKey(certificate.get());
    if (!key) {
        return std::nullopt;
    }
    // A database key is sensitive: it leaves only encrypted, under a password made for this
    // hand-over alone (PBES2, AES-256-CBC, HMAC-SHA-256).
    ClientCertificate identity;
    if (!encryptedPrivateKey(*key, identity.privateKey, identity.keyPassword)) {
        return std::nullopt;  // the key may not leave the database
    }

    // The certificate first, then the issuers the database holds (the root left out).
    const ScopedCERTCertificateList chain(
        CERT_CertChainFromCert(certificate.get(), certUsageSSLClient, PR_FALSE));
    if (chain) {
        for (int i = 0; i < chain->len; ++i) {
            appendPem(identity.certificate, chain->certs[i]);
        }
    } else {
        appendPem(identity.certificate, certificate->derCert);
    }
    return identity;
}

}  // namespace tessaly::platform::nss
