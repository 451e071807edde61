// Conversions between the logic's UTF-16 text and QString (both count UTF-16 code units).
#pragma once

#include <QString>
#include <string>
#include <string_view>

#include "platform/secure_memory.h"

namespace tessaly::ui {

inline QString toQString(std::u16string_view text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::u16string toU16(const QString& text) {
    return {reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size())};
}

// A secret read out of a widget: the copy made here is wiped when released.
inline platform::WideString toSecret(const QString& text) {
    return {reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size())};
}

}  // namespace tessaly::ui
