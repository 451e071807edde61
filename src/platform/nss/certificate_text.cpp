#include "platform/nss/certificate_text.h"

#include <secoid.h>

#include "platform/nss/scoped_nss.h"
#include "platform/utf8.h"

namespace tessaly::platform::nss {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void appendUtf16(std::u16string& out, char32_t code) {
    if (code >= 0x10000) {
        code -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(code));
    }
}

std::u16string attributeText(const CERTName& name, SECOidTag wanted) {
    if (name.rdns == nullptr) {
        return {};
    }
    for (CERTRDN** rdn = name.rdns; *rdn != nullptr; ++rdn) {
        if ((*rdn)->avas == nullptr) {
            continue;
        }
        for (CERTAVA** ava = (*rdn)->avas; *ava != nullptr; ++ava) {
            if (CERT_GetAVATag(*ava) != wanted) {
                continue;
            }
            const ScopedSECItem value(CERT_DecodeAVAValue(&(*ava)->value));
            if (!value) {
                continue;
            }
            return utf16FromUtf8(
                std::string_view(reinterpret_cast<const char*>(value->data), value->len));
        }
    }
    return {};
}

}  // namespace

std::u16string utf16FromUtf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t count = 0;
        char32_t code = 0;
        char32_t minimum = 0;
        if (lead < 0x80) {
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            count = 1;
            code = lead & 0x1F;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            count = 2;
            code = lead & 0x0F;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            count = 3;
            code = lead & 0x07;
            minimum = 0x10000;
        } else {
            out.push_back(static_cast<char16_t>(kReplacement));
            ++i;
            continue;
        }
        std::size_t taken = 1;
        bool valid = true;
        for (; taken <= count; ++taken) {
            if (i + taken >= text.size() ||
                (static_cast<unsigned char>(text[i + taken]) & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            code = (code << 6) | (static_cast<unsigned char>(text[i + taken]) & 0x3F);
        }
        if (!valid || code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            out.push_back(static_cast<char16_t>(kReplacement));
            i += taken;
            continue;
        }
        appendUtf16(out, code);
        i += taken;
    }
    return out;
}

std::string utf8FromUtf16(std::u16string_view text) {
    std::string out;
    appendUtf8(text, out);
    return out;
}

std::u16string simpleDisplayName(const CERTName& name) {
    for (const SECOidTag wanted : {SEC_OID_AVA_COMMON_NAME, SEC_OID_AVA_ORGANIZATIONAL_UNIT_NAME,
                                   SEC_OID_AVA_ORGANIZATION_NAME, SEC_OID_PKCS9_EMAIL_ADDRESS}) {
        std::u16string text = attributeText(name, wanted);
        if (!text.empty()) {
            return text;
        }
    }
    return {};
}

std::u16string distinguishedName(CERTName& name) {
    const ScopedNssString text(CERT_NameToAscii(&name));
    return text ? utf16FromUtf8(text.get()) : std::u16string{};
}

std::chrono::system_clock::time_point timeFromPrTime(PRTime time) {
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::microseconds(time)));
}

}  // namespace tessaly::platform::nss
