// The per-object crypto agent: the selected certificates, the last result
// code and the 27 operations that page script reaches, in slot order.
#pragma once

#include <memory>
#include <string>

#include "platform/cert/CertContext.h"
#include "platform/base/WinTypes.h"
#include "winsvc/UnregisteredCertContext.h"

namespace agent {
class SiteConsent;
}

class CCryptoAgent {
 public:
  CCryptoAgent();
  virtual ~CCryptoAgent();  // the bridge owns its agents through pointers
  CCryptoAgent(const CCryptoAgent&) = delete;
  CCryptoAgent& operator=(const CCryptoAgent&) = delete;

  // Slots 0-26. Text outputs are new BSTRs owned by the caller.
  virtual HRESULT SelectCertificate(LPCWSTR bstrSubjectDNFilter, LPCWSTR bstrIssuerDNFilter,
                                    LPCWSTR bstrSNFilter, VARIANT_BOOL* pbResult);
  virtual HRESULT GetSignCertInfo(LPCWSTR bstrInfoType, BSTR* pbstrInfo);
  virtual HRESULT SignMsgPKCS1(LPCWSTR bstrSourceData, LPCWSTR bstrHashAlg, BSTR* pbstrSignature);
  virtual HRESULT SignMsgPKCS7(LPCWSTR bstrSourceData, LPCWSTR bstrHashAlg, VARIANT_BOOL bAttach,
                               BSTR* pbstrSignature);
  virtual HRESULT SignMsgPKCS1_BySoftCert(LPCWSTR bstrSoftCertFileName,
                                          LPCWSTR bstrSoftCertPassword, LPCWSTR bstrSoftCertType,
                                          LPCWSTR bstrSourceData, LPCWSTR bstrHashAlg,
                                          BSTR* pbstrSignature);
  virtual HRESULT SignMsgPKCS7_BySoftCert(LPCWSTR bstrSoftCertFileName,
                                          LPCWSTR bstrSoftCertPassword, LPCWSTR bstrSoftCertType,
                                          LPCWSTR bstrSourceData, LPCWSTR bstrHashAlg,
                                          VARIANT_BOOL bAttach, BSTR* pbstrSignature);
  virtual HRESULT VerifyMsgSignaturePKCS1(LPCWSTR bstrSignature, LPCWSTR bstrSignatureType,
                                          LPCWSTR bstrSourceMsg, LPCWSTR bstrHashAlg,
                                          LPCWSTR bstrBase64CertContent, VARIANT_BOOL* pbResult);
  virtual HRESULT VerifyMsgSignaturePKCS7Attached(LPCWSTR bstrSignature, LPCWSTR bstrSignatureType,
                                                  VARIANT_BOOL* pbResult);
  virtual HRESULT VerifyMsgSignaturePKCS7Detached(LPCWSTR bstrSignature, LPCWSTR bstrSignatureType,
                                                  LPCWSTR bstrSourceMsg, VARIANT_BOOL* pbResult);
  virtual HRESULT SignFilePKCS1(LPCWSTR bstrSourceFile, LPCWSTR bstrHashAlg, BSTR* pbstrSignature);
  virtual HRESULT SignFilePKCS7Detached(LPCWSTR bstrSourceFile, LPCWSTR bstrHashAlg,
                                        BSTR* pbstrSignature);
  virtual HRESULT SignFilePKCS1_BySoftCert(LPCWSTR bstrSoftCertFileName,
                                           LPCWSTR bstrSoftCertPassword, LPCWSTR bstrSoftCertType,
                                           LPCWSTR bstrSourceFile, LPCWSTR bstrHashAlg,
                                           BSTR* pbstrSignature);
  virtual HRESULT SignFilePKCS7Detached_BySoftCert(LPCWSTR bstrSoftCertFileName,
                                                   LPCWSTR bstrSoftCertPassword,
                                                   LPCWSTR bstrSoftCertType, LPCWSTR bstrSourceFile,
                                                   LPCWSTR bstrHashAlg, BSTR* pbstrSignature);
  virtual HRESULT VerifyFileSignaturePKCS1(LPCWSTR bstrSignature, LPCWSTR bstrSignatureType,
                                           LPCWSTR bstrSourceFile, LPCWSTR bstrHashAlg,
                                           LPCWSTR bstrBase64CertContent, VARIANT_BOOL* pbResult);
  virtual HRESULT VerifyFileSignaturePKCS7Detached(LPCWSTR bstrSignature, LPCWSTR bstrSignatureType,
                                                   LPCWSTR bstrSourceFile, VARIANT_BOOL* pbResult);
  virtual HRESULT SelectEncryptCertificate(LPCWSTR bstrSubjectDNFilter, LPCWSTR bstrIssuerDNFilter,
                                           LPCWSTR bstrSerialNumFilter, BSTR* pbstrResult);
  virtual HRESULT GetEncryptCertInfo(LPCWSTR bstrInfoType, BSTR* pbstrInfo);
  virtual HRESULT EncryptMsgCMSEnvelopeEx(LPCWSTR bstrMessage, LPCWSTR bstrEncryptAlg,
                                          BSTR* pbstrEnvelope);
  virtual HRESULT EncryptMsgCMSEnvelopeEx_ByCert(LPCWSTR bstrBase64CertContent,
                                                 LPCWSTR bstrCertType, LPCWSTR bstrMessage,
                                                 LPCWSTR bstrEncryptAlg, BSTR* pbstrEnvelope);
  virtual HRESULT DecryptMsgCMSEnvelopeEx(LPCWSTR bstrEnvelope, LPCWSTR bstrEnvelopeType,
                                          BSTR* pbstrMessage);
  virtual HRESULT DecryptMsgCMSEnvelopeEx_BySoftCert(LPCWSTR bstrSoftCertFileName,
                                                     LPCWSTR bstrSoftCertPassword,
                                                     LPCWSTR bstrEnvelope, LPCWSTR bstrEnvelopeType,
                                                     BSTR* pbstrMessage);
  virtual HRESULT EncryptFileCMSEnvelopeEx(LPCWSTR bstrSourceFile, LPCWSTR bstrEncryptAlg,
                                           LPCWSTR bstrEncryptedFile, VARIANT_BOOL* pbResult);
  virtual HRESULT EncryptFileCMSEnvelopeEx_ByCert(LPCWSTR bstrBase64CertContent,
                                                  LPCWSTR bstrCertType, LPCWSTR bstrSourceFile,
                                                  LPCWSTR bstrEncryptAlg, LPCWSTR bstrEncryptedFile,
                                                  VARIANT_BOOL* pbResult);
  virtual HRESULT DecryptFileCMSEnvelopeEx(LPCWSTR bstrEncryptedFile, LPCWSTR bstrEnvelopeType,
                                           LPCWSTR bstrPlainTextFile, VARIANT_BOOL* pbResult);
  virtual HRESULT DecryptFileCMSEnvelopeEx_BySoftCert(
      LPCWSTR bstrSoftCertFileName, LPCWSTR bstrSoftCertPassword, LPCWSTR bstrEncryptedFile,
      LPCWSTR bstrEnvelopeType, LPCWSTR bstrPlainTextFile, VARIANT_BOOL* pbResult);
  virtual HRESULT GetVersion(BSTR* pbstrVersion);
  virtual HRESULT GetLastErrorDesc(BSTR* pbstrDesc);

  HRESULT LastResult() const { return m_hLastResult; }

  // From now on the agent works for the page of this origin, as the browser
  // reported it (empty when it could not be learned): every operation but
  // the pure computations on data the page brings needs that page's consent.
  // Until then the agent serves a local caller (a command-line tool) and
  // asks nobody.
  void ServePage(std::string origin);
  // A frame of `origin` inside a top page of `within` (the bridge knows
  // both); the same as above when they are one origin.
  void ServePage(std::string origin, std::string within);
  // The page served, or null for a local caller.
  const agent::SiteConsent* Site() const { return m_pSiteConsent.get(); }
  // A caller in front of the agent refused the operation before it ran (the
  // bridge's file check): recorded as the last result, so that
  // GetLastErrorDesc explains it like the agent's own refusals.
  HRESULT RecordRefusal(HRESULT hResult) { return Finish(hResult); }

 protected:
  // Records the operation's result and hands it back.
  HRESULT Finish(HRESULT hResult) {
    m_bSiteRefused = false;
    return m_hLastResult = hResult;
  }
  // True when the page may not go ahead with what `asks` names: the output
  // is settled (an empty text, false) and the refusal recorded.
  bool RefusedToPage(LPCWSTR method, unsigned asks, BSTR* pbstrOutput);
  bool RefusedToPage(LPCWSTR method, unsigned asks, VARIANT_BOOL* pbOutput);

  HRESULT m_hLastResult;
  PCCERT_CONTEXT m_pSignCertContext;
  PCCERT_CONTEXT m_pEncryptCertContext;
  BOOL m_bSM2SignCert;
  BOOL m_bSM2EncryptCert;
  PUNREGISTERED_CERT_CONTEXT m_pUnregisteredSignCertContext;
  PUNREGISTERED_CERT_CONTEXT m_pUnregisteredEncryptCertContext;
  std::unique_ptr<agent::SiteConsent> m_pSiteConsent;
  bool m_bSiteRefused = false;  // the last result is a site's refusal

 private:
  bool SiteRefuses(LPCWSTR method, unsigned asks);
};

// A lower layer's last error as a result code: customer-bit errors become
// 0xA007xxxx, other positive values 0x8007xxxx, the rest pass unchanged.
HRESULT ResultFromLastError(DWORD dwLastError);
