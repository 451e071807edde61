// Turning libFuzzer's bytes into the inputs the targets need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace tessaly::fuzz {

// Each pair of bytes as one UTF-16 code unit (native order); an odd last byte is dropped, so
// every unit value, unpaired surrogates and NUL included, can be reached.
inline std::u16string utf16Of(const std::uint8_t* data, std::size_t size) {
    std::u16string text(size / 2, u'\0');
    if (!text.empty()) {
        std::memcpy(text.data(), data, text.size() * sizeof(char16_t));
    }
    return text;
}

inline std::string_view bytesOf(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// Stops the run with a message: libFuzzer keeps the input that got here as a crash.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

inline void check(bool holds, const char* what) {
    if (!holds) {
        fail(what);
    }
}

}  // namespace tessaly::fuzz
