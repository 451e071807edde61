#include "platform/secure_memory.h"

#include <atomic>
#include <cstring>

namespace tessaly::platform {

namespace {
std::atomic<WipeObserver> g_wipeObserver{nullptr};
}

void setWipeObserver(WipeObserver observer) {
    g_wipeObserver.store(observer);
}

void secureZero(void* data, std::size_t size) {
    if (data == nullptr || size == 0) {
        return;
    }
    explicit_bzero(data, size);
    if (const WipeObserver observer = g_wipeObserver.load()) {
        observer(data, size);
    }
}

}  // namespace tessaly::platform
