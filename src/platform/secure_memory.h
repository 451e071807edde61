// Containers for text and bytes that may hold a secret (the password, the package).
// Every heap block they release is zeroed first, including the old block left behind
// when a string grows; wipe() also clears storage held inside the object itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

namespace tessaly::platform {

// Zeroes memory in a way the optimiser may not drop.
void secureZero(void* data, std::size_t size);

// Told of every range secureZero has zeroed; lets tests prove where a secret was wiped.
using WipeObserver = void (*)(const void* data, std::size_t size);
void setWipeObserver(WipeObserver observer);

template <class T>
struct WipingAllocator {
    using value_type = T;

    WipingAllocator() = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) {}

    T* allocate(std::size_t count) { return std::allocator<T>{}.allocate(count); }
    void deallocate(T* data, std::size_t count) {
        secureZero(data, count * sizeof(T));
        std::allocator<T>{}.deallocate(data, count);
    }

    template <class U>
    friend bool operator==(const WipingAllocator&, const WipingAllocator<U>&) {
        return true;
    }
};

// Wide (UTF-16) and narrow (code page 932) text of the logic.
using WideString =
    std::basic_string<char16_t, std::char_traits<char16_t>, WipingAllocator<char16_t>>;
using NarrowString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;
using SecureBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

// Zeroes a string's whole storage (short strings live inside the object) and empties it.
template <class CharT, class Traits, class Alloc>
void wipe(std::basic_string<CharT, Traits, Alloc>& text) {
    secureZero(text.data(), (text.capacity() + 1) * sizeof(CharT));
    text.clear();
}

template <class T, class Alloc>
void wipe(std::vector<T, Alloc>& bytes) {
    secureZero(bytes.data(), bytes.capacity() * sizeof(T));
    bytes.clear();
}

// Wipes the named variable when the scope ends, on every way out.
template <class Container>
class WipeOnExit {
  public:
    explicit WipeOnExit(Container& container) : container_(container) {}
    ~WipeOnExit() { wipe(container_); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

  private:
    Container& container_;
};

}  // namespace tessaly::platform
