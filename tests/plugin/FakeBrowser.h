// A small browser for driving the plug-in's exports and callbacks: interned
// string identifiers, counted allocations and reference-counted objects.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "plugin/npapi.h"

class FakeBrowser {
 public:
  FakeBrowser();
  ~FakeBrowser();

  NPNetscapeFuncs& Funcs() { return funcs_; }
  NPPluginFuncs& PluginFuncs() { return pluginFuncs_; }

  // Loads the plug-in as a Unix browser does: NP_Initialize with both tables.
  NPError Load();
  void Unload();

  NPIdentifier Id(const std::string& name);
  static NPVariant Str(const char* text);
  static NPVariant Bool(bool value);
  static NPVariant Int(int value);
  static std::string Text(const NPVariant& v);
  // Frees a string result the way the browser would.
  static void Release(NPVariant& v);

  static long LiveAllocations();
  // The page the instances are embedded in, as window.location tells it;
  // an empty protocol means the browser has no window to give.
  static void SetPage(const std::string& protocol, const std::string& origin);
  // Window and location objects handed out and not yet released.
  static long LivePageObjects();

 private:
  NPNetscapeFuncs funcs_{};
  NPPluginFuncs pluginFuncs_{};
};

// One embedded instance with its scriptable object.
class FakeInstance {
 public:
  explicit FakeInstance(FakeBrowser& browser);
  ~FakeInstance();
  NPP Npp() { return &npp_; }
  NPObject* Object();  // asks NPP_GetValue once; holds that reference
  bool Call(const std::string& method, std::vector<NPVariant> args, NPVariant* result);

 private:
  FakeBrowser& browser_;
  NPP_t npp_{};
  NPObject* object_ = nullptr;
};
