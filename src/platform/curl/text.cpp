#include "platform/curl/text.h"

#include "platform/utf8.h"

namespace tessaly::platform::curl {

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
