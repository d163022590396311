#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/base/WideString.h"
#include "resources/ResultCodes.h"
#include "smengine/common/TextUtility.h"
#include "support/TempEnvironment.h"

namespace {

std::u16string TempFile(const std::string& name, const std::string& bytes,
                        std::int64_t nSparseSize = 0) {
  const std::filesystem::path file = testsupport::WriteTempFile(name, bytes);
  if (nSparseSize > 0 && ::truncate(file.c_str(), nSparseSize) != 0) ADD_FAILURE() << file;
  return FromUtf8(file.string());
}

TEST(UTFConversions, BothDirections) {
  struct Case {
    std::u16string wide;
    std::string utf8;
  };
  const Case cases[] = {{u"", ""},
                        {u"abc", "abc"},
                        {u"\u4E2D\u6587", "\xE4\xB8\xAD\xE6\x96\x87"},
                        {u"\U0001F600", "\xF0\x9F\x98\x80"}};
  for (const Case& c : cases) {
    LPSTR pszText = nullptr;
    LPWSTR pwszText = nullptr;
    int nLen = -1, nWideLen = -1;
    ASSERT_EQ(UTF16ToUTF8(c.wide.c_str(), &pszText, &nLen), S_OK);
    ASSERT_EQ(UTF8ToUTF16(c.utf8.c_str(), &pwszText, &nWideLen), S_OK);
    EXPECT_EQ(std::string(pszText, static_cast<std::size_t>(nLen) + 1), c.utf8 + '\0');
    EXPECT_EQ(std::u16string(pwszText, static_cast<std::size_t>(nWideLen) + 1), c.wide + u'\0');
    delete[] pszText;
    delete[] pwszText;
  }
}

TEST(UTFConversions, InvalidInputReplacedNullRefused) {
  const char16_t lone[] = {u'a', 0xD800, u'b', 0};
  LPSTR pszText = nullptr;
  ASSERT_EQ(UTF16ToUTF8(lone, &pszText, nullptr), S_OK);
  EXPECT_STREQ(pszText,
               "a\xEF\xBF\xBD"
               "b");
  delete[] pszText;

  LPWSTR pwszText = reinterpret_cast<LPWSTR>(0x1);
  int nLen = 77;
  EXPECT_EQ(UTF16ToUTF8(nullptr, &pszText, &nLen), E_POINTER);
  EXPECT_EQ(UTF8ToUTF16(nullptr, &pwszText, &nLen), E_POINTER);
  EXPECT_EQ(pwszText, reinterpret_cast<LPWSTR>(0x1));
  EXPECT_EQ(nLen, 77);
}

TEST(SwapByteOrder, ReversesInPlace) {
  for (std::vector<BYTE> data : std::vector<std::vector<BYTE>>{{}, {1}, {1, 2}, {1, 2, 3, 4, 5}}) {
    const std::vector<BYTE> expected(data.rbegin(), data.rend());
    SwapByteOrder(data.data(), static_cast<DWORD>(data.size()));
    EXPECT_EQ(data, expected);
  }
}

TEST(SplitStrings, StopsAtFirstEmptyPiece) {
  struct Case {
    const char16_t* source;
    std::vector<std::u16string> pieces;
  };
  const Case cases[] = {{nullptr, {}},
                        {u"", {}},
                        {u"a", {u"a"}},
                        {u"a||b", {u"a", u"b"}},
                        {u"||a", {}},
                        {u"a||||b", {u"a"}},
                        {u"a||", {u"a"}},
                        {u"x||y||||z", {u"x", u"y"}},
                        {u"a|b||c d", {u"a|b", u"c d"}}};
  for (const Case& c : cases) {
    std::vector<std::u16string> pieces = {u"kept"};
    SplitStrings(c.source, pieces);
    pieces.erase(pieces.begin());
    EXPECT_EQ(pieces, c.pieces) << (c.source ? ToUtf8(c.source) : "(null)");
  }
}

TEST(HexText, BytesToText) {
  const BYTE data[] = {0x01, 0x02, 0xFF};
  for (const auto& [nReverse, text] :
       {std::pair{1, u"ff0201"}, std::pair{0, u"0102ff"}, std::pair{2, u"0102ff"}}) {
    LPWSTR pwszText = nullptr;
    ASSERT_EQ(ConvertBinaryDataToString(3, data, &pwszText, nReverse), S_OK);
    EXPECT_EQ(std::u16string(pwszText), text);
    delete[] pwszText;
  }
}

TEST(HexText, TextToBytesLastPairFirst) {
  struct Case {
    const char16_t* text;
    HRESULT hResult;
    std::vector<BYTE> bytes;
  };
  const Case cases[] = {
      {u"2000000033", S_OK, {0x33, 0x00, 0x00, 0x00, 0x20}},
      {u"0A1B2c3d", S_OK, {0x3D, 0x2C, 0x1B, 0x0A}},
      {u"abc", S_OK, {0xAB}},  // an odd last digit is ignored
      {u"", S_OK, {}},
      {u"12G4", E_INVALIDARG, {}},
      {u"0x12", E_INVALIDARG, {}},
      {u" 12", E_INVALIDARG, {}},
      {u"\uFF11\uFF12", E_INVALIDARG, {}},  // full-width digits
      {nullptr, E_INVALIDARG, {}},
  };
  for (const Case& c : cases) {
    DWORD dwLen = 0;
    BYTE* pbyData = nullptr;
    ASSERT_EQ(ConvertStringToBinaryData(&dwLen, c.text, &pbyData), c.hResult);
    if (FAILED(c.hResult)) {
      EXPECT_EQ(pbyData, nullptr);
      continue;
    }
    // Four zero bytes follow for comparisons over a longer certificate value.
    EXPECT_EQ(std::vector<BYTE>(pbyData, pbyData + dwLen + 4), [&] {
      auto v = c.bytes;
      v.resize(v.size() + 4);
      return v;
    }());
    delete[] pbyData;
  }
}

TEST(ReadFileSimple, WholeFileEmptyFileAndSizeOnly) {
  const std::string content("bytes\0and more", 14);
  for (const std::string& bytes : {content, std::string()}) {
    const std::u16string path = TempFile("data.bin", bytes);
    BYTE* pbyData = nullptr;
    DWORD dwSize = 99;
    ASSERT_EQ(ReadFileSimple(path.c_str(), &pbyData, &dwSize), S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pbyData), dwSize + 1), bytes + '\0');
    delete[] pbyData;

    dwSize = 99;
    ASSERT_EQ(ReadFileSimple(path.c_str(), nullptr, &dwSize), S_OK);
    EXPECT_EQ(dwSize, bytes.size());
  }
}

TEST(ReadFileSimple, Failures) {
  const std::filesystem::path dir = testsupport::MakeTempDir("read");
  const std::u16string huge = TempFile("huge.bin", "", std::int64_t{1} << 32);
  const std::u16string largest = TempFile("largest.bin", "", 0xFFFFFFFFLL);
  struct Case {
    std::u16string path;
    HRESULT hResult;
  };
  const Case cases[] = {{FromUtf8((dir / "missing").string()), MakeHResult(0x80070002u)},
                        {FromUtf8(dir.string()), MakeHResult(0x80070005u)},
                        {huge, SIGIL_E_FILE_TOO_LARGE}};  // never read in part
  for (const Case& c : cases) {
    BYTE* pbyData = nullptr;
    DWORD dwSize = 99;
    EXPECT_EQ(ReadFileSimple(c.path.c_str(), &pbyData, &dwSize), c.hResult) << ToUtf8(c.path);
    EXPECT_EQ(ReadFileSimple(c.path.c_str(), nullptr, &dwSize), c.hResult) << ToUtf8(c.path);
    EXPECT_EQ(pbyData, nullptr);
    EXPECT_EQ(dwSize, 99u);
  }
  DWORD dwSize = 0;
  EXPECT_EQ(ReadFileSimple(largest.c_str(), nullptr, &dwSize), S_OK);
  EXPECT_EQ(dwSize, 0xFFFFFFFFu);
  EXPECT_EQ(ReadFileSimple(nullptr, nullptr, nullptr), E_INVALIDARG);
}

}  // namespace
