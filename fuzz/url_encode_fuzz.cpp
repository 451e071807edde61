// The form encoding of the password and the signature: decoding what urlEncode wrote gives
// back the code page 932 bytes of the text, and only the form's characters are written.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "renewal/encodings.h"

using tessaly::fuzz::check;

namespace {

std::optional<int> hexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    return std::nullopt;  // the encoder writes upper case only
}

bool passesUnchanged(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
           c == u'-' || c == u'.' || c == u'_';
}

// A strict form-value decoder; none for anything an encoder of this form cannot write.
std::optional<std::string> formDecode(std::u16string_view encoded) {
    std::string bytes;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        const char16_t c = encoded[i];
        if (c == u'+') {
            bytes.push_back(' ');
        } else if (c == u'%') {
            if (i + 2 >= encoded.size()) {
                return std::nullopt;
            }
            const auto high = hexDigit(encoded[i + 1]);
            const auto low = hexDigit(encoded[i + 2]);
            if (!high || !low) {
                return std::nullopt;
            }
            const char byte = static_cast<char>(*high * 16 + *low);
            if (passesUnchanged(static_cast<unsigned char>(byte)) || byte == ' ') {
                return std::nullopt;  // written as itself (or "+"), never escaped
            }
            bytes.push_back(byte);
            i += 2;
        } else if (passesUnchanged(c)) {
            bytes.push_back(static_cast<char>(c));
        } else {
            return std::nullopt;
        }
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::u16string text = tessaly::fuzz::utf16Of(data, size);
    const tessaly::platform::WideString encoded = tessaly::urlEncode(text);
    const auto decoded = formDecode(encoded);
    check(decoded.has_value(), "only letters, digits, \"-._\", \"+\" and %XX are written");
    const tessaly::platform::NarrowString narrow = tessaly::toNarrow(text);
    check(*decoded == std::string_view(narrow.data(), narrow.size()),
          "decoding gives back the code page 932 bytes of the text");
    return 0;
}
