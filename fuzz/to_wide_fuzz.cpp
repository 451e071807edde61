// Code page 932 bytes from a server (error texts, the verification data) into wide text:
// never throws, and what comes out is well-formed UTF-16.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_input.h"
#include "renewal/encodings.h"

using tessaly::fuzz::check;

namespace {

bool isHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isLowSurrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

bool wellFormed(std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (isHighSurrogate(text[i])) {
            if (i + 1 == text.size() || !isLowSurrogate(text[i + 1])) {
                return false;
            }
            ++i;
        } else if (isLowSurrogate(text[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = tessaly::fuzz::bytesOf(data, size);
    tessaly::platform::WideString wide;
    try {
        wide = tessaly::toWide(bytes);
    } catch (...) {
        tessaly::fuzz::fail("toWide threw");
    }
    const std::u16string_view text(wide);
    check(wellFormed(text), "no unpaired surrogate");
    check(text.find(u'\0') == std::u16string_view::npos, "the text ends at the first NUL");
    // Every character, or its replacement, stands for at least one byte before the first NUL.
    check(text.size() <= bytes.substr(0, bytes.find('\0')).size(), "no more characters than bytes");
    return 0;
}
