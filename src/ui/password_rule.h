// The rule a password must meet before the picker opens.
#pragma once

#include <string_view>

namespace tessaly {

// 1 when the password is 1 to 16 UTF-16 code units long, else 0. Characters are not examined.
int checkPassword(std::u16string_view password);

}  // namespace tessaly
