#include "smengine/Base64Utility.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "resources/ResultCodes.h"
#include "smengine/EngineResult.h"

namespace {

TEST(EngineBase64EncodeEx, OneLinePaddedText) {
  const unsigned char data[] = "fooba";
  char* pText = nullptr;
  int nLen = -1;
  ASSERT_EQ(engine::Base64EncodeEx(&nLen, data, 5, &pText), ORLO_OK);
  EXPECT_STREQ(pText, "Zm9vYmE=");
  EXPECT_EQ(nLen, 8);
  delete[] pText;

  // 57 bytes and more stay on one line; the length is optional.
  std::vector<unsigned char> big(200, 0x5A);
  ASSERT_EQ(engine::Base64EncodeEx(nullptr, big.data(), 200, &pText), ORLO_OK);
  EXPECT_EQ(std::strlen(pText), 268u);
  EXPECT_EQ(std::strpbrk(pText, "\r\n"), nullptr);
  delete[] pText;
}

TEST(EngineBase64EncodeEx, Failures) {
  const unsigned char data[4] = {1, 2, 3, 4};
  struct Case {
    const char* name;
    const unsigned char* pSrc;
    int nSrcLen;
    bool bNullOutput;
    int nExpected;
  };
  const Case cases[] = {
      {"null output", data, 4, true, ORLO_INVALID_PARAMETER},
      {"empty source", data, 0, false, SIGIL_E_BASE64_ENCODE},
      {"null source", nullptr, 4, false, SIGIL_E_BASE64_ENCODE},
      {"negative length", data, -4, false, SIGIL_E_BASE64_ENCODE},
      {"length too large", data, INT_MAX, false, SIGIL_E_BASE64_ENCODE},
  };
  for (const Case& c : cases) {
    char* pText = nullptr;
    int nLen = -1;
    EXPECT_EQ(engine::Base64EncodeEx(&nLen, c.pSrc, c.nSrcLen, c.bNullOutput ? nullptr : &pText),
              c.nExpected)
        << c.name;
    EXPECT_EQ(pText, nullptr) << c.name;
    EXPECT_EQ(nLen, -1) << c.name;
  }
}

TEST(EngineBase64DecodeEx, DecodesAndFails) {
  unsigned char* pData = nullptr;
  unsigned int nSize = 0;
  ASSERT_EQ(engine::Base64DecodeEx(&pData, &nSize, "Zm9vYmFy", 8), ORLO_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(pData), nSize), "foobar");
  delete[] pData;

  pData = nullptr;
  EXPECT_EQ(engine::Base64DecodeEx(&pData, &nSize, "Zm9v", 0), SIGIL_E_BASE64_DECODE);
  EXPECT_EQ(engine::Base64DecodeEx(&pData, &nSize, "Zm9v", -8), SIGIL_E_BASE64_DECODE);
  EXPECT_EQ(engine::Base64DecodeEx(&pData, &nSize, nullptr, 4), SIGIL_E_BASE64_DECODE);
  EXPECT_EQ(engine::Base64DecodeEx(nullptr, &nSize, "Zm9v", 4), ORLO_INVALID_PARAMETER);
  EXPECT_EQ(engine::Base64DecodeEx(&pData, nullptr, "Zm9v", 4), ORLO_INVALID_PARAMETER);
  EXPECT_EQ(pData, nullptr);
}

TEST(EngineBase64, RoundTripsRandomData) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> length(1, 5000);
  for (int round = 0; round < 200; ++round) {
    std::vector<unsigned char> data(static_cast<std::size_t>(length(rng)));
    for (unsigned char& b : data) b = static_cast<unsigned char>(byte(rng));

    char* pText = nullptr;
    int nLen = 0;
    ASSERT_EQ(engine::Base64EncodeEx(&nLen, data.data(), static_cast<int>(data.size()), &pText),
              ORLO_OK);
    unsigned char* pData = nullptr;
    unsigned int nSize = 0;
    ASSERT_EQ(engine::Base64DecodeEx(&pData, &nSize, pText, nLen), ORLO_OK);
    EXPECT_EQ(std::vector<unsigned char>(pData, pData + nSize), data);
    delete[] pText;
    delete[] pData;
  }
}

}  // namespace
