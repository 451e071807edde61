// Splitting a URL into the parts the connection needs, with the caller's buffer limits.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/internet_services.h"

namespace tessaly::platform::curl {

// Fills `components` (capacities set by the caller) from an http or https URL. Returns 0, or
// the error number of the failure: kErrorInvalidUrl for a URL that cannot be split,
// kErrorUnrecognizedScheme for another scheme, kErrorInsufficientBuffer for a component that
// does not fit its capacity with its terminator. With kCrackEscape, %xx sequences in the user
// name, password, path and extra information are decoded.
std::uint32_t splitUrl(std::u16string_view url, std::uint32_t flags, UrlComponents& components);

inline constexpr std::uint32_t kErrorUnrecognizedScheme = 12006;

}  // namespace tessaly::platform::curl
