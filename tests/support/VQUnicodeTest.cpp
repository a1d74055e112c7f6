#include "support/VQUnicode.h"

#include <gtest/gtest.h>

#include <utility>

using namespace vq;

TEST(VQUnicode, StrictUtf8BothWays) {
  EXPECT_EQ(Utf8ToUtf16("\xC3\xA9"), u"\u00e9");
  EXPECT_EQ(Utf16ToUtf8(u"\u00e9"), "\xC3\xA9");
  EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98\x80"), u"\U0001F600");
  EXPECT_EQ(Utf16ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
  // Plain ASCII on either side of a multi-byte character.
  EXPECT_EQ(Utf8ToUtf16("ab\xC3\xA9" "cd"), u"ab\u00e9cd");
  EXPECT_EQ(Utf16ToUtf8(u"ab\u00e9cd"), "ab\xC3\xA9" "cd");
  // Ill-formed input gives an empty text, never a partial one.
  for (const char* Bad : {"\xC3", "a\xC3", "\x80", "\xC0\xAF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xE2\x82x", "\xFF"})
    EXPECT_EQ(Utf8ToUtf16(Bad), u"") << Bad;
  // The edges of the well-formed ranges.
  EXPECT_EQ(Utf8ToUtf16("\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"),
            u"\u0800\uD7FF\uE000\U00010000\U0010FFFF");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf8ToUtf16(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(VQUnicode, ReplacingMarksEachMaximalSubpart) {
  const std::pair<const char*, std::u16string> Cases[] = {
      {"a\xC3", u"a\uFFFD"},
      {"\xE2\x82x", u"\uFFFDx"},
      {"\xF0\x9F\x98", u"\uFFFD"},
      {"\xF0\x9F\x98\xF0\x9F\x98\x80", u"\uFFFD\U0001F600"},
      {"\xFF\xFE", u"\uFFFD\uFFFD"},
      {"\x80\xBF", u"\uFFFD\uFFFD"},
      // Overlong forms, surrogates and values above U+10FFFF: no lead byte takes the next.
      {"\xC0\xAF", u"\uFFFD\uFFFD"},
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      // Unicode's own example of the practice.
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
       u"a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd"},
      {"ab\xC3\xA9" "cd", u"ab\u00e9cd"},
      {"plain", u"plain"}};
  for (const auto& [Text, Expected] : Cases) {
    EXPECT_EQ(Utf8ToUtf16Replacing(Text), Expected) << Text;
    // Kept as UTF-8, the same marks in the same places.
    EXPECT_EQ(WellFormedUtf8(Text), Utf16ToUtf8(Expected)) << Text;
  }
}
