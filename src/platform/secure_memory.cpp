#include "platform/secure_memory.h"

#include <cstring>

namespace tessaly::platform {

void secureZero(void* data, std::size_t size) {
    if (data != nullptr && size != 0) {
        explicit_bzero(data, size);
    }
}

}  // namespace tessaly::platform
