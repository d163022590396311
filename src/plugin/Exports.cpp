// The module's exported C entry points. Everything else stays hidden.
#include "plugin/EntryPoints.h"

#define NPSIGIL_EXPORT extern "C" __attribute__((visibility("default")))

NPSIGIL_EXPORT NPError NP_GetEntryPoints(NPPluginFuncs* pFuncs) {
  return plugin::GetEntryPoints(pFuncs);
}

NPSIGIL_EXPORT NPError NP_Initialize(NPNetscapeFuncs* pBrowserFuncs, NPPluginFuncs* pPluginFuncs) {
  return plugin::Initialize(pBrowserFuncs, pPluginFuncs);
}

NPSIGIL_EXPORT NPError NP_Shutdown() { return plugin::Shutdown(); }

NPSIGIL_EXPORT const char* NP_GetMIMEDescription() { return plugin::GetMIMEDescription(); }

NPSIGIL_EXPORT NPError NP_GetValue(void* future, NPPVariable variable, void* value) {
  return plugin::GetValue(future, variable, value);
}

NPSIGIL_EXPORT void NP_Install() { plugin::Install(); }
