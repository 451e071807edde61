#include "ui/password_rule.h"

#include <gtest/gtest.h>

#include <string>

namespace tessaly {
namespace {

TEST(PasswordRule, AcceptsOneToSixteenCodeUnitsOfAnyCharacters) {
    const std::u16string astral = u"\U0001F511";  // two code units
    const auto times = [](const std::u16string& text, int count) {
        std::u16string repeated;
        for (int i = 0; i < count; ++i) {
            repeated += text;
        }
        return repeated;
    };
    struct Case {
        std::u16string password;
        int expected;
    };
    const Case cases[] = {
        {u"", 0},
        {u"a", 1},
        {std::u16string(16, u'x'), 1},
        {std::u16string(17, u'x'), 0},
        {u"Pass Word-\\/:*?", 1},
        {u"\"<>|", 1},
        {u"証明書の合言葉", 1},
        {std::u16string(16, u'字'), 1},
        {std::u16string(17, u'字'), 0},
        {times(astral, 8), 1},
        {times(astral, 9), 0},
        {astral + std::u16string(15, u'x'), 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(checkPassword(c.password), c.expected) << c.password.size() << " units";
    }
}

}  // namespace
}  // namespace tessaly
