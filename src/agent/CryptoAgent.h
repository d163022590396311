// The per-object crypto agent: the selected certificates, the last result
// code and the 27 operations that page script reaches, in slot order.
#pragma once

#include "platform/CertContext.h"
#include "platform/WinTypes.h"
#include "winsvc/UnregisteredCertContext.h"

class CCryptoAgent {
 public:
  CCryptoAgent();
  ~CCryptoAgent();  // not virtual: the agent is only ever held by value
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

 protected:
  // Records the operation's result and hands it back.
  HRESULT Finish(HRESULT hResult) { return m_hLastResult = hResult; }

  HRESULT m_hLastResult;
  PCCERT_CONTEXT m_pSignCertContext;
  PCCERT_CONTEXT m_pEncryptCertContext;
  BOOL m_bSM2SignCert;
  BOOL m_bSM2EncryptCert;
  PUNREGISTERED_CERT_CONTEXT m_pUnregisteredSignCertContext;
  PUNREGISTERED_CERT_CONTEXT m_pUnregisteredEncryptCertContext;
};

// A lower layer's last error as a result code: customer-bit errors become
// 0xA007xxxx, other positive values 0x8007xxxx, the rest pass unchanged.
HRESULT ResultFromLastError(DWORD dwLastError);
