// The machine's trusted roots as registry keys: written from the resource,
// and the obsolete one removed.
#include <memory>

#include "platform/registry/Registry.h"
#include "register/CertificateChainOperate.h"
#include "register/ChainOperateInternal.h"
#include "register/DiscardList.h"
#include "trace/Trace.h"

using chainoperate::DecodeBase64Text;
using chainoperate::kSourceUnit;

HRESULT WriteCertificatetoRegistry(LPCWSTR lpwImportPath, LPCWSTR lpwEntryPoint,
                                   LPCWSTR lpwContent) {
  TraceHelper helper("WriteCertificatetoRegistry");
  StepTrace trace(kTraceGuidRegister, kSourceUnit, u"WriteCertificatetoRegistry");
  trace.Step(u"Check parameter");
  if (!lpwImportPath || !lpwEntryPoint || !lpwContent)
    return trace.Failed(E_INVALIDARG, u"NULL == lpwImportPath || lpwEntryPoint || lpwContent");
  TraceValue(kTraceGuidRegister, "ImportPath", lpwImportPath);
  TraceValue(kTraceGuidRegister, "EntryPoint", lpwEntryPoint);

  std::unique_ptr<BYTE[]> blob;
  int nBlobLength = 0;
  HRESULT hResult = DecodeBase64Text(trace, lpwContent, blob, nBlobLength);
  if (FAILED(hResult)) return hResult;

  trace.Step(u"RegWriteBinaryValue");
  hResult = RegWriteBinaryValue(lpwImportPath, lpwEntryPoint, blob.get(),
                                static_cast<DWORD>(nBlobLength));
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(RegWriteBinaryValue)");
  trace.Passed();
  return S_OK;
}

HRESULT RegWriteBinaryValue(LPCWSTR lpwKeyPath, LPCWSTR lpwSubKeyName, const BYTE* pbyData,
                            DWORD dwDataLength) {
  TraceHelper helper("RegWriteBinaryValue");
  StepTrace trace(kTraceGuidRegister, kSourceUnit, u"RegWriteBinaryValue");
  trace.Step(u"Check parameter");
  if (!lpwKeyPath || !lpwSubKeyName || (!pbyData && dwDataLength))
    return trace.Failed(E_INVALIDARG, u"NULL == lpwKeyPath || lpwSubKeyName || pbyData");

  trace.Step(u"RegOpenKeyExW");
  HKEY hRawKey = nullptr;
  LSTATUS lStatus = RegOpenKeyExW(HKEY_LOCAL_MACHINE, lpwKeyPath, 0, KEY_ALL_ACCESS, &hRawKey);
  if (lStatus == ERROR_FILE_NOT_FOUND) {
    // The machine's certificate keys are made on first use here, where
    // Windows ships them; a missing one is created rather than refused.
    trace.Step(u"RegCreateKeyExW(lpwKeyPath)");
    lStatus = RegCreateKeyExW(HKEY_LOCAL_MACHINE, lpwKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &hRawKey, nullptr);
  }
  if (lStatus != ERROR_SUCCESS)
    return trace.Failed(ResultFromWin32(static_cast<DWORD>(lStatus)), u"ERROR_SUCCESS != lStatus");
  UniqueHKEY hKey(hRawKey);

  trace.Step(u"RegCreateKeyExW");
  HKEY hRawSubKey = nullptr;
  lStatus =
      RegCreateKeyExW(hKey.get(), lpwSubKeyName, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE, nullptr, &hRawSubKey, nullptr);
  if (lStatus != ERROR_SUCCESS)
    return trace.Failed(ResultFromWin32(static_cast<DWORD>(lStatus)), u"ERROR_SUCCESS != lStatus");
  UniqueHKEY hSubKey(hRawSubKey);

  trace.Step(u"RegSetValueExW");
  lStatus = RegSetValueExW(hSubKey.get(), u"Blob", 0, REG_BINARY, pbyData, dwDataLength);
  if (lStatus != ERROR_SUCCESS)
    return trace.Failed(ResultFromWin32(static_cast<DWORD>(lStatus)), u"ERROR_SUCCESS != lStatus");
  trace.Passed();
  return S_OK;
}

HRESULT RegDeleteSpecificKey() {
  TraceHelper helper("RegDeleteSpecificKey");
  StepTrace trace(kTraceGuidRegister, kSourceUnit, u"RegDeleteSpecificKey");

  trace.Step(u"RegOpenKeyExW");
  HKEY hRawKey = nullptr;
  LSTATUS lStatus =
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMachineRootCertificatesPath, 0, KEY_ALL_ACCESS, &hRawKey);
  if (lStatus != ERROR_SUCCESS)
    return trace.Failed(ResultFromWin32(static_cast<DWORD>(lStatus)), u"ERROR_SUCCESS != lStatus");
  UniqueHKEY hKey(hRawKey);

  // Usually the key is long gone; that is not a failure.
  trace.Step(u"RegDeleteKeyW");
  lStatus = RegDeleteKeyW(hKey.get(), g_wszDiscardRootThumbprint);
  if (lStatus != ERROR_SUCCESS)
    trace.Failed(ResultFromWin32(static_cast<DWORD>(lStatus)), u"ERROR_SUCCESS != lStatus");
  else
    trace.Passed();
  return S_OK;
}
