// Looks for byte patterns in the process's own writable memory (every rw mapping of
// /proc/self/maps, read through /proc/self/mem, so no unreadable page can fault). The patterns
// are kept XOR-masked and compared on the fly: the scanner's own copies never match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tessaly::hardening {

// The mask of byte `index` of a pattern; never 0, so no masked byte equals its plain value.
constexpr std::uint8_t maskByte(std::size_t index) {
    return static_cast<std::uint8_t>((index * 0x9D + 0x5B) | 0x01);
}

class MaskedPattern {
  public:
    // `masked[i]` is the pattern's byte i XOR maskByte(i).
    MaskedPattern(std::string name, std::vector<std::uint8_t> masked)
        : name_(std::move(name)), masked_(std::move(masked)) {}

    const std::string& name() const { return name_; }
    std::size_t size() const { return masked_.size(); }
    std::uint8_t at(std::size_t index) const { return masked_[index] ^ maskByte(index); }

  private:
    std::string name_;
    std::vector<std::uint8_t> masked_;
};

// Masks plain bytes (the caller wipes its plain copy).
std::vector<std::uint8_t> masked(std::span<const std::uint8_t> plain);

struct MemoryHit {
    std::string pattern;
    std::uintptr_t address = 0;
    std::string mapping;  // the line of /proc/self/maps it lies in
};

struct ScanReport {
    std::vector<MemoryHit> hits;
    std::size_t bytesScanned = 0;
};

// Every place a pattern (at least 8 bytes long) occurs in writable memory.
ScanReport scanWritableMemory(const std::vector<MaskedPattern>& patterns);

}  // namespace tessaly::hardening
