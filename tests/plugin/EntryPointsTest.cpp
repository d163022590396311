#include <gtest/gtest.h>

#include <cstring>

#include "plugin/EntryPoints.h"
#include "plugin/FakeBrowser.h"
#include "plugin/Plugin.h"

namespace {

TEST(EntryPoints, PluginTableMustReachPastSetValue) {
  EXPECT_EQ(plugin::GetEntryPoints(nullptr), NPERR_INVALID_FUNCTABLE_ERROR);

  NPPluginFuncs funcs{};
  funcs.size = kMinPluginFuncsSize - 1;
  EXPECT_EQ(plugin::GetEntryPoints(&funcs), NPERR_INVALID_FUNCTABLE_ERROR);
  EXPECT_EQ(funcs.newp, nullptr);

  funcs.size = kMinPluginFuncsSize;
  ASSERT_EQ(plugin::GetEntryPoints(&funcs), NPERR_NO_ERROR);
  EXPECT_EQ(funcs.version, 22);
  EXPECT_NE(funcs.newp, nullptr);
  EXPECT_NE(funcs.getvalue, nullptr);
  EXPECT_NE(funcs.setvalue, nullptr);
  EXPECT_EQ(funcs.javaClass, nullptr);
  EXPECT_EQ(funcs.gotfocus, nullptr);  // beyond the members we fill
}

TEST(EntryPoints, TableSizesAreThe32BitRuleInThisLayout) {
  EXPECT_EQ(kMinPluginFuncsSize, 120u);
  EXPECT_EQ(kMinNetscapeFuncsSize, 392u);
}

TEST(EntryPoints, InitializeChecksVersionBeforeSize) {
  FakeBrowser browser;
  EXPECT_EQ(plugin::Initialize(nullptr, nullptr), NPERR_INVALID_FUNCTABLE_ERROR);

  NPNetscapeFuncs funcs = browser.Funcs();
  funcs.version = 0x0100;
  funcs.size = 10;
  EXPECT_EQ(plugin::Initialize(&funcs, nullptr), NPERR_INCOMPATIBLE_VERSION_ERROR);

  funcs.version = 0x001B;
  funcs.size = kMinNetscapeFuncsSize - 1;
  EXPECT_EQ(plugin::Initialize(&funcs, nullptr), NPERR_INVALID_FUNCTABLE_ERROR);

  funcs.size = kMinNetscapeFuncsSize;
  EXPECT_EQ(plugin::Initialize(&funcs, nullptr), NPERR_NO_ERROR);
  plugin::Shutdown();
}

TEST(EntryPoints, UnixInitializeFillsThePluginTable) {
  FakeBrowser browser;
  ASSERT_EQ(browser.Load(), NPERR_NO_ERROR);
  EXPECT_EQ(browser.PluginFuncs().version, 22);
  EXPECT_NE(browser.PluginFuncs().newp, nullptr);
  EXPECT_NE(plugin::ScriptableClass(), nullptr);

  NPPluginFuncs tooSmall{};
  tooSmall.size = kMinPluginFuncsSize - 1;
  EXPECT_EQ(plugin::Initialize(&browser.Funcs(), &tooSmall), NPERR_INVALID_FUNCTABLE_ERROR);
  browser.Unload();
}

TEST(EntryPoints, MimeDescriptionIsOneConstant) {
  const char* before = plugin::GetMIMEDescription();
  FakeBrowser browser;
  ASSERT_EQ(browser.Load(), NPERR_NO_ERROR);
  const char* after = plugin::GetMIMEDescription();
  browser.Unload();
  EXPECT_EQ(before, after);
  EXPECT_STREQ(after,
               "application/npSigil.TEAL.x86:*:npSigil certificate utilities;"
               "application/npSigil:*:npSigil certificate utilities");
}

TEST(EntryPoints, GetValueNamesThePlugin) {
  const char* text = nullptr;
  ASSERT_EQ(plugin::GetValue(nullptr, NPPVpluginNameString, &text), NPERR_NO_ERROR);
  EXPECT_STREQ(text, "NPRuntimeTest");
  ASSERT_EQ(plugin::GetValue(nullptr, NPPVpluginDescriptionString, &text), NPERR_NO_ERROR);
  EXPECT_STREQ(text, "NPRuntime scriptability API test plugin");
  EXPECT_EQ(plugin::GetValue(nullptr, NPPVpluginWindowBool, &text), NPERR_GENERIC_ERROR);
}

}  // namespace
