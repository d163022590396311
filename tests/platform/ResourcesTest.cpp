#include <gtest/gtest.h>

#include <string>

#include "platform/base/LastError.h"
#include "platform/base/Resources.h"
#include "support/TempEnvironment.h"

using testsupport::ScopedEnv;

namespace {

constexpr STRING_RESOURCE kStrings[] = {
    {1, u"One", u"\u4e00", u"\u58f9"},
    {2, u"Two", u"\u4e8c", nullptr},  // no Traditional text
    {3, u"Three", nullptr, nullptr},
    {4, nullptr, nullptr, nullptr},  // an id without any string
    {5, u"ab\U0001F600", nullptr, nullptr},
};
constexpr BYTE kPng[] = {0x89, 'P', 'N', 'G'};
constexpr BINARY_RESOURCE kBinaries[] = {
    {101, u"PNG", kPng, sizeof kPng},
    {104, u"CERTIFICATE", kPng, 2},
};
constexpr MODULE_RESOURCES kTable = {kStrings, std::size(kStrings), kBinaries,
                                     std::size(kBinaries)};

// Clears every variable the language choice reads, then sets one.
struct Locale {
  ScopedEnv language, lcAll, lcMessages, lang;
  Locale(const char* languageV, const char* lcAllV, const char* lcMessagesV, const char* langV)
      : language("LANGUAGE", languageV),
        lcAll("LC_ALL", lcAllV),
        lcMessages("LC_MESSAGES", lcMessagesV),
        lang("LANG", langV) {}
};

std::u16string Load(UINT id, int size = 64) {
  std::u16string buffer(static_cast<std::size_t>(size), u'#');
  const int n = LoadStringW(ModuleFromResources(&kTable), id, buffer.data(), size);
  EXPECT_EQ(buffer[static_cast<std::size_t>(n)], 0);
  return buffer.substr(0, static_cast<std::size_t>(n));
}

}  // namespace

TEST(UiLanguage, ChosenFromLocaleVariables) {
  const struct {
    const char* language;
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    LANGID expected;
  } cases[] = {
      {nullptr, nullptr, nullptr, nullptr, LANG_ENGLISH_US},
      {nullptr, nullptr, nullptr, "C", LANG_ENGLISH_US},
      {nullptr, nullptr, nullptr, "POSIX", LANG_ENGLISH_US},
      {nullptr, nullptr, nullptr, "zh_CN.UTF-8", LANG_CHINESE_SIMPLIFIED},
      {nullptr, nullptr, nullptr, "zh_SG", LANG_CHINESE_SIMPLIFIED},
      {nullptr, nullptr, nullptr, "zh", LANG_CHINESE_SIMPLIFIED},
      {nullptr, nullptr, nullptr, "zh_Hans_CN", LANG_CHINESE_SIMPLIFIED},
      {nullptr, nullptr, nullptr, "zh_TW.UTF-8", LANG_CHINESE_TRADITIONAL},
      {nullptr, nullptr, nullptr, "zh_HK", LANG_CHINESE_TRADITIONAL},
      {nullptr, nullptr, nullptr, "zh_MO@euro", LANG_CHINESE_TRADITIONAL},
      {nullptr, nullptr, nullptr, "zh-Hant", LANG_CHINESE_TRADITIONAL},
      {nullptr, nullptr, nullptr, "de_DE.UTF-8", LANG_ENGLISH_US},
      {nullptr, nullptr, nullptr, "zhx_CN", LANG_ENGLISH_US},
      // Precedence: LANGUAGE, LC_ALL, LC_MESSAGES, LANG; empty values are skipped.
      {"zh_TW:zh_CN", "zh_CN", "en_US", "en_US", LANG_CHINESE_TRADITIONAL},
      {"en_US:zh_CN", "zh_CN", nullptr, nullptr, LANG_ENGLISH_US},
      {"", "zh_CN.UTF-8", "zh_TW", "en_US", LANG_CHINESE_SIMPLIFIED},
      {nullptr, "", "zh_TW", "zh_CN", LANG_CHINESE_TRADITIONAL},
      {nullptr, nullptr, "", "zh_HK.Big5", LANG_CHINESE_TRADITIONAL},
  };
  for (const auto& c : cases) {
    Locale locale(c.language, c.lcAll, c.lcMessages, c.lang);
    EXPECT_EQ(GetUserDefaultUILanguage(), c.expected)
        << (c.language ? c.language : "-") << " " << (c.lcAll ? c.lcAll : "-") << " "
        << (c.lcMessages ? c.lcMessages : "-") << " " << (c.lang ? c.lang : "-");
  }
}

TEST(LoadString, PicksLanguageAndFallsBackToEnglish) {
  const struct {
    const char* lang;
    UINT id;
    std::u16string expected;
  } cases[] = {
      {"en_US", 1, u"One"}, {"zh_CN", 1, u"\u4e00"}, {"zh_TW", 1, u"\u58f9"},
      {"zh_TW", 2, u"Two"}, {"zh_CN", 3, u"Three"},  {"zh_TW", 3, u"Three"},
  };
  for (const auto& c : cases) {
    Locale locale(nullptr, nullptr, nullptr, c.lang);
    EXPECT_EQ(Load(c.id), c.expected) << c.lang << " " << c.id;
  }
}

TEST(LoadString, TruncatesAndTerminates) {
  Locale locale(nullptr, nullptr, nullptr, "en_US");
  EXPECT_EQ(Load(3, 4), u"Thr");
  EXPECT_EQ(Load(3, 1), u"");
  EXPECT_EQ(Load(5, 4), u"ab");  // the pair is not split
  EXPECT_EQ(Load(5, 5), u"ab\U0001F600");
}

TEST(LoadString, MissingStringsAndBadArguments) {
  char16_t buffer[8] = u"junk";
  const HMODULE module = ModuleFromResources(&kTable);
  for (UINT id : {4u, 99u}) {
    buffer[0] = u'x';
    SetLastError(0);
    EXPECT_EQ(LoadStringW(module, id, buffer, 8), 0);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
  }
  EXPECT_EQ(LoadStringW(nullptr, 1, buffer, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(LoadStringW(module, 1, buffer, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(LoadStringW(module, 1, nullptr, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(BinaryResource, FindSizeLoadLock) {
  const HMODULE module = ModuleFromResources(&kTable);
  HRSRC found = FindResourceW(module, 101, u"png");  // type is case-insensitive
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(SizeofResource(module, found), sizeof kPng);
  EXPECT_EQ(LockResource(LoadResource(module, found)), kPng);

  SetLastError(0);
  EXPECT_EQ(FindResourceW(module, 102, u"PNG"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
  EXPECT_EQ(FindResourceW(module, 101, u"CERTIFICATE"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
  EXPECT_EQ(FindResourceW(module, 101, u"GIF"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
  EXPECT_EQ(SizeofResource(module, nullptr), 0u);
  EXPECT_EQ(LoadResource(module, nullptr), nullptr);
  EXPECT_EQ(LockResource(nullptr), nullptr);
}
