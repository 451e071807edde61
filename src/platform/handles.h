// Small value types that name objects living inside a platform service.
// A handle is an opaque number chosen by the service; 0 is "no handle".
#pragma once

#include <cstdint>

namespace tessaly::platform {

template <class Tag>
struct Handle {
    std::uint64_t value = 0;

    explicit operator bool() const { return value != 0; }
    friend bool operator==(Handle, Handle) = default;
};

using InternetHandle = Handle<struct InternetHandleTag>;
using StoreHandle = Handle<struct StoreHandleTag>;
using CertHandle = Handle<struct CertHandleTag>;
using ModuleHandle = Handle<struct ModuleHandleTag>;

}  // namespace tessaly::platform
