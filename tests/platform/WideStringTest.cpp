#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/base/LastError.h"
#include "platform/base/WideString.h"

namespace {
// U+1F600 as a surrogate pair and as UTF-8.
constexpr char16_t kPair[] = u"\U0001F600";
constexpr char kPairUtf8[] = "\xF0\x9F\x98\x80";
}  // namespace

TEST(Utf8Conversion, RoundTripsAllPlanes) {
  const std::u16string text = u"A\u00e9\u4e2d\U0001F600z";
  const std::string utf8 = ToUtf8(text);
  EXPECT_EQ(utf8, "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z");
  EXPECT_EQ(FromUtf8(utf8), text);
}

TEST(Utf8Conversion, UnpairedSurrogatesBecomeReplacement) {
  const struct {
    std::u16string in;
    std::string out;
  } cases[] = {
      {std::u16string(1, char16_t(0xD800)) + u"x", "\xEF\xBF\xBDx"},  // lone high
      {u"x" + std::u16string(1, char16_t(0xDC00)), "x\xEF\xBF\xBD"},  // lone low
      {std::u16string{char16_t(0xDC00), char16_t(0xD800)}, "\xEF\xBF\xBD\xEF\xBF\xBD"},  // reversed
      {std::u16string(1, char16_t(0xD83D)), "\xEF\xBF\xBD"},  // high at end
  };
  for (const auto& c : cases) EXPECT_EQ(ToUtf8(c.in), c.out);
}

TEST(Utf8Conversion, InvalidUtf8BecomesReplacement) {
  const struct {
    std::string in;
    std::u16string out;
  } cases[] = {
      {"a\x80z", u"a\uFFFDz"},                            // stray continuation
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong lead
      {"\xE4\xB8", u"\uFFFD"},                            // truncated sequence: one U+FFFD
      {"\xE4\xB8z", u"\uFFFDz"},                          // truncation keeps the next byte
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xFF", u"\uFFFD"},
  };
  for (const auto& c : cases) EXPECT_EQ(FromUtf8(c.in), c.out) << "input size " << c.in.size();
}

TEST(WideCharToMultiByte, SizeQueryAndCopyWithTerminator) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, kPair, -1, nullptr, 0, nullptr, nullptr);
  EXPECT_EQ(size, 5);  // 4 bytes + terminator
  char out[8] = {};
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, kPair, -1, out, sizeof out, nullptr, nullptr), 5);
  EXPECT_STREQ(out, kPairUtf8);
}

TEST(WideCharToMultiByte, ExplicitLengthWritesNoTerminator) {
  char out[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"abc", 2, out, 4, nullptr, nullptr), 2);
  EXPECT_EQ(out[0], 'a');
  EXPECT_EQ(out[1], 'b');
  EXPECT_EQ(out[2], 'x');
}

TEST(WideCharToMultiByte, TooSmallBufferFails) {
  char out[4] = {};
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, kPair, -1, out, 4, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(WideCharToMultiByte, StrictFlagRejectsUnpairedSurrogate) {
  const char16_t bad[] = {u'a', char16_t(0xD800), 0};
  EXPECT_EQ(
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, bad, -1, nullptr, 0, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, bad, -1, nullptr, 0, nullptr, nullptr), 5);
}

TEST(WideCharToMultiByte, BadArguments) {
  char out[8];
  BOOL used = FALSE;
  const struct {
    UINT cp;
    LPCWSTR src;
    int cch;
    LPSTR dest;
    int cb;
    LPCSTR def;
    BOOL* used;
  } cases[] = {
      {1252, u"a", -1, out, 8, nullptr, nullptr},  // unsupported code page
      {CP_UTF8, nullptr, -1, out, 8, nullptr, nullptr},
      {CP_UTF8, u"a", 0, out, 8, nullptr, nullptr},
      {CP_UTF8, u"a", -2, out, 8, nullptr, nullptr},
      {CP_UTF8, u"a", -1, nullptr, 8, nullptr, nullptr},
      {CP_UTF8, u"a", -1, out, -1, nullptr, nullptr},
      {CP_UTF8, u"a", -1, out, 8, "?", nullptr},  // not allowed with UTF-8
      {CP_UTF8, u"a", -1, out, 8, nullptr, &used},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(c.cp, 0, c.src, c.cch, c.dest, c.cb, c.def, c.used), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0x400, u"a", -1, out, 8, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
}

TEST(MultiByteToWideChar, SizeQueryCopyAndTooSmall) {
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kPairUtf8, -1, nullptr, 0), 3);
  char16_t out[3] = {};
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kPairUtf8, -1, out, 3), 3);
  EXPECT_EQ(std::u16string(out), kPair);
  char16_t small[2];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kPairUtf8, -1, small, 2), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(MultiByteToWideChar, InvalidInput) {
  char16_t out[8] = {};
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\xFF", 2, out, 8), 2);
  EXPECT_EQ(out[1], 0xFFFD);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF", 2, out, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, -1, out, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a", 0, out, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(SecureCopy, WcscpyOverflowEmptiesDestination) {
  char16_t dest[4] = u"xyz";
  EXPECT_EQ(wcscpy_s(dest, 4, u"abcd"), ERANGE);
  EXPECT_EQ(dest[0], 0);
  EXPECT_EQ(wcscpy_s(dest, 4, u"abc"), 0);
  EXPECT_EQ(std::u16string(dest), u"abc");
  EXPECT_EQ(wcscpy_s(dest, 4, nullptr), EINVAL);
  EXPECT_EQ(dest[0], 0);
  EXPECT_EQ(wcscpy_s(nullptr, 4, u"a"), EINVAL);
  EXPECT_EQ(wcscpy_s(dest, 0, u"a"), EINVAL);
}

TEST(SecureCopy, WcscatChecksRemainingRoom) {
  char16_t dest[6] = u"ab";
  EXPECT_EQ(wcscat_s(dest, 6, u"cde"), 0);
  EXPECT_EQ(std::u16string(dest), u"abcde");
  EXPECT_EQ(wcscat_s(dest, 6, u"f"), ERANGE);
  EXPECT_EQ(dest[0], 0);
  char16_t unterminated[2] = {u'a', u'b'};
  EXPECT_EQ(wcscat_s(unterminated, 2, u""), EINVAL);
  EXPECT_EQ(unterminated[0], 0);
}

TEST(SecureCopy, WcsncpyCountAndTruncate) {
  char16_t dest[4];
  EXPECT_EQ(wcsncpy_s(dest, 4, u"abcdef", 2), 0);
  EXPECT_EQ(std::u16string(dest), u"ab");
  EXPECT_EQ(wcsncpy_s(dest, 4, u"abcdef", 5), ERANGE);
  EXPECT_EQ(dest[0], 0);
  EXPECT_EQ(wcsncpy_s(dest, 4, u"abcdef", static_cast<std::size_t>(-1)), 80);  // STRUNCATE
  EXPECT_EQ(std::u16string(dest), u"abc");
}

TEST(WideCompare, CaseFoldsAsciiOnly) {
  const struct {
    LPCWSTR a;
    LPCWSTR b;
    int sign;
  } cases[] = {
      {u"Hello", u"hELLO", 0},
      {u"abc", u"ABD", -1},
      {u"abc", u"ab", 1},
      {u"[", u"a", -1},            // '[' sits between 'Z' and 'a'
      {u"\u00C9", u"\u00E9", -1},  // É and é are not folded
      {u"", u"", 0},
  };
  for (const auto& c : cases) {
    const int r = _wcsicmp(c.a, c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign);
  }
  EXPECT_EQ(_wcsnicmp(u"PKCS7-x", u"pkcs7-y", 6), 0);
  EXPECT_NE(_wcsnicmp(u"PKCS7-x", u"pkcs7-y", 7), 0);
  EXPECT_LT(wcscmp(u"a", u"\u4e2d"), 0);  // code units compare unsigned
}

TEST(WideSearch, FindFunctions) {
  LPCWSTR text = u"C:\\dir\\file.txt";
  EXPECT_EQ(wcschr(text, u'\\'), text + 2);
  EXPECT_EQ(wcsrchr(text, u'\\'), text + 6);
  EXPECT_EQ(wcschr(text, u'#'), nullptr);
  EXPECT_EQ(wcschr(text, 0), text + wcslen(text));
  EXPECT_EQ(wcsstr(text, u"file"), text + 7);
  EXPECT_EQ(wcsstr(text, u"FILE"), nullptr);
  EXPECT_EQ(StrStrIW(text, u"FILE.TXT"), text + 7);
  EXPECT_EQ(StrStrIW(text, u"zip"), nullptr);
  EXPECT_EQ(StrStrIW(text, u""), nullptr);
  EXPECT_EQ(StrStrIW(nullptr, u"a"), nullptr);
  LPCWSTR overlap = u"aaab";
  EXPECT_EQ(StrStrIW(overlap, u"AAB"), overlap + 1);
}
