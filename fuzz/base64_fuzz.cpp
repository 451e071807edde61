// The signature's base64 text: a strict decoder gives back exactly the bytes encoded.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "renewal/encodings.h"

using tessaly::fuzz::check;

namespace {

std::optional<std::uint8_t> sextet(char c) {
    if (c >= 'A' && c <= 'Z') {
        return static_cast<std::uint8_t>(c - 'A');
    }
    if (c >= 'a' && c <= 'z') {
        return static_cast<std::uint8_t>(c - 'a' + 26);
    }
    if (c >= '0' && c <= '9') {
        return static_cast<std::uint8_t>(c - '0' + 52);
    }
    if (c == '+') {
        return std::uint8_t{62};
    }
    if (c == '/') {
        return std::uint8_t{63};
    }
    return std::nullopt;
}

// RFC 4648 with "=" padding, groups of four, no line breaks; the unused low bits of the last
// character must be zero (canonical). None for anything else.
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t group = 0; group < text.size(); group += 4) {
        const bool last = group + 4 == text.size();
        std::size_t padding = 0;
        if (last) {
            padding = text[group + 3] == '=' ? (text[group + 2] == '=' ? 2 : 1) : 0;
        }
        std::uint32_t bits = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const char c = text[group + i];
            if (i >= 4 - padding) {
                bits <<= 6;
                continue;
            }
            const auto value = sextet(c);
            if (!value) {
                return std::nullopt;
            }
            bits = (bits << 6) | *value;
        }
        if ((padding == 1 && (bits & 0xFF) != 0) || (padding == 2 && (bits & 0xFFFF) != 0)) {
            return std::nullopt;
        }
        for (std::size_t i = 0; i < 3 - padding; ++i) {
            bytes.push_back(static_cast<std::uint8_t>(bits >> (16 - 8 * i)));
        }
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const tessaly::platform::NarrowString text = tessaly::base64Encode(data, size);
    check(text.size() == (size + 2) / 3 * 4, "four characters for every three bytes begun");
    const auto decoded = base64Decode(std::string_view(text.data(), text.size()));
    check(decoded.has_value(), "canonical base64 with padding");
    check(decoded->size() == size &&
              (size == 0 || std::equal(decoded->begin(), decoded->end(), data)),
          "decoding gives back the bytes");
    return 0;
}
