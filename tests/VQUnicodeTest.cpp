#include "VQUnicode.h"

#include <gtest/gtest.h>

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
  for (const char* Bad : {"\xC3", "a\xC3", "\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF"})
    EXPECT_EQ(Utf8ToUtf16(Bad), u"") << Bad;
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf8ToUtf16(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}
