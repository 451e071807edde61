#include "transport/internet_root.h"

namespace tessaly {

std::atomic<platform::InternetHandle> g_hInternet{};

static_assert(std::atomic<platform::InternetHandle>::is_always_lock_free);

void closeInternetHandle(platform::InternetServices& net, platform::InternetHandle& handle) {
    if (!handle) {
        return;
    }
    platform::InternetHandle expected = handle;
    // A root handle is always published while open; if the slot no longer holds it, the
    // watchdog took it and closes it itself.
    if (g_hInternet.compare_exchange_strong(expected, platform::InternetHandle{})) {
        net.closeHandle(handle);
    }
    handle = {};
}

bool closePublishedInternetHandle(platform::InternetServices& net) {
    const platform::InternetHandle handle = g_hInternet.exchange(platform::InternetHandle{});
    if (!handle) {
        return false;
    }
    net.closeHandle(handle);
    return true;
}

}  // namespace tessaly
