// Text and form encodings: the border between wide (UTF-16) text inside and narrow code
// page 932 bytes on the wire and at the certificate services.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/secure_memory.h"

namespace tessaly {

using platform::NarrowString;
using platform::WideString;

// Splits at every `delimiter`; empty tokens are kept and the rest is always the last token,
// so there is one token more than delimiters found.
void splitString(std::u16string_view text, char16_t delimiter, std::vector<WideString>& tokens);

// Form-value percent-encoding over the text's code page 932 bytes: ASCII letters, digits,
// "-", "." and "_" pass, a blank becomes "+", every other byte becomes "%XX".
WideString urlEncode(std::u16string_view text);

// RFC 4648 base64 with "=" padding and no line breaks.
NarrowString base64Encode(const std::uint8_t* data, std::size_t count);

// Code page 932 conversions. The input ends at its first NUL. A character the other side
// lacks becomes "?" (to narrow) or U+FFFD (to wide); nothing here throws on bad input.
NarrowString toNarrow(std::u16string_view text);
WideString toWide(std::string_view bytes);

}  // namespace tessaly
