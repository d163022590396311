#include "smengine/TextUtility.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/WideString.h"
#include "resources/ResultCodes.h"
#include "support/TempEnvironment.h"

namespace {

std::u16string WidePath(const std::filesystem::path& path) { return FromUtf8(path.string()); }

std::filesystem::path SparseFile(const std::string& name, std::int64_t nSize) {
  const std::filesystem::path file = testsupport::WriteTempFile(name, "");
  if (::truncate(file.c_str(), nSize) != 0) ADD_FAILURE() << "truncate " << file;
  return file;
}

TEST(UTF16ToUTF8, ConvertsAndKeepsTerminatorOutOfLength) {
  struct Case {
    std::u16string wide;
    std::string utf8;
  };
  const Case cases[] = {
      {u"", ""},
      {u"abc", "abc"},
      {u"\u4E2D\u6587", "\xE4\xB8\xAD\xE6\x96\x87"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {std::u16string(1, char16_t{0xD800}), "\xEF\xBF\xBD"},  // unpaired surrogate replaced
  };
  for (const Case& c : cases) {
    LPSTR pszText = nullptr;
    int nLen = -1;
    ASSERT_EQ(UTF16ToUTF8(c.wide.c_str(), &pszText, &nLen), S_OK);
    EXPECT_EQ(std::string(pszText), c.utf8);
    EXPECT_EQ(nLen, static_cast<int>(c.utf8.size()));
    EXPECT_EQ(pszText[nLen], '\0');
    delete[] pszText;

    LPWSTR pwszBack = nullptr;
    ASSERT_EQ(UTF8ToUTF16(c.utf8.c_str(), &pwszBack, &nLen), S_OK);
    if (c.wide != std::u16string(1, char16_t{0xD800})) {
      EXPECT_EQ(std::u16string(pwszBack), c.wide);
    }
    EXPECT_EQ(pwszBack[nLen], u'\0');
    delete[] pwszBack;
  }
}

TEST(UTF8ToUTF16, ReplacesInvalidBytes) {
  LPWSTR pwszText = nullptr;
  int nLen = -1;
  ASSERT_EQ(UTF8ToUTF16("a\xFF" "b", &pwszText, &nLen), S_OK);
  EXPECT_EQ(std::u16string(pwszText), u"a\uFFFDb");
  EXPECT_EQ(nLen, 3);
  delete[] pwszText;
}

TEST(TextConversions, NullSourceLeavesOutputsUntouched) {
  LPSTR pszText = reinterpret_cast<LPSTR>(0x1);
  LPWSTR pwszText = reinterpret_cast<LPWSTR>(0x1);
  int nLen = 77;
  EXPECT_EQ(UTF16ToUTF8(nullptr, &pszText, &nLen), E_POINTER);
  EXPECT_EQ(UTF8ToUTF16(nullptr, &pwszText, &nLen), E_POINTER);
  EXPECT_EQ(UTF16ToUTF8(u"x", nullptr, &nLen), E_POINTER);
  EXPECT_EQ(pszText, reinterpret_cast<LPSTR>(0x1));
  EXPECT_EQ(pwszText, reinterpret_cast<LPWSTR>(0x1));
  EXPECT_EQ(nLen, 77);
}

TEST(SwapByteOrder, ReversesInPlace) {
  const std::vector<std::vector<BYTE>> inputs = {{}, {1}, {1, 2}, {1, 2, 3}, {1, 2, 3, 4, 5, 6}};
  for (std::vector<BYTE> data : inputs) {
    const std::vector<BYTE> expected(data.rbegin(), data.rend());
    SwapByteOrder(data.data(), static_cast<DWORD>(data.size()));
    EXPECT_EQ(data, expected);
  }
  SwapByteOrder(nullptr, 4);  // nothing to do, nothing to crash
}

TEST(SplitStrings, StopsAtFirstEmptyPiece) {
  struct Case {
    const char16_t* source;
    std::vector<std::u16string> pieces;
  };
  const Case cases[] = {
      {nullptr, {}},
      {u"", {}},
      {u"a", {u"a"}},
      {u"a||b", {u"a", u"b"}},
      {u"||a", {}},
      {u"a||||b", {u"a"}},
      {u"a||", {u"a"}},
      {u"x||y||||z", {u"x", u"y"}},
      {u"a|b||c d", {u"a|b", u"c d"}},
      {u"CN=A, O=B||CN=C", {u"CN=A, O=B", u"CN=C"}},
  };
  for (const Case& c : cases) {
    std::vector<std::u16string> pieces;
    SplitStrings(c.source, pieces);
    EXPECT_EQ(pieces, c.pieces) << (c.source ? ToUtf8(c.source) : "(null)");
  }

  std::vector<std::u16string> pieces = {u"kept"};
  SplitStrings(u"new", pieces);
  EXPECT_EQ(pieces, (std::vector<std::u16string>{u"kept", u"new"}));
}

TEST(ConvertBinaryDataToString, LowerCaseHexInEitherOrder) {
  const BYTE data[] = {0x01, 0x02, 0xFF};
  struct Case {
    int nReverse;
    const char16_t* text;
  };
  for (const Case& c : {Case{1, u"ff0201"}, Case{0, u"0102ff"}, Case{2, u"0102ff"}}) {
    LPWSTR pwszText = nullptr;
    ASSERT_EQ(ConvertBinaryDataToString(3, data, &pwszText, c.nReverse), S_OK);
    EXPECT_EQ(std::u16string(pwszText), c.text) << c.nReverse;
    delete[] pwszText;
  }

  LPWSTR pwszText = nullptr;
  ASSERT_EQ(ConvertBinaryDataToString(0, nullptr, &pwszText, 0), S_OK);
  EXPECT_EQ(std::u16string(pwszText), u"");
  delete[] pwszText;
  EXPECT_EQ(ConvertBinaryDataToString(3, nullptr, &pwszText, 0), E_INVALIDARG);
}

TEST(ConvertStringToBinaryData, ReversedDigitPairs) {
  struct Case {
    const char16_t* text;
    std::vector<BYTE> bytes;
  };
  const Case cases[] = {
      {u"2000000033", {0x33, 0x00, 0x00, 0x00, 0x20}},
      {u"0A1B2C3D", {0x3D, 0x2C, 0x1B, 0x0A}},
      {u"0a1b2c3d", {0x3D, 0x2C, 0x1B, 0x0A}},
      {u"abc", {0xAB}},  // odd last digit ignored
      {u"F", {}},
      {u"", {}},
  };
  for (const Case& c : cases) {
    DWORD dwLen = 99;
    BYTE* pbyData = nullptr;
    ASSERT_EQ(ConvertStringToBinaryData(&dwLen, c.text, &pbyData), S_OK) << ToUtf8(c.text);
    EXPECT_EQ(std::vector<BYTE>(pbyData, pbyData + dwLen), c.bytes) << ToUtf8(c.text);
    for (DWORD i = 0; i < 4; ++i) EXPECT_EQ(pbyData[dwLen + i], 0);  // zero tail for comparisons
    delete[] pbyData;
  }
}

TEST(ConvertStringToBinaryData, RefusesAnythingButHexDigits) {
  const char16_t* const bad[] = {u"12G4", u"0x12", u" 12", u"12 ", u"1-2", u"\uFF11\uFF12",
                                 nullptr};
  for (const char16_t* text : bad) {
    DWORD dwLen = 99;
    BYTE* pbyData = nullptr;
    EXPECT_EQ(ConvertStringToBinaryData(&dwLen, text, &pbyData), E_INVALIDARG)
        << (text ? ToUtf8(text) : "(null)");
    EXPECT_EQ(pbyData, nullptr);
    EXPECT_EQ(dwLen, 99u);
  }
}

TEST(HexText, RoundTripsSerialNumberOrder) {
  const BYTE littleEndian[] = {0x10, 0x00, 0xFE, 0x7F, 0x01};
  LPWSTR pwszText = nullptr;
  ASSERT_EQ(ConvertBinaryDataToString(5, littleEndian, &pwszText, 1), S_OK);
  EXPECT_EQ(std::u16string(pwszText), u"017ffe0010");
  DWORD dwLen = 0;
  BYTE* pbyData = nullptr;
  ASSERT_EQ(ConvertStringToBinaryData(&dwLen, pwszText, &pbyData), S_OK);
  EXPECT_EQ(std::vector<BYTE>(pbyData, pbyData + dwLen),
            std::vector<BYTE>(std::begin(littleEndian), std::end(littleEndian)));
  delete[] pwszText;
  delete[] pbyData;
}

TEST(ReadFileSimple, ReadsWholeFileZeroTerminated) {
  const std::string content("bytes\0and more", 14);
  const std::u16string path = WidePath(testsupport::WriteTempFile("data.bin", content));
  BYTE* pbyData = nullptr;
  DWORD dwSize = 0;
  ASSERT_EQ(ReadFileSimple(path.c_str(), &pbyData, &dwSize), S_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(pbyData), dwSize), content);
  EXPECT_EQ(pbyData[dwSize], 0);
  delete[] pbyData;

  pbyData = nullptr;  // the size is optional
  ASSERT_EQ(ReadFileSimple(path.c_str(), &pbyData, nullptr), S_OK);
  delete[] pbyData;
}

TEST(ReadFileSimple, EmptyFileAndSizeOnly) {
  const std::u16string path = WidePath(testsupport::WriteTempFile("empty.bin", ""));
  BYTE* pbyData = nullptr;
  DWORD dwSize = 99;
  ASSERT_EQ(ReadFileSimple(path.c_str(), &pbyData, &dwSize), S_OK);
  EXPECT_EQ(dwSize, 0u);
  ASSERT_NE(pbyData, nullptr);
  EXPECT_EQ(pbyData[0], 0);
  delete[] pbyData;

  const std::u16string sized = WidePath(testsupport::WriteTempFile("seven.bin", "1234567"));
  ASSERT_EQ(ReadFileSimple(sized.c_str(), nullptr, &dwSize), S_OK);
  EXPECT_EQ(dwSize, 7u);
  EXPECT_EQ(ReadFileSimple(sized.c_str(), nullptr, nullptr), S_OK);
}

TEST(ReadFileSimple, Failures) {
  const std::filesystem::path dir = testsupport::MakeTempDir("read");
  struct Case {
    std::u16string path;
    HRESULT expected;
  };
  const Case cases[] = {
      {WidePath(dir / "missing.bin"), MakeHResult(0x80070002u)},
      {WidePath(dir), MakeHResult(0x80070005u)},  // a folder cannot be read as a file
  };
  for (const Case& c : cases) {
    BYTE* pbyData = nullptr;
    DWORD dwSize = 99;
    EXPECT_EQ(ReadFileSimple(c.path.c_str(), &pbyData, &dwSize), c.expected) << ToUtf8(c.path);
    EXPECT_EQ(pbyData, nullptr);
    EXPECT_EQ(dwSize, 99u);
  }
  EXPECT_EQ(ReadFileSimple(nullptr, nullptr, nullptr), E_INVALIDARG);
}

TEST(ReadFileSimple, RefusesFilesOfFourGibibytesOrMore) {
  // Sparse files: no disk space is used.
  const std::u16string largest = WidePath(SparseFile("largest.bin", 0xFFFFFFFFLL));
  DWORD dwSize = 0;
  ASSERT_EQ(ReadFileSimple(largest.c_str(), nullptr, &dwSize), S_OK);
  EXPECT_EQ(dwSize, 0xFFFFFFFFu);

  for (const std::int64_t nSize : {std::int64_t{1} << 32, std::int64_t{5} << 30}) {
    const std::u16string path = WidePath(SparseFile("huge.bin", nSize));
    BYTE* pbyData = nullptr;
    dwSize = 99;
    EXPECT_EQ(ReadFileSimple(path.c_str(), nullptr, &dwSize), SIGIL_E_FILE_TOO_LARGE) << nSize;
    EXPECT_EQ(ReadFileSimple(path.c_str(), &pbyData, &dwSize), SIGIL_E_FILE_TOO_LARGE) << nSize;
    EXPECT_EQ(pbyData, nullptr);
    EXPECT_EQ(dwSize, 99u);
  }
}

}  // namespace
