#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>
#include <vector>

#include "smengine/common/Base64.h"

namespace {

std::vector<BYTE> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<BYTE> RandomBytes(std::mt19937& rng, std::size_t count) {
  std::vector<BYTE> data(count);
  for (BYTE& b : data) b = static_cast<BYTE>(rng());
  return data;
}

// The destination is exactly the required size, so the sanitizer build
// catches a write past it.
std::string Encode(const std::vector<BYTE>& data, DWORD dwFlags) {
  const int nRequired = Base64EncodeGetRequiredLength(static_cast<int>(data.size()), dwFlags);
  std::vector<char> dest(static_cast<std::size_t>(nRequired > 0 ? nRequired : 1));
  int nLen = nRequired;
  const BYTE empty = 0;
  EXPECT_TRUE(Base64Encode(data.empty() ? &empty : data.data(), static_cast<int>(data.size()),
                           dest.data(), &nLen, dwFlags));
  return std::string(dest.data(), static_cast<std::size_t>(nLen));
}

std::vector<BYTE> Decode(const std::string& text, int nSrcLen = -1) {
  std::vector<BYTE> dest(text.size() + 1);
  int nLen = static_cast<int>(dest.size());
  EXPECT_TRUE(Base64Decode(text.data(), nSrcLen < 0 ? static_cast<int>(text.size()) : nSrcLen,
                           dest.data(), &nLen));
  dest.resize(static_cast<std::size_t>(nLen));
  return dest;
}

TEST(Base64Encode, AlphabetAndPadding) {
  struct Case {
    const char* plain;
    const char* padded;
    const char* unpadded;
  };
  for (const Case& c : {Case{"f", "Zg==", "Zg"}, Case{"fo", "Zm8=", "Zm8"},
                        Case{"foobar", "Zm9vYmFy", "Zm9vYmFy"}, Case{"\xfb\xff", "+/8=", "+/8"}}) {
    EXPECT_EQ(Encode(Bytes(c.plain), ATL_BASE64_FLAG_NONE), c.padded);
    EXPECT_EQ(Encode(Bytes(c.plain), ATL_BASE64_FLAG_NOPAD | ATL_BASE64_FLAG_NOCRLF), c.unpadded);
  }
}

TEST(Base64Encode, CrLfAfterEveryFullLineOf76) {
  struct Case {
    std::size_t nSrcLen;
    DWORD dwFlags;
    std::size_t nTextLen;
    std::vector<std::size_t> crlfAt;
  };
  const Case cases[] = {
      {56, ATL_BASE64_FLAG_NONE, 76, {}},
      {57, ATL_BASE64_FLAG_NONE, 78, {76}},  // ends in CR LF
      {57, ATL_BASE64_FLAG_NOCRLF, 76, {}},
      {58, ATL_BASE64_FLAG_NONE, 82, {76}},  // remainder on a line of its own
      {58, ATL_BASE64_FLAG_NOPAD, 80, {76}},
      {114, ATL_BASE64_FLAG_NONE, 156, {76, 154}},
      {115, ATL_BASE64_FLAG_NONE, 160, {76, 154}},
  };
  std::mt19937 rng(57);
  for (const Case& c : cases) {
    const std::string text = Encode(RandomBytes(rng, c.nSrcLen), c.dwFlags);
    std::vector<std::size_t> crlfAt;
    for (std::size_t pos = text.find("\r\n"); pos != std::string::npos;
         pos = text.find("\r\n", pos + 2))
      crlfAt.push_back(pos);
    EXPECT_EQ(text.size(), c.nTextLen) << c.nSrcLen << "/" << c.dwFlags;
    EXPECT_EQ(crlfAt, c.crlfAt) << c.nSrcLen << "/" << c.dwFlags;
  }
}

TEST(Base64Encode, RequiredLengthAndOverflow) {
  struct Case {
    int nSrcLen;
    DWORD dwFlags;
    int nRequired;
  };
  const Case cases[] = {{0, 0, 2},
                        {0, 2, 0},
                        {1, 0, 6},
                        {1, 1, 6},
                        {1, 2, 4},
                        {55, 0, 80},
                        {57, 0, 80},
                        {57, 2, 76},
                        {58, 2, 80},
                        {-1, 0, -1},
                        {INT_MAX / 4 + 1, 2, -1},
                        {INT_MAX, 0, -1}};
  for (const Case& c : cases)
    EXPECT_EQ(Base64EncodeGetRequiredLength(c.nSrcLen, c.dwFlags), c.nRequired) << c.nSrcLen;
  EXPECT_GT(Base64EncodeGetRequiredLength(INT_MAX / 4, 0), 0);

  // An impossible length fails before the source is read; so does a short buffer.
  const BYTE data[6] = {};
  char dest[8];
  int nLen = 8;
  EXPECT_FALSE(Base64Encode(data, INT_MAX, dest, &nLen, 2));
  nLen = Base64EncodeGetRequiredLength(6, 0) - 1;
  EXPECT_FALSE(Base64Encode(data, 6, dest, &nLen, 0));
  LPSTR pszText = nullptr;
  EXPECT_EQ(Base64EncodeEx(&pszText, data, INT_MAX, &nLen, 2), E_FAIL);
  EXPECT_EQ(pszText, nullptr);
}

TEST(Base64, RoundTripsEveryLengthAndLayout) {
  std::mt19937 rng(2024);
  for (std::size_t nLen = 0; nLen <= 300; ++nLen) {
    const std::vector<BYTE> data = RandomBytes(rng, nLen);
    for (DWORD dwFlags = 0; dwFlags <= 3; ++dwFlags)
      ASSERT_EQ(Decode(Encode(data, dwFlags)), data) << nLen << "/" << dwFlags;
  }
}

TEST(Base64Decode, SkipsWhatIsNotAlphabet) {
  struct Case {
    std::string text;
    int nSrcLen;
    std::string plain;
  };
  const Case cases[] = {
      {"QU\r\nJD", -1, "ABC"},
      {"QQ==", -1, "A"},
      {"QQ", -1, "A"},
      {"QUI", -1, "AB"},
      {"Q", -1, ""},
      {" ==QU JD== ", -1, "ABC"},
      {"!!*~", -1, ""},
      {"QUJDQUJD", 4, "ABC"},                     // no further than the length
      {std::string("QUJD\0QUJD", 9), -1, "ABC"},  // nor past a zero
  };
  for (const Case& c : cases) EXPECT_EQ(Decode(c.text, c.nSrcLen), Bytes(c.plain)) << c.text;
}

TEST(Base64Decode, CountsOnButWritesNothingThatDoesNotFit) {
  BYTE dest[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  int nLen = 2;  // the first group of three does not fit as a whole
  EXPECT_FALSE(Base64Decode("QUJDRA==", 8, dest, &nLen));
  EXPECT_EQ(nLen, 4);
  EXPECT_EQ(dest[0], 0xEE);
  nLen = 3;
  EXPECT_FALSE(Base64Decode("QUJDRA==", 8, dest, &nLen));
  EXPECT_EQ(dest[0], 'A');
  EXPECT_EQ(dest[3], 0xEE);
  nLen = 0;
  EXPECT_FALSE(Base64Decode("QUJDRA==", 8, nullptr, &nLen));
  EXPECT_EQ(nLen, 4);
}

TEST(Base64Ex, AllocatedResults) {
  const std::vector<BYTE> data(57, 0xA5);
  for (const auto& [dwFlags, nExpected] : {std::pair{2u, 76}, std::pair{0u, 78}}) {
    LPSTR pszText = nullptr;
    int nTextLen = -1;
    ASSERT_EQ(Base64EncodeEx(&pszText, data.data(), 57, &nTextLen, dwFlags), S_OK);
    EXPECT_EQ(nTextLen, nExpected);
    EXPECT_EQ(pszText[nTextLen], '\0');
    delete[] pszText;
  }
  BYTE* pbData = nullptr;
  int nDataLen = -1;
  ASSERT_EQ(Base64DecodeEx(12, "Zm9v\r\nYmFy==", &pbData, &nDataLen), S_OK);
  EXPECT_EQ(std::vector<BYTE>(pbData, pbData + nDataLen), Bytes("foobar"));
  delete[] pbData;
  pbData = nullptr;
  EXPECT_EQ(Base64DecodeEx(0, "", &pbData, &nDataLen), E_FAIL);
  EXPECT_EQ(pbData, nullptr);
}

}  // namespace
