#include "plugin/EntryPoints.h"

#include <memory>

#include "plugin/BrowserFuncs.h"
#include "plugin/Plugin.h"
#include "plugin/ScriptableObject.h"
#include "register/CertificateChainOperate.h"
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
  // The CA chain travels as the module's "CERTIFICATE" resource 104.
  step.Step(u"DllRegisterServer-LoadModuleResource");
  BYTE* pbyResource = nullptr;
  DWORD dwResourceLength = 0;
  HRESULT hResult = LoadModuleResource(&pbyResource, &dwResourceLength);
  if (FAILED(hResult)) {
    step.Failed(hResult, u"FAILED(LoadModuleResource)");
    return;
  }
  std::unique_ptr<BYTE[]> resource(pbyResource);
  step.Passed();

  // Installing needs administrative rights; without them the writes fail
  // and the installation of the plug-in itself still goes on.
  step.Step(u"DllRegisterServer-ImportCertificateChainfromBlobData");
  hResult = ImportCertificateChainfromBlobData(resource.get(), dwResourceLength);
  if (FAILED(hResult))
    step.Failed(hResult, u"FAILED(ImportCertificateChainfromBlobData)");
  else
    step.Passed();
}

}  // namespace plugin
