#include "renewal/encodings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessaly {
namespace {

using ::testing::ElementsAreArray;

std::vector<std::u16string> split(std::u16string_view text, char16_t delimiter) {
    std::vector<WideString> tokens{WideString(u"left over")};
    splitString(text, delimiter, tokens);
    std::vector<std::u16string> plain;
    for (const auto& token : tokens) {
        plain.emplace_back(token.begin(), token.end());
    }
    return plain;
}

std::u16string plain(const WideString& text) {
    return {text.begin(), text.end()};
}
std::string plain(const NarrowString& text) {
    return {text.begin(), text.end()};
}

TEST(SplitString, KeepsEmptyTokensAndAlwaysAppendsTheRest) {
    struct Case {
        std::u16string text;
        char16_t delimiter;
        std::vector<std::u16string> tokens;
    };
    const Case cases[] = {
        {u"", u':', {u""}},
        {u"abc", u':', {u"abc"}},
        {u"a:", u':', {u"a", u""}},
        {u":a", u':', {u"", u"a"}},
        {u"a::b", u':', {u"a", u"", u"b"}},
        {u"0:abc:def", u':', {u"0", u"abc", u"def"}},
        {u"Corvane Banking Union CA;Corvane Banking Union CA G2;",
         u';',
         {u"Corvane Banking Union CA", u"Corvane Banking Union CA G2", u""}},
    };
    for (const auto& c : cases) {
        EXPECT_THAT(split(c.text, c.delimiter), ElementsAreArray(c.tokens))
            << std::string(c.text.begin(), c.text.end());
    }
}

TEST(UrlEncode, PassesOnlyLettersDigitsAndThreeMarks) {
    struct Case {
        std::u16string text;
        std::u16string encoded;
    };
    const Case cases[] = {
        {u"a b", u"a+b"},
        {u"A-Z_.~", u"A-Z_.%7E"},
        {u"+/=", u"%2B%2F%3D"},
        {u"", u""},
        {u"*!'()", u"%2A%21%27%28%29"},
        {u"ア", u"%83A"},  // 0x83 0x41 in code page 932: the trail byte is a letter
        {u"パス ワード", u"%83p%83X+%83%8F%81%5B%83h"},
        {u"\\\"<>|:?", u"%5C%22%3C%3E%7C%3A%3F"},
        {u"\u00e9", u"%3F"},  // not in code page 932: replaced, then escaped
    };
    for (const auto& c : cases) {
        EXPECT_EQ(plain(urlEncode(c.text)), c.encoded) << std::string(c.text.begin(), c.text.end());
    }
}

TEST(Base64Encode, PadsShortGroupsAndNeverBreaksLines) {
    struct Case {
        std::string bytes;
        std::string text;
    };
    const Case cases[] = {
        {"", ""},
        {"a", "YQ=="},
        {"ab", "YWI="},
        {"abc", "YWJj"},
        {"abcd", "YWJjZA=="},
        {std::string("\xff\xfe\xfd\x00\x01", 5), "//79AAE="},
        {std::string("\xfb\xff", 2), "+/8="},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(plain(base64Encode(reinterpret_cast<const std::uint8_t*>(c.bytes.data()),
                                     c.bytes.size())),
                  c.text);
    }
    const std::string long_input(3000, '\x5a');
    const NarrowString encoded =
        base64Encode(reinterpret_cast<const std::uint8_t*>(long_input.data()), long_input.size());
    EXPECT_EQ(encoded.size(), 4000u);
    EXPECT_EQ(encoded.find_first_of("\r\n"), NarrowString::npos);
}

TEST(CodePageConversion, RoundTripsJapaneseTextAndStopsAtTheFirstNul) {
    const std::u16string text = u"証明書は正しくインポートされました。ｱｲｳ ABC";
    const NarrowString narrow = toNarrow(text);
    EXPECT_EQ(plain(toWide(std::string_view(narrow.data(), narrow.size()))), text);

    EXPECT_EQ(plain(toNarrow(u"ア")), "\x83\x41");
    EXPECT_EQ(plain(toWide(std::string_view("abc\0def", 7))), u"abc");
    EXPECT_EQ(plain(toNarrow(std::u16string_view(u"abc\0def", 7))), "abc");
    EXPECT_TRUE(toNarrow(u"").empty());
    EXPECT_TRUE(toWide("").empty());
}

TEST(CodePageConversion, ReplacesWhatTheOtherSideLacksWithoutThrowing) {
    // Characters outside code page 932, including one outside the BMP and a lone surrogate.
    EXPECT_EQ(plain(toNarrow(u"a\u00e9b")), "a?b");
    EXPECT_EQ(plain(toNarrow(u"a\U0001F600b")), "a?b");
    EXPECT_EQ(plain(toNarrow(std::u16string(u"a") + char16_t(0xD800) + u"b")), "a?b");
    // Bytes that are no valid code page 932: a bad trail byte, a lone lead byte at the end.
    EXPECT_EQ(plain(toWide("a\x85\x20z")), u"a\uFFFD z");
    EXPECT_EQ(plain(toWide("ab\x83")), u"ab\uFFFD");
    EXPECT_EQ(plain(toWide("\xff\xfe")), u"\uFFFD\uFFFD");
}

}  // namespace
}  // namespace tessaly
