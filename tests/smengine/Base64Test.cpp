#include "smengine/Base64.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>
#include <vector>

#include "platform/WinTypes.h"

namespace {

std::vector<BYTE> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<BYTE> RandomBytes(std::mt19937& rng, std::size_t count) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<BYTE> data(count);
  for (BYTE& b : data) b = static_cast<BYTE>(byte(rng));
  return data;
}

// Encodes into a heap buffer of exactly the required size, so that a write
// past it is caught by the sanitizer build.
std::string Encode(const std::vector<BYTE>& data, DWORD dwFlags) {
  const int nRequired = Base64EncodeGetRequiredLength(static_cast<int>(data.size()), dwFlags);
  EXPECT_GE(nRequired, 0);
  std::vector<char> dest(static_cast<std::size_t>(nRequired > 0 ? nRequired : 1));
  int nLen = nRequired;
  static const BYTE kEmpty = 0;
  EXPECT_TRUE(Base64Encode(data.empty() ? &kEmpty : data.data(), static_cast<int>(data.size()),
                           dest.data(), &nLen, dwFlags));
  EXPECT_LE(nLen, nRequired);
  return std::string(dest.data(), static_cast<std::size_t>(nLen));
}

std::vector<BYTE> Decode(const std::string& text, bool* pbOk = nullptr) {
  std::vector<BYTE> dest(text.size() + 1);
  int nLen = static_cast<int>(dest.size());
  const bool bOk = Base64Decode(text.data(), static_cast<int>(text.size()), dest.data(), &nLen);
  if (pbOk) *pbOk = bOk;
  dest.resize(static_cast<std::size_t>(nLen));
  return dest;
}

std::vector<std::size_t> CrLfPositions(const std::string& text) {
  std::vector<std::size_t> positions;
  for (std::size_t pos = text.find("\r\n"); pos != std::string::npos;
       pos = text.find("\r\n", pos + 2))
    positions.push_back(pos);
  return positions;
}

TEST(Base64Encode, StandardVectorsWithAndWithoutPadding) {
  struct Case {
    const char* plain;
    const char* padded;
    const char* unpadded;
  };
  const Case cases[] = {{"", "", ""},
                        {"f", "Zg==", "Zg"},
                        {"fo", "Zm8=", "Zm8"},
                        {"foo", "Zm9v", "Zm9v"},
                        {"foob", "Zm9vYg==", "Zm9vYg"},
                        {"fooba", "Zm9vYmE=", "Zm9vYmE"},
                        {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
                        {"\xfb\xff", "+/8=", "+/8"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.plain);
    EXPECT_EQ(Encode(Bytes(c.plain), ATL_BASE64_FLAG_NOCRLF), c.padded);
    EXPECT_EQ(Encode(Bytes(c.plain), ATL_BASE64_FLAG_NONE), c.padded);
    EXPECT_EQ(Encode(Bytes(c.plain), ATL_BASE64_FLAG_NOPAD | ATL_BASE64_FLAG_NOCRLF), c.unpadded);
  }
}

TEST(Base64Encode, LineBreaksFollowEveryNineteenGroups) {
  struct Case {
    std::size_t nSrcLen;
    DWORD dwFlags;
    std::size_t nTextLen;
    std::vector<std::size_t> crlfAt;
  };
  const Case cases[] = {
      {56, ATL_BASE64_FLAG_NONE, 76, {}},                // last line full only with padding
      {57, ATL_BASE64_FLAG_NONE, 78, {76}},              // ends in CR LF
      {57, ATL_BASE64_FLAG_NOCRLF, 76, {}},
      {58, ATL_BASE64_FLAG_NONE, 82, {76}},              // remainder on its own line
      {58, ATL_BASE64_FLAG_NOPAD, 80, {76}},
      {113, ATL_BASE64_FLAG_NONE, 154, {76}},
      {114, ATL_BASE64_FLAG_NONE, 156, {76, 154}},
      {115, ATL_BASE64_FLAG_NONE, 160, {76, 154}},
      {114, ATL_BASE64_FLAG_NOCRLF | ATL_BASE64_FLAG_NOPAD, 152, {}},
  };
  std::mt19937 rng(57);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.nSrcLen << " bytes, flags " << c.dwFlags);
    const std::string text = Encode(RandomBytes(rng, c.nSrcLen), c.dwFlags);
    EXPECT_EQ(text.size(), c.nTextLen);
    EXPECT_EQ(CrLfPositions(text), c.crlfAt);
  }
}

TEST(Base64Encode, RequiredLength) {
  struct Case {
    int nSrcLen;
    DWORD dwFlags;
    int nRequired;
  };
  const Case cases[] = {
      {0, ATL_BASE64_FLAG_NONE, 2},    {0, ATL_BASE64_FLAG_NOCRLF, 0},
      {1, ATL_BASE64_FLAG_NONE, 6},    {1, ATL_BASE64_FLAG_NOPAD, 6},
      {1, ATL_BASE64_FLAG_NOCRLF, 4},  {3, ATL_BASE64_FLAG_NOCRLF, 4},
      {55, ATL_BASE64_FLAG_NONE, 80},  {57, ATL_BASE64_FLAG_NONE, 80},
      {57, ATL_BASE64_FLAG_NOCRLF, 76}, {58, ATL_BASE64_FLAG_NOCRLF, 80},
      {-1, ATL_BASE64_FLAG_NONE, -1},  {INT_MAX / 4 + 1, ATL_BASE64_FLAG_NOCRLF, -1},
      {INT_MAX, ATL_BASE64_FLAG_NONE, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Base64EncodeGetRequiredLength(c.nSrcLen, c.dwFlags), c.nRequired)
        << c.nSrcLen << " bytes, flags " << c.dwFlags;
  }
  EXPECT_GT(Base64EncodeGetRequiredLength(INT_MAX / 4, ATL_BASE64_FLAG_NONE), 0);
}

TEST(Base64Encode, RefusesShortDestinationAndNullPointers) {
  const std::vector<BYTE> data = Bytes("foobar");
  std::vector<char> dest(16, 'x');
  int nLen = Base64EncodeGetRequiredLength(6, ATL_BASE64_FLAG_NONE) - 1;
  EXPECT_FALSE(Base64Encode(data.data(), 6, dest.data(), &nLen, ATL_BASE64_FLAG_NONE));
  EXPECT_EQ(dest[0], 'x');
  nLen = 16;
  EXPECT_FALSE(Base64Encode(nullptr, 6, dest.data(), &nLen, ATL_BASE64_FLAG_NONE));
  EXPECT_FALSE(Base64Encode(data.data(), 6, nullptr, &nLen, ATL_BASE64_FLAG_NONE));
  EXPECT_FALSE(Base64Encode(data.data(), 6, dest.data(), nullptr, ATL_BASE64_FLAG_NONE));
  EXPECT_FALSE(Base64Encode(data.data(), -3, dest.data(), &nLen, ATL_BASE64_FLAG_NONE));
}

TEST(Base64Encode, RoundTripsEveryLengthAndFlagSet) {
  std::mt19937 rng(2024);
  for (std::size_t nLen = 0; nLen <= 400; ++nLen) {
    const std::vector<BYTE> data = RandomBytes(rng, nLen);
    for (DWORD dwFlags = 0; dwFlags <= 3; ++dwFlags) {
      bool bOk = false;
      ASSERT_EQ(Decode(Encode(data, dwFlags), &bOk), data) << nLen << " bytes, flags " << dwFlags;
      EXPECT_TRUE(bOk);
    }
  }
}

TEST(Base64Decode, SkipsNonAlphabetAndShortRuns) {
  struct Case {
    std::string text;
    std::string plain;
  };
  const Case cases[] = {
      {"QU\r\nJD", "ABC"},      {"QQ==", "A"},           {"QQ", "A"},
      {"QUI", "AB"},            {"Q", ""},               {" Q U J D ", "ABC"},
      {"==QUJD==", "ABC"},      {"!!*~", ""},            {"", ""},
      {std::string("QUJD\0QUJD", 9), "ABC"},  // stops at a zero
      {"Zm9v\nYmFy", "foobar"}, {"Zm9vYmE", "fooba"},
  };
  for (const Case& c : cases) {
    bool bOk = false;
    EXPECT_EQ(Decode(c.text, &bOk), Bytes(c.plain)) << c.text;
    EXPECT_TRUE(bOk);
  }
}

TEST(Base64Decode, ReadsNoFurtherThanTheGivenLength) {
  const char text[] = "QUJDQUJD";
  BYTE dest[8] = {};
  int nLen = 8;
  EXPECT_TRUE(Base64Decode(text, 4, dest, &nLen));
  EXPECT_EQ(nLen, 3);
}

TEST(Base64Decode, CountsButDoesNotWriteWhatDoesNotFit) {
  BYTE dest[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  int nLen = 2;
  EXPECT_FALSE(Base64Decode("QUJDRA==", 8, dest, &nLen));
  EXPECT_EQ(nLen, 4);
  EXPECT_EQ(dest[0], 0xEE);  // the first group did not fit as a whole

  nLen = 3;
  EXPECT_FALSE(Base64Decode("QUJDRA==", 8, dest, &nLen));
  EXPECT_EQ(nLen, 4);
  EXPECT_EQ(dest[0], 'A');
  EXPECT_EQ(dest[3], 0xEE);

  nLen = 0;  // a null destination only counts
  EXPECT_FALSE(Base64Decode("QUJDRA==", 8, nullptr, &nLen));
  EXPECT_EQ(nLen, 4);
}

TEST(Base64Decode, RefusesNullPointersAndNegativeLength) {
  BYTE dest[4];
  int nLen = 4;
  EXPECT_FALSE(Base64Decode(nullptr, 4, dest, &nLen));
  EXPECT_FALSE(Base64Decode("QUJD", 4, dest, nullptr));
  EXPECT_FALSE(Base64Decode("QUJD", -1, dest, &nLen));
}

TEST(Base64EncodeEx, AllocatesTerminatedText) {
  std::vector<BYTE> data(57, 0xA5);
  for (const auto& [dwFlags, nExpected] :
       {std::pair{ATL_BASE64_FLAG_NOCRLF, 76}, std::pair{ATL_BASE64_FLAG_NONE, 78}}) {
    LPSTR pszText = nullptr;
    int nTextLen = -1;
    ASSERT_EQ(Base64EncodeEx(&pszText, data.data(), 57, &nTextLen, dwFlags), S_OK);
    EXPECT_EQ(nTextLen, nExpected);
    EXPECT_EQ(std::string(pszText).size(), static_cast<std::size_t>(nExpected));
    delete[] pszText;
  }
}

TEST(Base64EncodeEx, ImpossibleLengthFailsWithoutReading) {
  const BYTE data[1] = {0};
  LPSTR pszText = nullptr;
  int nTextLen = -1;
  EXPECT_EQ(Base64EncodeEx(&pszText, data, INT_MAX, &nTextLen, ATL_BASE64_FLAG_NOCRLF), E_FAIL);
  EXPECT_EQ(Base64EncodeEx(&pszText, data, -1, &nTextLen, ATL_BASE64_FLAG_NOCRLF), E_FAIL);
  EXPECT_EQ(pszText, nullptr);
  EXPECT_EQ(nTextLen, -1);
  EXPECT_EQ(Base64EncodeEx(nullptr, data, 1, &nTextLen, 0), E_POINTER);
}

TEST(Base64DecodeEx, DecodesAndRefusesEmptySource) {
  BYTE* pbData = nullptr;
  int nDataLen = -1;
  ASSERT_EQ(Base64DecodeEx(12, "Zm9v\r\nYmFy==", &pbData, &nDataLen), S_OK);
  EXPECT_EQ(std::vector<BYTE>(pbData, pbData + nDataLen), Bytes("foobar"));
  delete[] pbData;

  pbData = nullptr;
  EXPECT_EQ(Base64DecodeEx(0, "", &pbData, &nDataLen), E_FAIL);
  EXPECT_EQ(Base64DecodeEx(-5, "QUJD", &pbData, &nDataLen), E_FAIL);
  EXPECT_EQ(pbData, nullptr);
}

}  // namespace
