// A failed step inside a routine: carries the code that the routine's own catch stores.
#pragma once

#include <cstdint>

namespace tessaly::platform {

struct Failure {
    std::uint32_t code;
};

// What a routine stores for a failure that carries no code of its own.
inline constexpr std::uint32_t kOtherFailure = 1103;

}  // namespace tessaly::platform
