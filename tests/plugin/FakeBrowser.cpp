#include "plugin/FakeBrowser.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "plugin/EntryPoints.h"

namespace {

long g_liveAllocations = 0;
std::map<std::string, std::unique_ptr<char>>* g_identifiers = nullptr;

void* MemAlloc(std::uint32_t size) {
  ++g_liveAllocations;
  return std::malloc(size ? size : 1);
}
void MemFree(void* p) {
  if (!p) return;
  --g_liveAllocations;
  std::free(p);
}

// Identifiers are the addresses of interned names, as browsers intern them.
NPIdentifier GetStringIdentifier(const NPUTF8* name) {
  auto& slot = (*g_identifiers)[name];
  if (!slot) slot.reset(new char(0));
  return slot.get();
}
NPIdentifier GetIntIdentifier(std::int32_t) {
  static char intIdentifier;
  return &intIdentifier;
}
bool IdentifierIsString(NPIdentifier id) { return id != GetIntIdentifier(0); }
NPUTF8* UTF8FromIdentifier(NPIdentifier id) {
  for (auto& [name, slot] : *g_identifiers)
    if (slot.get() == id) {
      auto* text = static_cast<char*>(MemAlloc(static_cast<std::uint32_t>(name.size() + 1)));
      std::memcpy(text, name.c_str(), name.size() + 1);
      return text;
    }
  return nullptr;
}
NPObject* CreateObject(NPP npp, NPClass* aClass) {
  NPObject* obj = aClass->allocate ? aClass->allocate(npp, aClass)
                                   : static_cast<NPObject*>(std::malloc(sizeof(NPObject)));
  if (!obj) return nullptr;
  obj->_class = aClass;
  obj->referenceCount = 1;
  return obj;
}
NPObject* RetainObject(NPObject* obj) {
  if (obj) ++obj->referenceCount;
  return obj;
}
void ReleaseObject(NPObject* obj) {
  if (obj && --obj->referenceCount == 0) {
    if (obj->_class->deallocate)
      obj->_class->deallocate(obj);
    else
      std::free(obj);
  }
}

// The embedding page: window and window.location, made afresh for each
// request so that a reference the plug-in forgets to drop shows up.
std::string g_protocol, g_origin;
long g_livePageObjects = 0;
void DeallocatePageObject(NPObject* obj) {
  --g_livePageObjects;
  delete obj;
}
NPClass MakePageClass() {
  NPClass aClass{};
  aClass.structVersion = NP_CLASS_STRUCT_VERSION;
  aClass.deallocate = DeallocatePageObject;
  return aClass;
}
NPClass g_windowClass = MakePageClass();
NPClass g_locationClass = MakePageClass();

NPObject* NewPageObject(NPClass* aClass) {
  auto* obj = new NPObject{};
  obj->_class = aClass;
  obj->referenceCount = 1;
  ++g_livePageObjects;
  return obj;
}

NPError GetValue(NPP, NPNVariable variable, void* value) {
  if (variable != NPNVWindowNPObject || g_protocol.empty()) return NPERR_GENERIC_ERROR;
  *static_cast<NPObject**>(value) = NewPageObject(&g_windowClass);
  return NPERR_NO_ERROR;
}

void SetString(NPVariant* result, const std::string& text) {
  auto* copy = static_cast<char*>(MemAlloc(static_cast<std::uint32_t>(text.size() + 1)));
  std::memcpy(copy, text.c_str(), text.size() + 1);
  result->type = NPVariantType_String;
  result->value.stringValue = {copy, static_cast<std::uint32_t>(text.size())};
}

bool GetProperty(NPP, NPObject* obj, NPIdentifier name, NPVariant* result) {
  *result = NPVariant{};
  if (obj->_class == &g_windowClass && name == GetStringIdentifier("location")) {
    result->type = NPVariantType_Object;
    result->value.objectValue = NewPageObject(&g_locationClass);
    return true;
  }
  if (obj->_class != &g_locationClass) return false;
  if (name == GetStringIdentifier("protocol")) {
    SetString(result, g_protocol);
    return true;
  }
  if (name == GetStringIdentifier("origin")) {
    SetString(result, g_origin);
    return true;
  }
  return false;
}

void ReleaseVariantValue(NPVariant* v) {
  if (v->type == NPVariantType_String)
    MemFree(const_cast<char*>(v->value.stringValue.UTF8Characters));
  if (v->type == NPVariantType_Object) ReleaseObject(v->value.objectValue);
  *v = NPVariant{};
}

}  // namespace

void FakeBrowser::SetPage(const std::string& protocol, const std::string& origin) {
  g_protocol = protocol;
  g_origin = origin;
}

long FakeBrowser::LivePageObjects() { return g_livePageObjects; }

FakeBrowser::FakeBrowser() {
  if (!g_identifiers) g_identifiers = new std::map<std::string, std::unique_ptr<char>>();
  funcs_.size = sizeof(NPNetscapeFuncs);
  funcs_.version = NP_VERSION_MINOR;
  funcs_.memalloc = MemAlloc;
  funcs_.memfree = MemFree;
  funcs_.getstringidentifier = GetStringIdentifier;
  funcs_.getintidentifier = GetIntIdentifier;
  funcs_.identifierisstring = IdentifierIsString;
  funcs_.utf8fromidentifier = UTF8FromIdentifier;
  funcs_.createobject = CreateObject;
  funcs_.retainobject = RetainObject;
  funcs_.releaseobject = ReleaseObject;
  funcs_.getvalue = GetValue;
  funcs_.getproperty = reinterpret_cast<NPGenericFuncPtr>(&GetProperty);
  funcs_.releasevariantvalue = reinterpret_cast<NPGenericFuncPtr>(&ReleaseVariantValue);
  pluginFuncs_.size = sizeof(NPPluginFuncs);
}

FakeBrowser::~FakeBrowser() = default;

NPError FakeBrowser::Load() { return plugin::Initialize(&funcs_, &pluginFuncs_); }
void FakeBrowser::Unload() { plugin::Shutdown(); }

NPIdentifier FakeBrowser::Id(const std::string& name) { return GetStringIdentifier(name.c_str()); }

NPVariant FakeBrowser::Str(const char* text) {
  NPVariant v{};
  v.type = NPVariantType_String;
  v.value.stringValue = {text, static_cast<std::uint32_t>(std::strlen(text))};
  return v;
}
NPVariant FakeBrowser::Bool(bool value) {
  NPVariant v{};
  v.type = NPVariantType_Bool;
  v.value.boolValue = value;
  return v;
}
NPVariant FakeBrowser::Int(int value) {
  NPVariant v{};
  v.type = NPVariantType_Int32;
  v.value.intValue = value;
  return v;
}
std::string FakeBrowser::Text(const NPVariant& v) {
  if (v.type != NPVariantType_String) return "<not a string>";
  return std::string(v.value.stringValue.UTF8Characters, v.value.stringValue.UTF8Length);
}
void FakeBrowser::Release(NPVariant& v) {
  if (v.type == NPVariantType_String)
    MemFree(const_cast<char*>(v.value.stringValue.UTF8Characters));
  v = NPVariant{};
}
long FakeBrowser::LiveAllocations() { return g_liveAllocations; }

FakeInstance::FakeInstance(FakeBrowser& browser) : browser_(browser) {
  browser_.PluginFuncs().newp(const_cast<char*>("application/npSigil.TEAL.x86"), &npp_, NP_EMBED, 0,
                              nullptr, nullptr, nullptr);
}

FakeInstance::~FakeInstance() {
  browser_.PluginFuncs().destroy(&npp_, nullptr);
  if (object_) ReleaseObject(object_);
}

NPObject* FakeInstance::Object() {
  if (!object_) browser_.PluginFuncs().getvalue(&npp_, NPPVpluginScriptableNPObject, &object_);
  return object_;
}

bool FakeInstance::Call(const std::string& method, std::vector<NPVariant> argv, NPVariant* result) {
  NPObject* obj = Object();
  return obj->_class->invoke(obj, browser_.Id(method), argv.data(),
                             static_cast<std::uint32_t>(argv.size()), result);
}
