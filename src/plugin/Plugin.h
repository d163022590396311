// One CPlugin per embedded instance; it hands the page its scriptable object.
#pragma once

#include "plugin/npapi.h"

class CPlugin {
 public:
  explicit CPlugin(NPP pNPInstance);
  ~CPlugin();
  CPlugin(const CPlugin&) = delete;
  CPlugin& operator=(const CPlugin&) = delete;

  void shut();
  std::int16_t handleEvent(void* event);
  // Creates the object on first use; every answer carries one new reference
  // for the browser.
  NPObject* GetScriptableObject();

 private:
  NPP m_pInstance;
  NPObject* m_pScriptableObject;
};

namespace plugin {

// The instance callbacks placed in the browser's NPPluginFuncs.
NPError NPP_New(NPMIMEType pluginType, NPP instance, std::uint16_t mode, std::int16_t argc,
                char* argn[], char* argv[], NPSavedData* saved);
NPError NPP_Destroy(NPP instance, NPSavedData** save);
NPError NPP_SetWindow(NPP instance, NPWindow* window);
NPError NPP_NewStream(NPP instance, NPMIMEType type, NPStream* stream, NPBool seekable,
                      std::uint16_t* stype);
NPError NPP_DestroyStream(NPP instance, NPStream* stream, NPReason reason);
void NPP_StreamAsFile(NPP instance, NPStream* stream, const char* fname);
std::int32_t NPP_WriteReady(NPP instance, NPStream* stream);
std::int32_t NPP_Write(NPP instance, NPStream* stream, std::int32_t offset, std::int32_t len,
                       void* buffer);
void NPP_Print(NPP instance, NPPrint* platformPrint);
std::int16_t NPP_HandleEvent(NPP instance, void* event);
void NPP_URLNotify(NPP instance, const char* url, NPReason reason, void* notifyData);
NPError NPP_GetValue(NPP instance, NPPVariable variable, void* value);
NPError NPP_SetValue(NPP instance, NPNVariable variable, void* value);

// The scriptable class, set by the entry points; null until then.
void SetScriptableClass(NPClass* aClass);
NPClass* ScriptableClass();

}  // namespace plugin
