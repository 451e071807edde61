// Text conversions at the boundary to curl: UTF-16 in, UTF-8 out; header bytes back to UTF-16.
#pragma once

#include <string>
#include <string_view>

#include "platform/secure_memory.h"

namespace tessaly::platform::curl {

// UTF-8 of `text`; an unpaired surrogate becomes U+FFFD.
std::string toUtf8(std::u16string_view text);
// The same into a string that wipes its storage, for secrets.
NarrowString toSecureUtf8(std::u16string_view text);

// Each byte taken as the Latin-1 character of the same value: lossless for header text.
std::u16string fromLatin1(std::string_view bytes);

}  // namespace tessaly::platform::curl
