#include "ui/password_rule.h"

namespace tessaly {

int checkPassword(std::u16string_view password) {
    constexpr std::size_t kMinUnits = 1;
    constexpr std::size_t kMaxUnits = 16;
    return password.size() >= kMinUnits && password.size() <= kMaxUnits ? 1 : 0;
}

}  // namespace tessaly
