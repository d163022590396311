#include "plugin/EntryPoints.h"

#include "agent/CryptoAgent.h"
#include "platform/LastError.h"
#include "platform/Resources.h"
#include "plugin/BrowserFuncs.h"
#include "plugin/Plugin.h"
#include "plugin/ScriptableObject.h"
#include "resources/ModuleResources.h"
#include "trace/Trace.h"

namespace plugin {

NPError GetEntryPoints(NPPluginFuncs* pFuncs) {
  TraceHelper trace("NP_GetEntryPoints");
  SetScriptableClass(CScriptablePluginObject::Class());
  if (!pFuncs || pFuncs->size < kMinPluginFuncsSize) return NPERR_INVALID_FUNCTABLE_ERROR;

  pFuncs->version = 22;
  pFuncs->newp = NPP_New;
  pFuncs->destroy = NPP_Destroy;
  pFuncs->setwindow = NPP_SetWindow;
  pFuncs->newstream = NPP_NewStream;
  pFuncs->destroystream = NPP_DestroyStream;
  pFuncs->asfile = NPP_StreamAsFile;
  pFuncs->writeready = NPP_WriteReady;
  pFuncs->write = NPP_Write;
  pFuncs->print = NPP_Print;
  pFuncs->event = NPP_HandleEvent;
  pFuncs->urlnotify = NPP_URLNotify;
  pFuncs->javaClass = nullptr;
  pFuncs->getvalue = NPP_GetValue;
  pFuncs->setvalue = NPP_SetValue;
  return NPERR_NO_ERROR;
}

NPError Initialize(NPNetscapeFuncs* pBrowserFuncs, NPPluginFuncs* pPluginFuncs) {
  StartTracing();
  TraceHelper trace("NP_Initialize");
  if (!pBrowserFuncs) return NPERR_INVALID_FUNCTABLE_ERROR;
  if ((pBrowserFuncs->version >> 8) > NP_VERSION_MAJOR) return NPERR_INCOMPATIBLE_VERSION_ERROR;
  if (pBrowserFuncs->size < kMinNetscapeFuncsSize) return NPERR_INVALID_FUNCTABLE_ERROR;
  SetBrowserFuncs(*pBrowserFuncs);
  // Unix browsers hand the plug-in table to NP_Initialize instead of calling
  // NP_GetEntryPoints first.
  if (pPluginFuncs) return GetEntryPoints(pPluginFuncs);
  return NPERR_NO_ERROR;
}

NPError Shutdown() {
  { TraceHelper trace("NP_Shutdown"); }
  StopTracing();
  return NPERR_NO_ERROR;
}

const char* GetMIMEDescription() {
  TraceHelper trace("NP_GetMIMEDescription");
  return kMIMEDescription;
}

NPError GetValue(void*, NPPVariable variable, void* value) {
  TraceHelper trace("NP_GetValue");
  if (!value) return NPERR_INVALID_PARAM;
  switch (variable) {
    case NPPVpluginNameString:
      *static_cast<const char**>(value) = "NPRuntimeTest";
      return NPERR_NO_ERROR;
    case NPPVpluginDescriptionString:
      *static_cast<const char**>(value) = "NPRuntime scriptability API test plugin";
      return NPERR_NO_ERROR;
    default:
      return NPERR_GENERIC_ERROR;
  }
}

void Install() {
  TraceHelper trace("NP_Install");
  StepTrace step(kTraceGuidPlugin, u"npSigil", u"NP_Install");
  step.Step(u"DllRegisterServer-LoadModuleResource");
  // The CA chain travels as the module's "CERTIFICATE" resource 104. Until
  // a chain is embedded there is nothing to import, and the trace says so.
  HRSRC hResource = FindResourceW(GetSigilModuleHandle(), 104, u"CERTIFICATE");
  if (!hResource) {
    step.Failed(ResultFromLastError(GetLastError()), u"NULL == hResource");
    return;
  }
  step.Passed();
}

}  // namespace plugin
