// The npruntime object that page script reaches: a virtual layer over
// NPObject, the static NPClass whose hooks forward into it, and the 27
// script methods with their adapters.
#pragma once

#include "agent/CryptoAgent.h"
#include "plugin/npapi.h"

class CScriptablePluginObjectBase : public NPObject {
 public:
  explicit CScriptablePluginObjectBase(NPP npp) : m_npp(npp) {}
  virtual ~CScriptablePluginObjectBase() = default;
  CScriptablePluginObjectBase(const CScriptablePluginObjectBase&) = delete;
  CScriptablePluginObjectBase& operator=(const CScriptablePluginObjectBase&) = delete;

  virtual void Invalidate() {}
  virtual bool HasMethod(NPIdentifier) { return false; }
  virtual bool Invoke(NPIdentifier, const NPVariant*, std::uint32_t, NPVariant*) { return false; }
  virtual bool InvokeDefault(const NPVariant*, std::uint32_t, NPVariant*) { return false; }
  virtual bool HasProperty(NPIdentifier) { return false; }
  virtual bool GetProperty(NPIdentifier, NPVariant*) { return false; }
  virtual bool SetProperty(NPIdentifier, const NPVariant*) { return false; }
  virtual bool RemoveProperty(NPIdentifier) { return false; }
  virtual bool Enumerate(NPIdentifier**, std::uint32_t*) { return false; }
  virtual bool Construct(const NPVariant*, std::uint32_t, NPVariant*) { return false; }

  // NPClass hooks: cast back to the object and call the virtual operation.
  static void _Deallocate(NPObject* npobj);
  static void _Invalidate(NPObject* npobj);
  static bool _HasMethod(NPObject* npobj, NPIdentifier name);
  static bool _Invoke(NPObject* npobj, NPIdentifier name, const NPVariant* args,
                      std::uint32_t argCount, NPVariant* result);
  static bool _InvokeDefault(NPObject* npobj, const NPVariant* args, std::uint32_t argCount,
                             NPVariant* result);
  static bool _HasProperty(NPObject* npobj, NPIdentifier name);
  static bool _GetProperty(NPObject* npobj, NPIdentifier name, NPVariant* result);
  static bool _SetProperty(NPObject* npobj, NPIdentifier name, const NPVariant* value);
  static bool _RemoveProperty(NPObject* npobj, NPIdentifier name);
  static bool _Enumerate(NPObject* npobj, NPIdentifier** value, std::uint32_t* count);
  static bool _Construct(NPObject* npobj, const NPVariant* args, std::uint32_t argCount,
                         NPVariant* result);

 protected:
  NPP m_npp;
};

class CScriptablePluginObject : public CScriptablePluginObjectBase {
 public:
  explicit CScriptablePluginObject(NPP npp) : CScriptablePluginObjectBase(npp) {}
  ~CScriptablePluginObject() override = default;

  static NPClass* Class();
  static NPObject* AllocateCScriptableObject(NPP npp, NPClass* aClass);

  bool HasMethod(NPIdentifier name) override;
  bool Invoke(NPIdentifier name, const NPVariant* args, std::uint32_t argCount,
              NPVariant* result) override;
  bool InvokeDefault(const NPVariant* args, std::uint32_t argCount, NPVariant* result) override;
  bool HasProperty(NPIdentifier name) override;
  bool GetProperty(NPIdentifier name, NPVariant* result) override;
  bool SetProperty(NPIdentifier name, const NPVariant* value) override;

  // Adapters, one per script method.
#define NPSIGIL_ADAPTER(name) \
  bool np##name(const NPVariant* args, std::uint32_t argCount, NPVariant* result);
  NPSIGIL_ADAPTER(SelectCertificate)
  NPSIGIL_ADAPTER(GetSignCertInfo)
  NPSIGIL_ADAPTER(SignMsgPKCS1)
  NPSIGIL_ADAPTER(SignMsgPKCS7)
  NPSIGIL_ADAPTER(SignMsgPKCS1_BySoftCert)
  NPSIGIL_ADAPTER(SignMsgPKCS7_BySoftCert)
  NPSIGIL_ADAPTER(VerifyMsgSignaturePKCS1)
  NPSIGIL_ADAPTER(VerifyMsgSignaturePKCS7Attached)
  NPSIGIL_ADAPTER(VerifyMsgSignaturePKCS7Detached)
  NPSIGIL_ADAPTER(SignFilePKCS1)
  NPSIGIL_ADAPTER(SignFilePKCS7Detached)
  NPSIGIL_ADAPTER(SignFilePKCS1_BySoftCert)
  NPSIGIL_ADAPTER(SignFilePKCS7Detached_BySoftCert)
  NPSIGIL_ADAPTER(VerifyFileSignaturePKCS1)
  NPSIGIL_ADAPTER(VerifyFileSignaturePKCS7Detached)
  NPSIGIL_ADAPTER(SelectEncryptCertificate)
  NPSIGIL_ADAPTER(GetEncryptCertInfo)
  NPSIGIL_ADAPTER(EncryptMsgCMSEnvelopeEx)
  NPSIGIL_ADAPTER(EncryptMsgCMSEnvelopeEx_ByCert)
  NPSIGIL_ADAPTER(DecryptMsgCMSEnvelopeEx)
  NPSIGIL_ADAPTER(DecryptMsgCMSEnvelopeEx_BySoftCert)
  NPSIGIL_ADAPTER(EncryptFileCMSEnvelopeEx)
  NPSIGIL_ADAPTER(EncryptFileCMSEnvelopeEx_ByCert)
  NPSIGIL_ADAPTER(DecryptFileCMSEnvelopeEx)
  NPSIGIL_ADAPTER(DecryptFileCMSEnvelopeEx_BySoftCert)
  NPSIGIL_ADAPTER(GetVersion)
  NPSIGIL_ADAPTER(GetLastErrorDesc)
#undef NPSIGIL_ADAPTER

  CCryptoAgent& Agent() { return m_objCryptoAgent; }

 private:
  // The agent works for the embedding page from the first call on; by then
  // the page's window can be asked where it came from.
  void ServeEmbeddingPage();

  CCryptoAgent m_objCryptoAgent;
  bool m_bServingPage = false;
};
