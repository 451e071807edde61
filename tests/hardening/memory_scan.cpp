#include "memory_scan.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unordered_map>

namespace tessaly::hardening {

namespace {

constexpr std::size_t kChunk = 4 << 20;
constexpr std::size_t kMaxMapping = std::size_t{1} << 32;  // larger: sanitizer shadow, reserved

struct Mapping {
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    std::string line;
};

std::vector<Mapping> writableMappings() {
    std::vector<Mapping> mappings;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::string range;
        std::string permissions;
        fields >> range >> permissions;
        if (permissions.size() < 2 || permissions[0] != 'r' || permissions[1] != 'w' ||
            line.find("[vvar]") != std::string::npos ||
            line.find("[vsyscall]") != std::string::npos) {
            continue;
        }
        const auto dash = range.find('-');
        Mapping mapping;
        mapping.start = std::stoull(range.substr(0, dash), nullptr, 16);
        mapping.end = std::stoull(range.substr(dash + 1), nullptr, 16);
        mapping.line = line;
        if (mapping.end - mapping.start <= kMaxMapping) {
            mappings.push_back(std::move(mapping));
        }
    }
    return mappings;
}

std::uint32_t plainPrefix(const MaskedPattern& pattern) {
    std::uint32_t prefix = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        prefix |= std::uint32_t{pattern.at(i)} << (8 * i);
    }
    return prefix;
}

// The scanner's read buffer: a mapping of its own, left out of the scan.
class ScratchMapping {
  public:
    explicit ScratchMapping(std::size_t size) : size_(size) {
        data_ = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (data_ == MAP_FAILED) {
            throw std::runtime_error("no scratch mapping");
        }
    }
    ~ScratchMapping() { ::munmap(data_, size_); }
    ScratchMapping(const ScratchMapping&) = delete;
    ScratchMapping& operator=(const ScratchMapping&) = delete;

    std::uint8_t* data() const { return static_cast<std::uint8_t*>(data_); }
    std::uintptr_t address() const { return reinterpret_cast<std::uintptr_t>(data_); }

  private:
    void* data_ = nullptr;
    std::size_t size_ = 0;
};

class Descriptor {
  public:
    explicit Descriptor(int value) : value_(value) {}
    ~Descriptor() {
        if (value_ >= 0) {
            ::close(value_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return value_; }

  private:
    int value_;
};

}  // namespace

std::vector<std::uint8_t> masked(std::span<const std::uint8_t> plain) {
    std::vector<std::uint8_t> bytes(plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i) {
        bytes[i] = plain[i] ^ maskByte(i);
    }
    return bytes;
}

ScanReport scanWritableMemory(const std::vector<MaskedPattern>& patterns) {
    std::size_t longest = 0;
    std::unordered_map<std::uint32_t, std::vector<std::size_t>> byPrefix;
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        if (patterns[i].size() < 8) {
            throw std::invalid_argument("pattern too short to scan for: " + patterns[i].name());
        }
        longest = std::max(longest, patterns[i].size());
        byPrefix[plainPrefix(patterns[i])].push_back(i);
    }
    // A quick filter before the table: one bit per hashed prefix.
    std::vector<bool> maybe(1 << 16);
    const auto slot = [](std::uint32_t prefix) { return (prefix * 0x9E3779B1u) >> 16; };
    for (const auto& [prefix, indices] : byPrefix) {
        maybe[slot(prefix)] = true;
    }

    const ScratchMapping scratch(kChunk + longest);
    const Descriptor memory(::open("/proc/self/mem", O_RDONLY | O_CLOEXEC));
    if (memory.get() < 0) {
        throw std::runtime_error("cannot open /proc/self/mem");
    }
    ScanReport report;
    for (const Mapping& mapping : writableMappings()) {
        if (mapping.start == scratch.address()) {
            continue;
        }
        for (std::uintptr_t at = mapping.start; at < mapping.end; at += kChunk) {
            const std::size_t wanted =
                std::min<std::uintptr_t>(kChunk + longest - 1, mapping.end - at);
            const ssize_t got =
                ::pread(memory.get(), scratch.data(), wanted, static_cast<off_t>(at));
            if (got < 4) {
                continue;  // not readable now (a page the kernel will not give)
            }
            report.bytesScanned += std::min<std::size_t>(static_cast<std::size_t>(got), kChunk);
            const std::uint8_t* bytes = scratch.data();
            const std::size_t starts =
                std::min<std::size_t>(static_cast<std::size_t>(got) - 3, kChunk);
            for (std::size_t i = 0; i < starts; ++i) {
                std::uint32_t prefix = 0;
                std::memcpy(&prefix, bytes + i, 4);
                if (!maybe[slot(prefix)]) {
                    continue;
                }
                const auto found = byPrefix.find(prefix);
                if (found == byPrefix.end()) {
                    continue;
                }
                for (const std::size_t index : found->second) {
                    const MaskedPattern& pattern = patterns[index];
                    if (i + pattern.size() > static_cast<std::size_t>(got)) {
                        continue;
                    }
                    std::size_t k = 4;
                    while (k < pattern.size() && bytes[i + k] == pattern.at(k)) {
                        ++k;
                    }
                    if (k == pattern.size()) {
                        report.hits.push_back({pattern.name(), at + i, mapping.line});
                    }
                }
            }
        }
    }
    return report;
}

}  // namespace tessaly::hardening
