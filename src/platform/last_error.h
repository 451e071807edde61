// "The thread's last error": a failing platform call leaves its error number here,
// and the caller reads it right after the call, on the same thread.
#pragma once

#include <cstdint>

namespace tessaly::platform {

std::uint32_t lastError();
void setLastError(std::uint32_t error);

}  // namespace tessaly::platform
