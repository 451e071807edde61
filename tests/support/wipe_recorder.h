// Records every range the wiping containers zero while it lives, so a test can prove that
// the memory a secret occupied was wiped.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaly::fakes {

class WipeRecorder {
  public:
    WipeRecorder();   // starts recording, forgetting earlier ranges
    ~WipeRecorder();  // stops recording
    WipeRecorder(const WipeRecorder&) = delete;
    WipeRecorder& operator=(const WipeRecorder&) = delete;

    // True when [at, at + size) lies inside one zeroed range.
    bool wasWiped(std::uintptr_t at, std::size_t size) const;
};

}  // namespace tessaly::fakes
