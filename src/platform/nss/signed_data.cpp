#include "platform/nss/signed_data.h"

namespace tessaly::platform::nss {

namespace {
constexpr std::string_view kOidSignedData = "1.2.840.113549.1.7.2";
constexpr std::string_view kOidData = "1.2.840.113549.1.7.1";
constexpr std::string_view kOidSha256 = "2.16.840.1.101.3.4.2.1";
}  // namespace

der::Bytes encodeSignedData(const SignedDataParts& parts) {
    using der::tlv;
    namespace tag = der::tag;
    const std::uint8_t version[] = {tag::kInteger, 0x01, 0x01};
    // SHA-256 takes no parameters: the field is absent.
    const der::Bytes digestAlgorithm = der::algorithm(kOidSha256, false);

    const der::Bytes dataType = der::oid(kOidData);
    der::Bytes encapsulated;
    if (parts.detached) {
        encapsulated = tlv(tag::kSequence, dataType);
    } else {
        const der::Bytes octets = tlv(tag::kOctetString, parts.content);
        encapsulated = tlv(tag::kSequence, {dataType, tlv(tag::kContext0, octets)});
    }

    const der::Bytes issuerAndSerial =
        tlv(tag::kSequence, {parts.signerIssuer, tlv(tag::kInteger, parts.signerSerial)});
    const der::Bytes signerInfo =
        tlv(tag::kSequence,
            {version, issuerAndSerial, digestAlgorithm,
             der::algorithm(parts.signatureAlgorithm, parts.signatureAlgorithmNullParameters),
             tlv(tag::kOctetString, parts.signature)});

    const der::Bytes digestAlgorithms = der::setOf(tag::kSet, {digestAlgorithm});
    const der::Bytes certificates = der::setOf(tag::kContext0, parts.certificates);
    const der::Bytes signerInfos = der::setOf(tag::kSet, {signerInfo});
    const der::Bytes signedData =
        parts.certificates.empty()
            ? tlv(tag::kSequence, {version, digestAlgorithms, encapsulated, signerInfos})
            : tlv(tag::kSequence,
                  {version, digestAlgorithms, encapsulated, certificates, signerInfos});
    return tlv(tag::kSequence, {der::oid(kOidSignedData), tlv(tag::kContext0, signedData)});
}

}  // namespace tessaly::platform::nss
