#include "plugin/BrowserFuncs.h"

#include <cstring>

#include "trace/Trace.h"

namespace plugin {
namespace {
NPNetscapeFuncs g_browserFuncs{};
}

void SetBrowserFuncs(const NPNetscapeFuncs& browser) {
  g_browserFuncs = NPNetscapeFuncs{};
  std::memcpy(&g_browserFuncs, &browser, kCopiedNetscapeFuncsSize);
  g_browserFuncs.getJavaEnv = nullptr;
  g_browserFuncs.getJavaPeer = nullptr;
}

void ClearBrowserFuncs() { g_browserFuncs = NPNetscapeFuncs{}; }

const NPNetscapeFuncs& BrowserFuncs() { return g_browserFuncs; }

}  // namespace plugin

using plugin::BrowserFuncs;

void* NPN_MemAlloc(std::uint32_t size) {
  TraceHelper trace("NPN_MemAlloc");
  return BrowserFuncs().memalloc ? BrowserFuncs().memalloc(size) : nullptr;
}

void NPN_MemFree(void* ptr) {
  if (ptr && BrowserFuncs().memfree) BrowserFuncs().memfree(ptr);
}

NPIdentifier NPN_GetStringIdentifier(const NPUTF8* name) {
  TraceHelper trace("NPN_GetStringIdentifier");
  return BrowserFuncs().getstringidentifier ? BrowserFuncs().getstringidentifier(name) : nullptr;
}

NPUTF8* NPN_UTF8FromIdentifier(NPIdentifier identifier) {
  TraceHelper trace("NPN_UTF8FromIdentifier");
  return BrowserFuncs().utf8fromidentifier ? BrowserFuncs().utf8fromidentifier(identifier)
                                           : nullptr;
}

NPObject* NPN_CreateObject(NPP npp, NPClass* aClass) {
  TraceHelper trace("NPN_CreateObject");
  return BrowserFuncs().createobject ? BrowserFuncs().createobject(npp, aClass) : nullptr;
}

NPObject* NPN_RetainObject(NPObject* obj) {
  TraceHelper trace("NPN_RetainObject");
  return BrowserFuncs().retainobject ? BrowserFuncs().retainobject(obj) : obj;
}

void NPN_ReleaseObject(NPObject* obj) {
  TraceHelper trace("NPN_ReleaseObject");
  if (BrowserFuncs().releaseobject) BrowserFuncs().releaseobject(obj);
}

NPError NPN_GetValue(NPP instance, NPNVariable variable, void* value) {
  TraceHelper trace("NPN_GetValue");
  return BrowserFuncs().getvalue ? BrowserFuncs().getvalue(instance, variable, value)
                                 : NPERR_GENERIC_ERROR;
}

bool NPN_GetProperty(NPP npp, NPObject* obj, NPIdentifier propertyName, NPVariant* result) {
  TraceHelper trace("NPN_GetProperty");
  using GetProperty = bool (*)(NPP, NPObject*, NPIdentifier, NPVariant*);
  auto* getProperty = reinterpret_cast<GetProperty>(BrowserFuncs().getproperty);
  return getProperty && getProperty(npp, obj, propertyName, result);
}

void NPN_ReleaseVariantValue(NPVariant* variant) {
  TraceHelper trace("NPN_ReleaseVariantValue");
  using ReleaseVariantValue = void (*)(NPVariant*);
  auto* release = reinterpret_cast<ReleaseVariantValue>(BrowserFuncs().releasevariantvalue);
  if (release && variant) release(variant);
}
