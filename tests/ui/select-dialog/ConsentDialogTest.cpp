// What the consent prompt shows for a request, without a screen: the
// origin's two forms, the warning and the "always" offer by how the page
// came, what is asked for, and the language the texts are in.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "ui/select-dialog/ConsentDialog.h"
#include "ui/select-dialog/ConsentTexts.h"

namespace select_dialog {
namespace {

ui::ConsentRequest Request(bool secure, LANGID language = 0x0409) {
  ui::ConsentRequest request;
  request.language = language;
  request.origin = secure ? "https://xn--bcher-kva.example" : "http://a.example:8080";
  request.secure = secure;
  request.asksKeys = true;
  request.asksFiles = true;
  request.method = "SignFile";
  return request;
}

TEST(ConsentContent, SecurePageIsOfferedAlwaysAndShowsBothForms) {
  const ConsentContent content = ContentOf(Request(true));
  EXPECT_EQ(content.origin,
            "https://b\xC3\xBC"
            "cher.example");
  EXPECT_EQ(content.asciiOrigin, "https://xn--bcher-kva.example");
  EXPECT_TRUE(content.warning.empty());
  EXPECT_EQ(content.allowAlways, "Always allow this site");
  EXPECT_EQ(content.allowOnce, "Allow for this page");
  EXPECT_EQ(content.deny, "Deny");
  ASSERT_EQ(content.asks.size(), 2u);
  EXPECT_NE(content.asks[0].find("use your certificates and keys"), std::string::npos);
  EXPECT_NE(content.asks[1].find("read and write files"), std::string::npos);
  EXPECT_NE(content.method.find("SignFile"), std::string::npos);
}

TEST(ConsentContent, PageThatIsNotSecureIsWarnedAboutAndNotOfferedAlways) {
  ui::ConsentRequest request = Request(false);
  request.asksKeys = false;
  const ConsentContent content = ContentOf(request);
  EXPECT_EQ(content.origin, "http://a.example:8080");
  EXPECT_TRUE(content.asciiOrigin.empty());
  EXPECT_NE(content.warning.find("Not secure"), std::string::npos);
  EXPECT_TRUE(content.allowAlways.empty());
  EXPECT_FALSE(content.allowOnce.empty());
  ASSERT_EQ(content.asks.size(), 1u);
  EXPECT_NE(content.asks[0].find("read and write files"), std::string::npos);

  // The same for a secure page asking for the same thing, "always" aside.
  request.secure = true;
  EXPECT_TRUE(ContentOf(request).warning.empty());
  EXPECT_FALSE(ContentOf(request).allowAlways.empty());
}

TEST(ConsentContent, LanguageChoosesTheTexts) {
  const struct {
    LANGID language;
    TextLanguage expected;
    const char* deny;
  } cases[] = {
      {0x0804, TextLanguage::kSimplifiedChinese, "拒绝"},
      {0x0404, TextLanguage::kTraditionalChinese, "拒絕"},
      {0x0C04, TextLanguage::kTraditionalChinese, "拒絕"},
      {0x1404, TextLanguage::kTraditionalChinese, "拒絕"},
      {0x1004, TextLanguage::kEnglish, "Deny"},  // Singapore: not in the list
      {0x0409, TextLanguage::kEnglish, "Deny"},
      {0x0411, TextLanguage::kEnglish, "Deny"},
      {0, TextLanguage::kEnglish, "Deny"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LanguageOf(c.language), c.expected) << c.language;
    EXPECT_EQ(ContentOf(Request(true, c.language)).deny, c.deny) << c.language;
    EXPECT_STREQ(ConsentTextsFor(c.language).deny, c.deny) << c.language;
  }
}

// No text missing in any language, and no two buttons that read alike.
TEST(ConsentContent, EveryLanguageHasEveryTextAndDistinctButtons) {
  for (LANGID language : {0x0409, 0x0804, 0x0404}) {
    const ConsentTexts& texts = ConsentTextsFor(language);
    for (const char* text :
         {texts.title, texts.asks, texts.useKeys, texts.useFiles, texts.notSecure, texts.method,
          texts.allowOnce, texts.allowAlways, texts.deny, texts.requestedBy})
      EXPECT_TRUE(text != nullptr && *text != '\0') << language;
    const std::set<std::string> buttons = {texts.allowOnce, texts.allowAlways, texts.deny};
    EXPECT_EQ(buttons.size(), 3u) << language;
  }
}

// The folder is offered where a grant can be kept: a secure page asking
// for files; its chooser's title names the origin in its Unicode form.
TEST(ConsentContent, FolderIsOfferedToSecurePagesThatAskForFiles) {
  ConsentContent content = ContentOf(Request(true));
  EXPECT_EQ(content.grantFolder, "Grant a folder\u2026");
  EXPECT_EQ(content.folderTitle, "Grant a folder to https://b\u00fccher.example");
  EXPECT_TRUE(ContentOf(Request(false)).grantFolder.empty());
  ui::ConsentRequest keysOnly = Request(true);
  keysOnly.asksFiles = false;
  EXPECT_TRUE(ContentOf(keysOnly).grantFolder.empty());
  for (LANGID language : {0x0409, 0x0804, 0x0404}) {
    const ConsentTexts& texts = ConsentTextsFor(language);
    for (const char* text :
         {texts.grantFolder, texts.folderLead, texts.folderTitle, texts.choose, texts.cancel})
      EXPECT_TRUE(text != nullptr && *text != '\0') << language;
    content = ContentOf(Request(true, static_cast<LANGID>(language)));
    const std::set<std::string> buttons = {content.allowOnce, content.allowAlways, content.deny,
                                           content.grantFolder};
    EXPECT_EQ(buttons.size(), 4u) << language;
  }
}

}  // namespace
}  // namespace select_dialog
