#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <vector>

#include "resources/ResultCodes.h"
#include "smengine/common/Base64Utility.h"
#include "smengine/common/EngineResult.h"

namespace {

TEST(EngineBase64, EncodeFailuresLeaveNoOutput) {
  const unsigned char data[4] = {1, 2, 3, 4};
  struct Case {
    const unsigned char* pSrc;
    int nSrcLen;
    bool bNullOutput;
    int nExpected;
  };
  const Case cases[] = {{data, 4, true, ORLO_INVALID_PARAMETER},
                        {data, 0, false, SIGIL_E_BASE64_ENCODE},
                        {nullptr, 4, false, SIGIL_E_BASE64_ENCODE},
                        {data, INT_MAX, false, SIGIL_E_BASE64_ENCODE}};
  for (const Case& c : cases) {
    char* pText = nullptr;
    int nLen = -1;
    EXPECT_EQ(engine::Base64EncodeEx(&nLen, c.pSrc, c.nSrcLen, c.bNullOutput ? nullptr : &pText),
              c.nExpected)
        << c.nSrcLen;
    EXPECT_EQ(pText, nullptr);
    EXPECT_EQ(nLen, -1);
  }
}

TEST(EngineBase64, DecodeFailures) {
  unsigned char* pData = nullptr;
  unsigned int nSize = 0;
  EXPECT_EQ(engine::Base64DecodeEx(&pData, &nSize, "Zm9v", 0), SIGIL_E_BASE64_DECODE);
  EXPECT_EQ(engine::Base64DecodeEx(&pData, &nSize, "Zm9v", -8), SIGIL_E_BASE64_DECODE);
  EXPECT_EQ(engine::Base64DecodeEx(&pData, &nSize, nullptr, 4), SIGIL_E_BASE64_DECODE);
  EXPECT_EQ(engine::Base64DecodeEx(nullptr, &nSize, "Zm9v", 4), ORLO_INVALID_PARAMETER);
  EXPECT_EQ(pData, nullptr);
}

TEST(EngineBase64, OneLineRoundTrips) {
  std::mt19937 rng(7);
  for (int round = 0; round < 100; ++round) {
    std::vector<unsigned char> data(1 + rng() % 3000);
    for (unsigned char& b : data) b = static_cast<unsigned char>(rng());
    char* pText = nullptr;
    int nLen = 0;
    ASSERT_EQ(engine::Base64EncodeEx(&nLen, data.data(), static_cast<int>(data.size()), &pText),
              ORLO_OK);
    EXPECT_EQ(std::strlen(pText), (data.size() + 2) / 3 * 4);  // padded, no line breaks
    unsigned char* pData = nullptr;
    unsigned int nSize = 0;
    ASSERT_EQ(engine::Base64DecodeEx(&pData, &nSize, pText, nLen), ORLO_OK);
    EXPECT_EQ(std::vector<unsigned char>(pData, pData + nSize), data);
    delete[] pText;
    delete[] pData;
  }
}

}  // namespace
