#include "wipe_recorder.h"

#include <mutex>
#include <utility>
#include <vector>

#include "platform/secure_memory.h"

namespace tessaly::fakes {

namespace {

std::mutex g_mutex;
std::vector<std::pair<std::uintptr_t, std::size_t>> g_ranges;

void record(const void* data, std::size_t size) {
    std::lock_guard lock(g_mutex);
    g_ranges.emplace_back(reinterpret_cast<std::uintptr_t>(data), size);
}

}  // namespace

WipeRecorder::WipeRecorder() {
    {
        std::lock_guard lock(g_mutex);
        g_ranges.clear();
    }
    platform::setWipeObserver(record);
}

WipeRecorder::~WipeRecorder() {
    platform::setWipeObserver(nullptr);
}

bool WipeRecorder::wasWiped(std::uintptr_t at, std::size_t size) const {
    std::lock_guard lock(g_mutex);
    for (const auto& [start, length] : g_ranges) {
        if (at >= start && at + size <= start + length) {
            return true;
        }
    }
    return false;
}

}  // namespace tessaly::fakes
