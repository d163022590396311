#include <gtest/gtest.h>

#include "plugin/FakeBrowser.h"
#include "plugin/Plugin.h"

namespace {

class PluginInstance : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(browser.Load(), NPERR_NO_ERROR); }
  void TearDown() override { browser.Unload(); }
  FakeBrowser browser;
};

TEST_F(PluginInstance, NullInstancesAreRefused) {
  NPPluginFuncs& f = browser.PluginFuncs();
  EXPECT_EQ(f.newp(nullptr, nullptr, NP_EMBED, 0, nullptr, nullptr, nullptr),
            NPERR_INVALID_INSTANCE_ERROR);
  EXPECT_EQ(f.destroy(nullptr, nullptr), NPERR_INVALID_INSTANCE_ERROR);
  EXPECT_EQ(f.setwindow(nullptr, nullptr), NPERR_INVALID_INSTANCE_ERROR);
  EXPECT_EQ(f.writeready(nullptr, nullptr), NPERR_INVALID_INSTANCE_ERROR);
  void* value = nullptr;
  EXPECT_EQ(f.getvalue(nullptr, NPPVpluginNameString, &value), NPERR_INVALID_INSTANCE_ERROR);

  NPP_t noPlugin{};
  EXPECT_EQ(f.getvalue(&noPlugin, NPPVpluginNameString, &value), NPERR_GENERIC_ERROR);
}

TEST_F(PluginInstance, StreamsAreSwallowed) {
  FakeInstance instance(browser);
  NPPluginFuncs& f = browser.PluginFuncs();
  char data[1000] = {};
  EXPECT_EQ(f.writeready(instance.Npp(), nullptr), 0x0FFFFFFF);
  EXPECT_EQ(f.write(instance.Npp(), nullptr, 0, 1000, data), 1000);
  EXPECT_EQ(f.event(instance.Npp(), nullptr), 0);
}

TEST_F(PluginInstance, AnswersNameDescriptionAndXEmbed) {
  FakeInstance instance(browser);
  NPPluginFuncs& f = browser.PluginFuncs();
  const char* text = nullptr;
  ASSERT_EQ(f.getvalue(instance.Npp(), NPPVpluginNameString, &text), NPERR_NO_ERROR);
  EXPECT_STREQ(text, "NPRuntimeTest");
  ASSERT_EQ(f.getvalue(instance.Npp(), NPPVpluginDescriptionString, &text), NPERR_NO_ERROR);
  EXPECT_STREQ(text, "NPRuntime scriptability API test plugin");
  NPBool needsXEmbed = 0;
  ASSERT_EQ(f.getvalue(instance.Npp(), NPPVpluginNeedsXEmbed, &needsXEmbed), NPERR_NO_ERROR);
  EXPECT_TRUE(needsXEmbed);

  void* untouched = &needsXEmbed;
  EXPECT_EQ(f.getvalue(instance.Npp(), NPPVpluginWindowBool, &untouched), NPERR_GENERIC_ERROR);
  EXPECT_EQ(untouched, &needsXEmbed);
}

TEST_F(PluginInstance, ScriptableObjectIsOneObjectWithOneReferencePerAnswer) {
  long before = FakeBrowser::LiveAllocations();
  {
    FakeInstance instance(browser);
    NPPluginFuncs& f = browser.PluginFuncs();
    NPObject* first = nullptr;
    NPObject* second = nullptr;
    ASSERT_EQ(f.getvalue(instance.Npp(), NPPVpluginScriptableNPObject, &first), NPERR_NO_ERROR);
    EXPECT_EQ(first->referenceCount, 2u);  // the instance's own and ours
    ASSERT_EQ(f.getvalue(instance.Npp(), NPPVpluginScriptableNPObject, &second), NPERR_NO_ERROR);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->referenceCount, 3u);
    browser.Funcs().releaseobject(first);
    browser.Funcs().releaseobject(second);
    EXPECT_EQ(first->referenceCount, 1u);
  }  // NPP_Destroy drops the last reference; ASan reports a leak otherwise
  EXPECT_EQ(FakeBrowser::LiveAllocations(), before);
}

TEST_F(PluginInstance, NoObjectBeforeTheEntryPointsNamedTheClass) {
  FakeInstance instance(browser);
  NPClass* saved = plugin::ScriptableClass();
  plugin::SetScriptableClass(nullptr);
  NPObject* object = reinterpret_cast<NPObject*>(0x1);
  EXPECT_EQ(browser.PluginFuncs().getvalue(instance.Npp(), NPPVpluginScriptableNPObject, &object),
            NPERR_GENERIC_ERROR);
  EXPECT_EQ(object, nullptr);
  plugin::SetScriptableClass(saved);
}

}  // namespace
