// Text drawn from certificates: display names, UTF-8 to UTF-16.
#pragma once

#include <cert.h>

#include <chrono>
#include <string>
#include <string_view>

namespace tessaly::platform::nss {

// UTF-8 to UTF-16; a malformed sequence becomes U+FFFD.
std::u16string utf16FromUtf8(std::string_view text);
// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf8FromUtf16(std::u16string_view text);

// The simple display name of `name`: the first common name, else the first organizational
// unit, organization or e-mail address, in that order of preference; empty when it has none.
std::u16string simpleDisplayName(const CERTName& name);

// The distinguished name as text (RFC 4514 style, most significant part last).
std::u16string distinguishedName(CERTName& name);

std::chrono::system_clock::time_point timeFromPrTime(PRTime time);

// Fills what a list of certificates shows of one: issued to, issued by, expiry, nickname.
template <class Line>
void describeForChoice(CERTCertificate& certificate, Line& line) {
    line.issuedTo = simpleDisplayName(certificate.subject);
    line.issuedBy = simpleDisplayName(certificate.issuer);
    PRTime notBefore = 0;
    PRTime notAfter = 0;
    if (CERT_GetCertTimes(&certificate, &notBefore, &notAfter) == SECSuccess) {
        line.expires = timeFromPrTime(notAfter);
    }
    if (certificate.nickname != nullptr) {
        line.nickname = utf16FromUtf8(certificate.nickname);
    }
}

}  // namespace tessaly::platform::nss
