#include "plugin/Plugin.h"

#include <new>

#include "plugin/BrowserFuncs.h"
#include "trace/Trace.h"

namespace {
NPClass* g_pScriptableClass = nullptr;

constexpr const char* kPluginName = "NPRuntimeTest";
constexpr const char* kPluginDescription = "NPRuntime scriptability API test plugin";
}  // namespace

CPlugin::CPlugin(NPP pNPInstance) : m_pInstance(pNPInstance), m_pScriptableObject(nullptr) {
  TraceHelper trace("CPlugin::CPlugin");
  m_pInstance->pdata = this;
}

CPlugin::~CPlugin() {
  TraceHelper trace("CPlugin::~CPlugin");
  if (m_pScriptableObject) NPN_ReleaseObject(m_pScriptableObject);
}

void CPlugin::shut() { TraceHelper trace("CPlugin::shut"); }

std::int16_t CPlugin::handleEvent(void*) {
  TraceHelper trace("CPlugin::handleEvent");
  return 0;
}

NPObject* CPlugin::GetScriptableObject() {
  TraceHelper trace("CPlugin::GetScriptableObject");
  if (!m_pScriptableObject) {
    if (!g_pScriptableClass) {
      TraceRecord(TRACE_FLAG_ENGINE, kTraceGuidPlugin, TRACE_MSG_VALUE_A,
                  {TraceArgA("CPlugin::GetScriptableObject"),
                   TraceArgA("no scriptable class: NP_GetEntryPoints was never called")});
      return nullptr;
    }
    m_pScriptableObject = NPN_CreateObject(m_pInstance, g_pScriptableClass);
  }
  if (m_pScriptableObject) NPN_RetainObject(m_pScriptableObject);
  return m_pScriptableObject;
}

namespace plugin {

void SetScriptableClass(NPClass* aClass) { g_pScriptableClass = aClass; }
NPClass* ScriptableClass() { return g_pScriptableClass; }

NPError NPP_New(NPMIMEType pluginType, NPP instance, std::uint16_t mode, std::int16_t, char*[],
                char*[], NPSavedData*) {
  TraceHelper trace("NPP_New");
  TraceValue(kTraceGuidPlugin, "MIME type", pluginType);
  TraceValue(kTraceGuidPlugin, "mode", static_cast<std::uint32_t>(mode));
  if (!instance) return NPERR_INVALID_INSTANCE_ERROR;
  auto* pPlugin = new (std::nothrow) CPlugin(instance);
  if (!pPlugin) return NPERR_OUT_OF_MEMORY_ERROR;
  return NPERR_NO_ERROR;
}

NPError NPP_Destroy(NPP instance, NPSavedData**) {
  TraceHelper trace("NPP_Destroy");
  if (!instance) return NPERR_INVALID_INSTANCE_ERROR;
  if (auto* pPlugin = static_cast<CPlugin*>(instance->pdata)) {
    pPlugin->shut();
    delete pPlugin;
    instance->pdata = nullptr;
  }
  return NPERR_NO_ERROR;
}

NPError NPP_SetWindow(NPP instance, NPWindow*) {
  TraceHelper trace("NPP_SetWindow");
  return instance ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}

NPError NPP_NewStream(NPP instance, NPMIMEType, NPStream*, NPBool, std::uint16_t*) {
  TraceHelper trace("NPP_NewStream");
  return instance ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}

NPError NPP_DestroyStream(NPP instance, NPStream*, NPReason) {
  TraceHelper trace("NPP_DestroyStream");
  return instance ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}

void NPP_StreamAsFile(NPP, NPStream*, const char*) { TraceHelper trace("NPP_StreamAsFile"); }

std::int32_t NPP_WriteReady(NPP instance, NPStream*) {
  TraceHelper trace("NPP_WriteReady");
  return instance ? 0x0FFFFFFF : NPERR_INVALID_INSTANCE_ERROR;
}

std::int32_t NPP_Write(NPP instance, NPStream*, std::int32_t, std::int32_t len, void*) {
  TraceHelper trace("NPP_Write");
  return instance ? len : NPERR_INVALID_INSTANCE_ERROR;
}

void NPP_Print(NPP, NPPrint*) { TraceHelper trace("NPP_Print"); }

std::int16_t NPP_HandleEvent(NPP instance, void* event) {
  TraceHelper trace("NPP_HandleEvent");
  if (instance && instance->pdata) static_cast<CPlugin*>(instance->pdata)->handleEvent(event);
  return 0;
}

void NPP_URLNotify(NPP, const char*, NPReason, void*) { TraceHelper trace("NPP_URLNotify"); }

NPError NPP_GetValue(NPP instance, NPPVariable variable, void* value) {
  TraceHelper trace("NPP_GetValue");
  TraceValue(kTraceGuidPlugin, "variable", static_cast<std::uint32_t>(variable));
  if (!instance) return NPERR_INVALID_INSTANCE_ERROR;
  auto* pPlugin = static_cast<CPlugin*>(instance->pdata);
  if (!pPlugin) return NPERR_GENERIC_ERROR;
  switch (variable) {
    case NPPVpluginNameString:
      *static_cast<const char**>(value) = kPluginName;
      return NPERR_NO_ERROR;
    case NPPVpluginDescriptionString:
      *static_cast<const char**>(value) = kPluginDescription;
      return NPERR_NO_ERROR;
    case NPPVpluginNeedsXEmbed:
      *static_cast<NPBool*>(value) = 1;
      return NPERR_NO_ERROR;
    case NPPVpluginScriptableNPObject: {
      NPObject* pObject = pPlugin->GetScriptableObject();
      *static_cast<NPObject**>(value) = pObject;
      return pObject ? NPERR_NO_ERROR : NPERR_GENERIC_ERROR;
    }
    default:
      return NPERR_GENERIC_ERROR;
  }
}

NPError NPP_SetValue(NPP instance, NPNVariable, void*) {
  TraceHelper trace("NPP_SetValue");
  return instance ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}

}  // namespace plugin
