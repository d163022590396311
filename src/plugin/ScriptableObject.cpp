#include "plugin/ScriptableObject.h"

#include <cstring>
#include <new>

#include "plugin/BrowserFuncs.h"
#include "plugin/PageOrigin.h"
#include "trace/Trace.h"

namespace {

using Adapter = bool (CScriptablePluginObject::*)(const NPVariant*, std::uint32_t, NPVariant*);

struct MethodEntry {
  const char* name;
  Adapter adapter;
};

// The dispatch order; names are matched by identifier, so case matters.
constexpr MethodEntry kMethods[] = {
    {"SelectCertificate", &CScriptablePluginObject::npSelectCertificate},
    {"GetSignCertInfo", &CScriptablePluginObject::npGetSignCertInfo},
    {"SignMsgPKCS1", &CScriptablePluginObject::npSignMsgPKCS1},
    {"SignMsgPKCS7", &CScriptablePluginObject::npSignMsgPKCS7},
    {"SignMsgPKCS1_BySoftCert", &CScriptablePluginObject::npSignMsgPKCS1_BySoftCert},
    {"SignMsgPKCS7_BySoftCert", &CScriptablePluginObject::npSignMsgPKCS7_BySoftCert},
    {"VerifyMsgSignaturePKCS1", &CScriptablePluginObject::npVerifyMsgSignaturePKCS1},
    {"VerifyMsgSignaturePKCS7Attached",
     &CScriptablePluginObject::npVerifyMsgSignaturePKCS7Attached},
    {"VerifyMsgSignaturePKCS7Detached",
     &CScriptablePluginObject::npVerifyMsgSignaturePKCS7Detached},
    {"SignFilePKCS1", &CScriptablePluginObject::npSignFilePKCS1},
    {"SignFilePKCS7Detached", &CScriptablePluginObject::npSignFilePKCS7Detached},
    {"SignFilePKCS1_BySoftCert", &CScriptablePluginObject::npSignFilePKCS1_BySoftCert},
    {"SignFilePKCS7Detached_BySoftCert",
     &CScriptablePluginObject::npSignFilePKCS7Detached_BySoftCert},
    {"VerifyFileSignaturePKCS1", &CScriptablePluginObject::npVerifyFileSignaturePKCS1},
    {"VerifyFileSignaturePKCS7Detached",
     &CScriptablePluginObject::npVerifyFileSignaturePKCS7Detached},
    {"SelectEncryptCertificate", &CScriptablePluginObject::npSelectEncryptCertificate},
    {"GetEncryptCertInfo", &CScriptablePluginObject::npGetEncryptCertInfo},
    {"EncryptMsgCMSEnvelopeEx", &CScriptablePluginObject::npEncryptMsgCMSEnvelopeEx},
    {"EncryptMsgCMSEnvelopeEx_ByCert", &CScriptablePluginObject::npEncryptMsgCMSEnvelopeEx_ByCert},
    {"DecryptMsgCMSEnvelopeEx", &CScriptablePluginObject::npDecryptMsgCMSEnvelopeEx},
    {"DecryptMsgCMSEnvelopeEx_BySoftCert",
     &CScriptablePluginObject::npDecryptMsgCMSEnvelopeEx_BySoftCert},
    {"EncryptFileCMSEnvelopeEx", &CScriptablePluginObject::npEncryptFileCMSEnvelopeEx},
    {"EncryptFileCMSEnvelopeEx_ByCert",
     &CScriptablePluginObject::npEncryptFileCMSEnvelopeEx_ByCert},
    {"DecryptFileCMSEnvelopeEx", &CScriptablePluginObject::npDecryptFileCMSEnvelopeEx},
    {"DecryptFileCMSEnvelopeEx_BySoftCert",
     &CScriptablePluginObject::npDecryptFileCMSEnvelopeEx_BySoftCert},
    {"GetVersion", &CScriptablePluginObject::npGetVersion},
    {"GetLastErrorDesc", &CScriptablePluginObject::npGetLastErrorDesc},
};
static_assert(std::size(kMethods) == 27);

// Identifiers are interned by the browser, so equality of identifiers is
// equality of names. They are fetched afresh each time: nothing is cached
// across pages or browsers.
const MethodEntry* FindMethod(NPIdentifier name) {
  for (const MethodEntry& entry : kMethods)
    if (NPN_GetStringIdentifier(entry.name) == name) return &entry;
  return nullptr;
}

void TraceMethodName(NPIdentifier name) {
  if (!IsTraceOn(TRACE_FLAG_INFO)) return;
  NPUTF8* text = NPN_UTF8FromIdentifier(name);
  TraceValue(kTraceGuidPlugin, "method", text);
  NPN_MemFree(text);
}

void TraceUnknownMethod(const char* function) {
  TraceRecord(TRACE_FLAG_ENGINE | TRACE_FLAG_ERROR, kTraceGuidPlugin, TRACE_MSG_VALUE_A,
              {TraceArgA(function), TraceArgA("method not found")});
}

CScriptablePluginObjectBase* Self(NPObject* npobj) {
  return static_cast<CScriptablePluginObjectBase*>(npobj);
}

NPClass g_scriptableClass = {
    NP_CLASS_STRUCT_VERSION,
    CScriptablePluginObject::AllocateCScriptableObject,
    CScriptablePluginObjectBase::_Deallocate,
    CScriptablePluginObjectBase::_Invalidate,
    CScriptablePluginObjectBase::_HasMethod,
    CScriptablePluginObjectBase::_Invoke,
    CScriptablePluginObjectBase::_InvokeDefault,
    CScriptablePluginObjectBase::_HasProperty,
    CScriptablePluginObjectBase::_GetProperty,
    CScriptablePluginObjectBase::_SetProperty,
    CScriptablePluginObjectBase::_RemoveProperty,
    CScriptablePluginObjectBase::_Enumerate,
    CScriptablePluginObjectBase::_Construct,
};

}  // namespace

// ---- NPClass hooks -----------------------------------------------------------

void CScriptablePluginObjectBase::_Deallocate(NPObject* npobj) {
  TraceHelper trace("CScriptablePluginObjectBase::_Deallocate");
  if (npobj) delete Self(npobj);
}

void CScriptablePluginObjectBase::_Invalidate(NPObject* npobj) {
  TraceHelper trace("CScriptablePluginObjectBase::_Invalidate");
  Self(npobj)->Invalidate();
}

bool CScriptablePluginObjectBase::_HasMethod(NPObject* npobj, NPIdentifier name) {
  TraceHelper trace("CScriptablePluginObjectBase::_HasMethod");
  return Self(npobj)->HasMethod(name);
}

bool CScriptablePluginObjectBase::_Invoke(NPObject* npobj, NPIdentifier name, const NPVariant* args,
                                          std::uint32_t argCount, NPVariant* result) {
  TraceHelper trace("CScriptablePluginObjectBase::_Invoke");
  return Self(npobj)->Invoke(name, args, argCount, result);
}

bool CScriptablePluginObjectBase::_InvokeDefault(NPObject* npobj, const NPVariant* args,
                                                 std::uint32_t argCount, NPVariant* result) {
  TraceHelper trace("CScriptablePluginObjectBase::_InvokeDefault");
  return Self(npobj)->InvokeDefault(args, argCount, result);
}

bool CScriptablePluginObjectBase::_HasProperty(NPObject* npobj, NPIdentifier name) {
  TraceHelper trace("CScriptablePluginObjectBase::_HasProperty");
  return Self(npobj)->HasProperty(name);
}

bool CScriptablePluginObjectBase::_GetProperty(NPObject* npobj, NPIdentifier name,
                                               NPVariant* result) {
  TraceHelper trace("CScriptablePluginObjectBase::_GetProperty");
  return Self(npobj)->GetProperty(name, result);
}

bool CScriptablePluginObjectBase::_SetProperty(NPObject* npobj, NPIdentifier name,
                                               const NPVariant* value) {
  TraceHelper trace("CScriptablePluginObjectBase::_SetProperty");
  return Self(npobj)->SetProperty(name, value);
}

bool CScriptablePluginObjectBase::_RemoveProperty(NPObject* npobj, NPIdentifier name) {
  TraceHelper trace("CScriptablePluginObjectBase::_RemoveProperty");
  return Self(npobj)->RemoveProperty(name);
}

bool CScriptablePluginObjectBase::_Enumerate(NPObject* npobj, NPIdentifier** value,
                                             std::uint32_t* count) {
  TraceHelper trace("CScriptablePluginObjectBase::_Enumerate");
  return Self(npobj)->Enumerate(value, count);
}

bool CScriptablePluginObjectBase::_Construct(NPObject* npobj, const NPVariant* args,
                                             std::uint32_t argCount, NPVariant* result) {
  TraceHelper trace("CScriptablePluginObjectBase::_Construct");
  return Self(npobj)->Construct(args, argCount, result);
}

// ---- CScriptablePluginObject -----------------------------------------------

NPClass* CScriptablePluginObject::Class() { return &g_scriptableClass; }

void CScriptablePluginObject::ServeEmbeddingPage() {
  if (m_bServingPage) return;
  m_bServingPage = true;
  m_objCryptoAgent.ServePage(plugin::LearnPageOrigin(m_npp));
}

NPObject* CScriptablePluginObject::AllocateCScriptableObject(NPP npp, NPClass*) {
  TraceHelper trace("AllocateCScriptableObject");
  CScriptablePluginObjectBase* pObject = new (std::nothrow) CScriptablePluginObject(npp);
  return pObject;  // the NPObject base; null when allocation failed
}

bool CScriptablePluginObject::HasMethod(NPIdentifier name) {
  TraceHelper trace("CScriptablePluginObject::HasMethod");
  TraceMethodName(name);
  if (FindMethod(name)) return true;
  TraceUnknownMethod("CScriptablePluginObject::HasMethod");
  return false;
}

bool CScriptablePluginObject::Invoke(NPIdentifier name, const NPVariant* args,
                                     std::uint32_t argCount, NPVariant* result) {
  TraceHelper trace("CScriptablePluginObject::Invoke");
  TraceMethodName(name);
  TraceValue(kTraceGuidPlugin, "argCount", argCount);
  if (const MethodEntry* entry = FindMethod(name)) {
    ServeEmbeddingPage();
    return (this->*entry->adapter)(args, argCount, result);
  }
  TraceUnknownMethod("CScriptablePluginObject::Invoke");
  return false;
}

bool CScriptablePluginObject::InvokeDefault(const NPVariant*, std::uint32_t, NPVariant* result) {
  TraceHelper trace("CScriptablePluginObject::InvokeDefault");
  static constexpr char kText[] = "default method return val";
  constexpr std::uint32_t kLength = sizeof kText - 1;  // 25
  auto* pBuffer = static_cast<char*>(NPN_MemAlloc(kLength + 1));
  if (!pBuffer) return false;
  std::memcpy(pBuffer, kText, kLength + 1);
  result->type = NPVariantType_String;
  result->value.stringValue = {pBuffer, kLength};
  return true;
}

bool CScriptablePluginObject::HasProperty(NPIdentifier) {
  TraceHelper trace("CScriptablePluginObject::HasProperty");
  return false;
}

bool CScriptablePluginObject::GetProperty(NPIdentifier, NPVariant*) {
  TraceHelper trace("CScriptablePluginObject::GetProperty");
  return false;
}

bool CScriptablePluginObject::SetProperty(NPIdentifier, const NPVariant*) {
  TraceHelper trace("CScriptablePluginObject::SetProperty");
  return false;
}
