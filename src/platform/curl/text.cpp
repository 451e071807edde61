#include "platform/curl/text.h"

namespace tessaly::platform::curl {
namespace {

template <class Out>
void appendUtf8(std::u16string_view text, Out& out) {
    out.reserve(out.size() + text.size() * 3);
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
}

}  // namespace

std::string toUtf8(std::u16string_view text) {
    std::string out;
    appendUtf8(text, out);
    return out;
}

NarrowString toSecureUtf8(std::u16string_view text) {
    NarrowString out;
    appendUtf8(text, out);
    return out;
}

std::u16string fromLatin1(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    return out;
}

}  // namespace tessaly::platform::curl
