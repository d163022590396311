#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/base/LastError.h"
#include "platform/base/WideString.h"
#include "resources/ModuleResources.h"
#include "resources/ResultCodes.h"
#include "resources/StringTable.h"
#include "support/TempEnvironment.h"

using testsupport::ScopedEnv;

namespace {

std::u16string LoadIn(const char* lang, UINT id) {
  ScopedEnv language("LANGUAGE", nullptr), lcAll("LC_ALL", nullptr),
      lcMessages("LC_MESSAGES", nullptr), langVar("LANG", lang);
  char16_t buffer[512];
  const int n = LoadStringW(GetSigilModuleHandle(), id, buffer, 512);
  return std::u16string(buffer, static_cast<std::size_t>(n));
}

UINT IdOf(HRESULT code) { return static_cast<UINT>(code) & 0xFFFFu; }

}  // namespace

TEST(SigilStrings, MessagesInThreeLanguages) {
  const struct {
    HRESULT code;
    std::u16string english, simplified, traditional;
  } cases[] = {
      {SIGIL_E_MALICIOUS_PATH, u"Malicious target path or file name.", u"恶意的目标路径或文件名",
       u"惡意的目標路徑或文件名"},
      {SIGIL_E_INVALID_HASH_ALG, u"Invalid hash algorithm.", u"无效的哈希算法", u"無效的哈希算法"},
      {SIGIL_E_SIGN_FAILED, u"Sing failed.", u"签名失败", u"簽名失敗"},
      {SIGIL_E_CERT_NOT_EXIST, u"Special cert isn't exsit", u"指定证书不存在", u"指定證書不存在"},
      {SIGIL_E_NO_MATCHING_SM2_PFX, u"SM2 file certificate for decrpting envelope is not exsits.",
       u"未找到匹配的SM2解密证书", u"未找到匹配的SM2解密證書"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LoadIn("en_US.UTF-8", IdOf(c.code)), c.english);
    EXPECT_EQ(LoadIn("zh_CN.UTF-8", IdOf(c.code)), c.simplified);
    EXPECT_EQ(LoadIn("zh_TW.UTF-8", IdOf(c.code)), c.traditional);
  }
}

TEST(SigilStrings, EveryResultCodeHasAllThreeTextsExcept1402) {
  const HRESULT codes[] = {
      SIGIL_E_NO_AVAILABLE_CERT,
      SIGIL_E_USER_CANCELED,
      SIGIL_E_QUERY_TYPE_NOT_SUPPORTED,
      SIGIL_E_BASE64_ENCODE,
      SIGIL_E_BASE64_DECODE,
      SIGIL_E_MALICIOUS_PATH,
      SIGIL_E_EMPTY_FILE,
      SIGIL_E_TOO_MANY_SIGNERS,
      SIGIL_E_NOT_UNREGISTERED,
      SIGIL_E_NO_KEY_USAGE,
      SIGIL_E_NO_SUBJECT_KEY_ID,
      SIGIL_E_GET_EXTENSION,
      SIGIL_E_CHAIN_TIME_INVALID,
      SIGIL_E_CERT_IN_CRL,
      SIGIL_E_CHAIN_INCOMPLETE,
      SIGIL_E_CHAIN_SIGNATURE,
      SIGIL_E_CERT_NOT_EXIST,
      SIGIL_E_ASN1_DECODE,
      SIGIL_E_PKCS7_DECODE,
      SIGIL_E_DATA_TOO_LONG,
      SIGIL_E_RECURSION_TOO_DEEP,
      SIGIL_E_DECODE_SM2_PFX,
      SIGIL_E_INVALID_PKCS7,
      SIGIL_E_INVALID_ENVELOPE,
      SIGIL_E_NO_MATCHING_SM2_PFX,
      SIGIL_E_SIGN_FAILED,
      SIGIL_E_DECRYPT_SM2_PFX,
      SIGIL_E_CERT_NOT_READY,
      SIGIL_E_LANGUAGE,
      SIGIL_E_CERT_NOT_UNIQUE,
      SIGIL_E_INVALID_HASH_ALG,
      SIGIL_E_INVALID_CERT_USAGE,
      SIGIL_E_INVALID_SIGN_TYPE,
      SIGIL_E_INVALID_ENVELOPE_TYPE,
      SIGIL_E_DATA_EXCEEDS,
      SIGIL_E_DATA_NOT_READY,
      SIGIL_E_FILE_TOO_LARGE,
      SIGIL_E_INVALID_KEY_ALG,
  };
  std::set<UINT> seen;
  for (HRESULT code : codes) {
    const UINT id = IdOf(code);
    EXPECT_TRUE(seen.insert(id).second) << std::hex << id;
    for (const char* lang : {"en_US", "zh_CN", "zh_TW"})
      EXPECT_FALSE(LoadIn(lang, id).empty()) << std::hex << id << " " << lang;
  }
  EXPECT_NE(LoadIn("zh_TW", IdOf(SIGIL_E_NO_KEY_USAGE)),
            LoadIn("en_US", IdOf(SIGIL_E_NO_KEY_USAGE)));

  for (const char* lang : {"en_US", "zh_CN", "zh_TW"}) {
    SetLastError(0);
    EXPECT_EQ(LoadIn(lang, IdOf(SIGIL_E_INSTALL_CHAIN)), u"");
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
  }
}

TEST(SigilStrings, DialogRowTextsHaveNoTraditionalVersion) {
  EXPECT_EQ(LoadIn("en_US", IDS_SELECT_CERT_HEADER), u"Select a Certificate");
  EXPECT_EQ(LoadIn("zh_CN", IDS_SELECT_CERT_HEADER), u"选择证书");
  EXPECT_EQ(LoadIn("zh_CN", IDS_CERT_ISSUER), u"颁发者: %ws");
  EXPECT_EQ(LoadIn("zh_TW", IDS_CERT_ISSUER), u"Issuer: %ws");  // falls back to English
  EXPECT_EQ(LoadIn("zh_TW", IDS_CERT_SERIAL), u"SN: %ws");
  EXPECT_EQ(LoadIn("en_US", IDS_CERT_VALIDITY), u"Valid From: %02d/%02d/%04d to %02d/%02d/%04d");
  EXPECT_EQ(LoadIn("zh_CN", IDS_CERT_VALIDITY), u"有效期: %02d/%02d/%04d 至 %02d/%02d/%04d");
}

TEST(SigilStrings, LongMessageTruncatedToBuffer) {
  ScopedEnv lang("LANG", "en_US"), language("LANGUAGE", nullptr), lcAll("LC_ALL", nullptr),
      lcMessages("LC_MESSAGES", nullptr);
  char16_t buffer[8];
  EXPECT_EQ(LoadStringW(GetSigilModuleHandle(), IdOf(SIGIL_E_MALICIOUS_PATH), buffer, 8), 7);
  EXPECT_EQ(std::u16string(buffer), u"Malicio");
}
