#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "platform/base/Format.h"

TEST(Format, TraceLineLayouts) {
  EXPECT_EQ(FormatW(u"[%ws(%d):] %ws - %ws [Reason:%ws]", u"npMessageSigning", 412, u"SignMsgPKCS7",
                    u"Convert data", u"FAILED(hResult)"),
            u"[npMessageSigning(412):] SignMsgPKCS7 - Convert data [Reason:FAILED(hResult)]");
  EXPECT_EQ(FormatW(u"%ws - %ws", u"GetCertInfo", u"\u8bfb\u53d6"), u"GetCertInfo - \u8bfb\u53d6");
}

TEST(Format, HexOfNegativeResultCodeIsItsUnsigned32Bits) {
  const HRESULT sigil = MakeHResult(0xA0071006u);
  EXPECT_EQ(FormatW(u"\n(0x%08x)", sigil), u"\n(0xa0071006)");
  EXPECT_EQ(FormatW(u"\n(0x%08x)", S_OK), u"\n(0x00000000)");
  EXPECT_EQ(FormatW(u"%X", E_INVALIDARG), u"80070057");
  EXPECT_EQ(FormatA("%u", -1), "4294967295");
  EXPECT_EQ(FormatA("%x", std::int64_t{-1}), "ffffffffffffffff");  // a 64-bit value keeps its width
  EXPECT_EQ(FormatA("%llx", -1), "ffffffffffffffff");
  EXPECT_EQ(FormatA("%hx", -1), "ffff");
  EXPECT_EQ(FormatA("%hhu", 300), "44");
}

TEST(Format, IntegerFlagsWidthPrecision) {
  const struct {
    const char* format;
    long long value;
    const char* expected;
  } cases[] = {
      {"%d", INT_MIN, "-2147483648"},
      {"%5d", 42, "   42"},
      {"%-5d|", 42, "42   |"},
      {"%05d", -42, "-0042"},
      {"%+d", 7, "+7"},
      {"% d", 7, " 7"},
      {"%.3d", 7, "007"},
      {"%08.3d", 7, "     007"},  // precision turns off zero fill
      {"%.0d", 0, ""},
      {"%#x", 255, "0xff"},
      {"%#X", 255, "0XFF"},
      {"%#x", 0, "0"},
      {"%o", 8, "10"},
      {"%#o", 8, "010"},
      {"%i", -5, "-5"},
      {"%I64d", -9000000000LL, "-9000000000"},
      {"%lld", LLONG_MIN, "-9223372036854775808"},
      {"%02d/%d/%d", 3, "03/?/?"},  // missing arguments print "?"
  };
  for (const auto& c : cases) EXPECT_EQ(FormatA(c.format, c.value), c.expected) << c.format;
  EXPECT_EQ(FormatA("%*d|%-*d|", 4, 1, 3, 2), "   1|2  |");
  EXPECT_EQ(FormatA("%*d", -4, 1), "1   ");
  EXPECT_EQ(FormatA("%.*d", 3, 1), "001");
  EXPECT_EQ(FormatA("%zu %u %d", std::size_t{123}, std::uint8_t{200}, std::int8_t{-3}),
            "123 200 -3");
  enum class Color : std::uint16_t { Red = 7 };
  EXPECT_EQ(FormatA("%d", Color::Red), "7");
  EXPECT_EQ(FormatA("%d%%", true), "1%");
}

TEST(Format, StringConversionsMixWideAndNarrow) {
  const std::string narrow = "\xE4\xB8\xAD-n";  // UTF-8
  EXPECT_EQ(FormatW(u"%S|%hs|%ws|%s", narrow.c_str(), "a", u"b", u"c"), u"\u4e2d-n|a|b|c");
  EXPECT_EQ(FormatA("%s|%hs|%ws|%S|%ls", "a", "b", u"\u4e2d", u"d", u"e"), "a|b|\xE4\xB8\xAD|d|e");
  EXPECT_EQ(FormatW(u"%s", std::u16string(u"str")), u"str");
  EXPECT_EQ(FormatA("%s", std::string_view("view")), "view");
  const char16_t* nullWide = nullptr;
  const char* nullNarrow = nullptr;
  EXPECT_EQ(FormatW(u"%ws %S %s", nullWide, nullNarrow, nullptr), u"(null) (null) (null)");
  EXPECT_EQ(FormatA("[%6s][%-6s][%.2s]", "abc", "abc", "abc"), "[   abc][abc   ][ab]");
}

TEST(Format, PrecisionNeverSplitsACharacter) {
  EXPECT_EQ(FormatW(u"%.1s", u"\U0001F600x"), u"");
  EXPECT_EQ(FormatW(u"%.2s", u"\U0001F600x"), u"\U0001F600");
  EXPECT_EQ(FormatA("%.2s", "\xE4\xB8\xAD"), "");
  EXPECT_EQ(FormatA("%.3s", "\xE4\xB8\xAD"), "\xE4\xB8\xAD");
  const char unterminated[3] = {'a', 'b', 'c'};
  EXPECT_EQ(FormatA("%.3s", static_cast<const char*>(unterminated)), "abc");
}

TEST(Format, CharactersFloatsAndPointers) {
  EXPECT_EQ(FormatW(u"%c%c%C", u'A', char16_t(0x4e2d), 'b'), u"A\u4e2db");
  EXPECT_EQ(FormatA("%c%lc", 'x', char16_t(0xE9)), "x\xC3\xA9");
  EXPECT_EQ(FormatA("%3c|", 'x'), "  x|");
  EXPECT_EQ(FormatA("%.2f %e %g", 3.14159, 1500.0, 0.5), "3.14 1.500000e+03 0.5");
  EXPECT_EQ(FormatA("%8.3f|", -1.5), "  -1.500|");
  EXPECT_EQ(FormatA("%.1f", 2), "2.0");  // an integer is widened for %f
  EXPECT_EQ(FormatA("%p", reinterpret_cast<void*>(0xABCDu)), "000000000000ABCD");
}

TEST(Format, MismatchedArgumentsPrintQuestionMark) {
  EXPECT_EQ(FormatW(u"%d|%s|%c|%x", u"text", 5, "str", 1.5), u"?|?|?|?");
  EXPECT_EQ(FormatA("%5d|", "text"), "    ?|");
  EXPECT_EQ(FormatA("%s"), "?");
}

TEST(Format, MalformedFormatFails) {
  char buffer[16] = "keep";
  EXPECT_EQ(sprintf_s(buffer, "%n", 1), -1);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(FormatA("abc%"), "");
  EXPECT_EQ(FormatA("%y", 1), "");
  EXPECT_EQ(FormatA("%99999999d", 1), "");  // absurd width
  EXPECT_EQ(FormatW(nullptr), u"");
}

TEST(SecureFormat, SwprintfWritesAllOrNothing) {
  char16_t buffer[8] = u"old";
  EXPECT_EQ(swprintf_s(buffer, 8, u"%d-%ws", 12, u"abcd"), 7);
  EXPECT_EQ(std::u16string(buffer), u"12-abcd");
  EXPECT_EQ(swprintf_s(buffer, u"%d-%ws", 123, u"abcd"), -1);  // 8 chars need 9
  EXPECT_EQ(buffer[0], 0);
  const std::size_t noRoom = 0;
  EXPECT_EQ(swprintf_s(buffer, noRoom, u"x"), -1);
  EXPECT_EQ(swprintf_s(nullptr, 8, u"x"), -1);
}

TEST(SecureFormat, TruncatingVariants) {
  char16_t buffer[6];
  EXPECT_EQ(_snwprintf_s(buffer, 6, _TRUNCATE, u"%ws", u"abcdefgh"), -1);
  EXPECT_EQ(std::u16string(buffer), u"abcde");
  EXPECT_EQ(_snwprintf_s(buffer, _TRUNCATE, u"%ws", u"abc"), 3);
  EXPECT_EQ(std::u16string(buffer), u"abc");
  EXPECT_EQ(_snwprintf_s(buffer, 6, 2, u"%ws", u"abc"), -1);  // count below the buffer size
  EXPECT_EQ(std::u16string(buffer), u"ab");
  EXPECT_EQ(_snwprintf_s(buffer, 6, 10, u"%ws", u"abcdefgh"), -1);  // count beyond: all or nothing
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(_snwprintf_s(buffer, 6, _TRUNCATE, u"abcd\U0001F600"), -1);  // pair kept whole
  EXPECT_EQ(std::u16string(buffer), u"abcd");

  char narrow[4];
  EXPECT_EQ(_snprintf_s(narrow, sizeof narrow, _TRUNCATE, "%d", 123456), -1);
  EXPECT_STREQ(narrow, "123");
  EXPECT_EQ(sprintf_s(narrow, "%s", "abc"), 3);
  EXPECT_EQ(sprintf_s(narrow, sizeof narrow, "%s", "abcd"), -1);
  EXPECT_STREQ(narrow, "");
}
