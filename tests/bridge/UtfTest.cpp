// Texts at the browser's edge: what a page sends must be exact UTF-8, what
// the agent gives back always goes out, a lone surrogate as U+FFFD.
#include <gtest/gtest.h>

#include <string>

#include "bridge/Utf.h"

namespace {

TEST(Utf, ValidUtf8BecomesUtf16WithSurrogatePairs) {
  std::u16string out;
  ASSERT_TRUE(bridge::Utf8ToUtf16Strict("a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", &out));
  EXPECT_EQ(out, u"a\u00e9\u4e2d\U0001F600\U0010FFFF");
  ASSERT_TRUE(bridge::Utf8ToUtf16Strict(std::string("\0x", 2), &out));
  EXPECT_EQ(out, std::u16string(u"\0x", 2));
}

TEST(Utf, InvalidUtf8IsRefused) {
  const char* const cases[] = {
      "\x80",              // continuation byte first
      "\xC0\xAF",          // overlong '/'
      "\xC1\xBF",          // overlong
      "\xE0\x80\xAF",      // overlong, three bytes
      "\xF0\x80\x80\xAF",  // overlong, four bytes
      "\xED\xA0\x80",      // U+D800 encoded
      "\xED\xBF\xBF",      // U+DFFF encoded
      "\xF4\x90\x80\x80",  // past U+10FFFF
      "\xF5\x80\x80\x80",
      "\xFF",
      "\xC3",              // cut short
      "\xE4\xB8",
      "\xF0\x9F\x98",
      "\xC3(",             // continuation missing
      "abc\xF0\x9F\x98" "d",
  };
  for (const char* text : cases) {
    std::u16string out;
    EXPECT_FALSE(bridge::Utf8ToUtf16Strict(text, &out)) << text;
  }
}

TEST(Utf, AgentTextWithLoneSurrogatesStillGoesOut) {
  const std::u16string pair = u"\U0001F600";
  EXPECT_EQ(bridge::Utf16ToUtf8Lenient(pair), "\xF0\x9F\x98\x80");
  EXPECT_EQ(bridge::Utf16ToUtf8Lenient(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
  EXPECT_EQ(bridge::Utf16ToUtf8Lenient(std::u16string(1, u'\xDC00')), "\xEF\xBF\xBD");
  // High then high, low alone at the end, reversed pair.
  const std::u16string mixed = {u'a', 0xD800, 0xD801, 0xDC01, u'b', 0xDC00, 0xD800};
  EXPECT_EQ(bridge::Utf16ToUtf8Lenient(mixed),
            "a\xEF\xBF\xBD\xF0\x90\x90\x81" "b\xEF\xBF\xBD\xEF\xBF\xBD");
  std::u16string back;
  EXPECT_TRUE(bridge::Utf8ToUtf16Strict(bridge::Utf16ToUtf8Lenient(mixed), &back));
}

TEST(Utf, EveryCodePointRoundTrips) {
  for (char32_t cp = 0; cp <= 0x10FFFF; cp += (cp < 0x800 ? 1 : 61)) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    std::u16string wide;
    if (cp >= 0x10000) {
      wide = {static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)),
              static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF))};
    } else {
      wide = {static_cast<char16_t>(cp)};
    }
    std::u16string back;
    ASSERT_TRUE(bridge::Utf8ToUtf16Strict(bridge::Utf16ToUtf8Lenient(wide), &back)) << static_cast<uint32_t>(cp);
    ASSERT_EQ(back, wide) << static_cast<uint32_t>(cp);
  }
}

}  // namespace
