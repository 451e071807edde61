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

namespace {

// The quick filter before the table of prefixes: one bit per hashed prefix.
class PrefixFilter {
  public:
    static std::uint32_t slot(std::uint32_t prefix) { return (prefix * 0x9E3779B1u) >> 16; }
    void add(std::uint32_t prefix) {
        bits_[slot(prefix) / 64] |= std::uint64_t{1} << (slot(prefix) % 64);
    }
    bool maybe(std::uint32_t prefix) const {
        return (bits_[slot(prefix) / 64] >> (slot(prefix) % 64) & 1) != 0;
    }

  private:
    std::uint64_t bits_[(1 << 16) / 64] = {};
};

// The hot loop over one chunk, left uninstrumented: it reads only the scanner's own buffer.
__attribute__((no_sanitize("address", "thread"))) void scanChunk(
    const std::uint8_t* bytes, std::size_t got, std::size_t starts, std::uintptr_t address,
    const std::string& mapping, const PrefixFilter& filter,
    const std::unordered_map<std::uint32_t, std::vector<std::size_t>>& byPrefix,
    const std::vector<MaskedPattern>& patterns, std::vector<MemoryHit>& hits) {
    for (std::size_t i = 0; i < starts; ++i) {
        std::uint32_t prefix = 0;
        std::memcpy(&prefix, bytes + i, 4);
        if (!filter.maybe(prefix)) {
            continue;
        }
        const auto found = byPrefix.find(prefix);
        if (found == byPrefix.end()) {
            continue;
        }
        for (const std::size_t index : found->second) {
            const MaskedPattern& pattern = patterns[index];
            if (i + pattern.size() > got) {
                continue;
            }
            std::size_t k = 4;
            while (k < pattern.size() && bytes[i + k] == pattern.at(k)) {
                ++k;
            }
            if (k == pattern.size()) {
                hits.push_back({pattern.name(), address + i, mapping});
            }
        }
    }
}

}  // namespace

ScanReport scanWritableMemory(const std::vector<MaskedPattern>& patterns) {
    std::size_t longest = 0;
    std::unordered_map<std::uint32_t, std::vector<std::size_t>> byPrefix;
    PrefixFilter filter;
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        if (patterns[i].size() < 8) {
            throw std::invalid_argument("pattern too short to scan for: " + patterns[i].name());
        }
        longest = std::max(longest, patterns[i].size());
        const std::uint32_t prefix = plainPrefix(patterns[i]);
        byPrefix[prefix].push_back(i);
        filter.add(prefix);
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
            const auto count = static_cast<std::size_t>(got);
            report.bytesScanned += std::min(count, kChunk);
            scanChunk(scratch.data(), count, std::min(count - 3, kChunk), at, mapping.line, filter,
                      byPrefix, patterns, report.hits);
        }
    }
    return report;
}

}  // namespace tessaly::hardening
