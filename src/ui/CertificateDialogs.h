// The certificate selection dialog as the agent asks for it. The dialog runs
// in our helper program npsigil-select-dialog, started beside the plug-in
// module, because the browser's process runs a toolkit that is not ours;
// only the texts of DialogProtocol.h cross between the two.
#pragma once

#include "platform/cert/CertContext.h"
#include "platform/store/CertStore.h"
#include "platform/base/WinTypes.h"
#include "winsvc/CertificateStore.h"

// dwMode 0: only the resource module is used; 1: the title and both
// captions as well; other values fail with ERROR_INVALID_PARAMETER (87).
// A title also makes the dialog appear for a single certificate.
// pwszOrigin names the page that asks (its origin as the page has it), for
// the dialog's header in either mode; null names none. It comes last, so
// initialisers that stop before it leave it null.
struct SELECT_CERTIFICATE_PARA {
  DWORD dwMode;
  HMODULE hResourceModule;
  LPCWSTR pwszTitle;
  LPCWSTR pwszOKText;
  LPCWSTR pwszCancelText;
  LPCWSTR pwszOrigin = nullptr;
};
using PSELECT_CERTIFICATE_PARA = SELECT_CERTIFICATE_PARA*;
using PCSELECT_CERTIFICATE_PARA = const SELECT_CERTIFICATE_PARA*;

// What the dialog is created with. Null fields keep the dialog's own texts
// (the header then is string 203); dwReserved is not read. A null
// pwszOrigin names no requesting page.
struct SELECT_DIALOG_INIT {
  HMODULE hResourceModule;
  HCERTSTORE hCertStore;
  LPCWSTR pwszTitle;
  LPCWSTR pwszHeader;
  DWORD dwReserved;
  LPCWSTR pwszOKText;
  LPCWSTR pwszCancelText;
  LPCWSTR pwszOrigin = nullptr;
};
using PSELECT_DIALOG_INIT = SELECT_DIALOG_INIT*;
using PCSELECT_DIALOG_INIT = const SELECT_DIALOG_INIT*;

// Where the helper program is looked for first (tests, which link the
// libraries into their own executables); otherwise beside our module.
inline constexpr char kSelectDialogPathVariable[] = "NPSIGIL_SELECT_DIALOG";
inline constexpr char kSelectDialogProgram[] = "npsigil-select-dialog";

// S_OK and a new reference in *ppCertContext, or the converted last error
// (cancel: 0xA0071002). The set is not changed; its certificates are not
// released.
HRESULT CustomCryptUIDlgSelectCertificate(PCSELECT_CERTIFICATE_PARA pPara,
                                          const CERTIFICATE_SET& vtrCertSet,
                                          PCCERT_CONTEXT* ppCertContext);

// The chosen certificate (a new reference) or null; the thread's last error
// is 0, the dialog's code (0x20001002 for cancel) or 87 for a bad mode.
PCCERT_CONTEXT CustomCryptUIDlgSelectCertificateFromStore(PCSELECT_CERTIFICATE_PARA pPara,
                                                          HCERTSTORE hCertStore);

// Shows the dialog modally. *pdwResultCode is 0 with a new reference in
// *ppSelected, or 0x20001002 with null: for cancel, and also whenever the
// dialog could not be shown or failed (the failure is traced).
void RunSelectCertificateDialog(PCSELECT_DIALOG_INIT pInit, PCCERT_CONTEXT* ppSelected,
                                DWORD* pdwResultCode);
