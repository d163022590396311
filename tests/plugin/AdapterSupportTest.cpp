#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "plugin/AdapterSupport.h"
#include "plugin/FakeBrowser.h"

namespace {

using plugin::AdapterArg;
using plugin::AdapterCall;
using plugin::ArgKind;
using plugin::ScriptMethod;

constexpr AdapterArg kArgs[] = {{u"SourceData"}, {u"attach", ArgKind::Boolean}};
constexpr ScriptMethod kMethod = {"Test::npThing", u"Test::npThing",          u"npTest",
                                  kArgs,           u"m_objCryptoAgent.Thing", u"Reture Thing"};

TEST(AdapterSupport, ConvertsStringsAndFlags) {
  NPVariant args[] = {FakeBrowser::Str("h\xC3\xA9llo \xF0\x9F\x98\x80"), FakeBrowser::Bool(true)};
  AdapterCall call(kMethod, args, 2);
  ASSERT_TRUE(call.CheckArguments());
  ASSERT_TRUE(call.ConvertArguments());
  EXPECT_EQ(std::u16string(call.Text(0)), u"h\u00e9llo \U0001F600");
  EXPECT_EQ(call.Flag(1), VARIANT_TRUE);
  EXPECT_EQ(static_cast<std::uint16_t>(call.Flag(1)), 0xFFFF);

  args[1] = FakeBrowser::Bool(false);
  AdapterCall off(kMethod, args, 2);
  ASSERT_TRUE(off.CheckArguments());
  EXPECT_EQ(off.Flag(1), VARIANT_FALSE);
}

TEST(AdapterSupport, RejectsWrongCountsAndTypes) {
  NPVariant good[] = {FakeBrowser::Str("x"), FakeBrowser::Bool(true), FakeBrowser::Str("extra")};
  EXPECT_FALSE(AdapterCall(kMethod, good, 1).CheckArguments());
  EXPECT_FALSE(AdapterCall(kMethod, good, 3).CheckArguments());
  NPVariant swapped[] = {FakeBrowser::Bool(true), FakeBrowser::Str("x")};
  EXPECT_FALSE(AdapterCall(kMethod, swapped, 2).CheckArguments());
  NPVariant intFlag[] = {FakeBrowser::Str("x"), FakeBrowser::Int(1)};
  EXPECT_FALSE(AdapterCall(kMethod, intFlag, 2).CheckArguments());
}

TEST(AdapterSupport, NPStringCopyIsTerminated) {
  LPSTR text = nullptr;
  ASSERT_EQ(plugin::ConverNPStringtoNULLEndString(&text, "abcdef", 3), S_OK);
  std::unique_ptr<char[]> owned(text);
  EXPECT_STREQ(text, "abc");
  ASSERT_EQ(plugin::ConverNPStringtoNULLEndString(&text, nullptr, 0), S_OK);
  owned.reset(text);
  EXPECT_STREQ(text, "");
}

}  // namespace
