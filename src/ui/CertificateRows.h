// The rows of the certificate selection dialog: one card per certificate of
// a store, with the texts the list draws, in display order (hardware keys
// first, then by name).
#pragma once

#include <string>
#include <vector>

#include "platform/cert/CertContext.h"
#include "platform/store/CertStore.h"
#include "platform/base/WinTypes.h"
#include "ui/DialogProtocol.h"
#include "winsvc/CertificateStore.h"

struct CERT_LIST_ITEM {
  PCCERT_CONTEXT pCertContext = nullptr;  // belongs to the certificate set, not to the row
  std::u16string wstrDisplayName;         // the subject's common name, may be empty
  std::u16string wstrIssuer;              // "Issuer: <O or CN of the issuer>"
  std::u16string wstrSerialNumber;        // "SN: <hex, most significant first>"
  std::u16string wstrValidDate;           // "Valid From: mm/dd/yyyy to mm/dd/yyyy" (UTC)
  DWORD dwHardware = 0;                   // 1: the private key lives in (removable) hardware
};
using CERT_LIST = std::vector<CERT_LIST_ITEM>;

// Reads every certificate of the store into vtrCertSet (each with its own
// reference, which the caller releases with RemoveAllCertificates) and
// builds one row per certificate into vtrRows, sorted for display. The row
// texts come from hResourceModule's string table in the UI language (null:
// the plug-in's own module). On failure the set is released, the rows are
// emptied and the failing step is traced.
HRESULT LoadCertificates(HMODULE hResourceModule, HCERTSTORE hCertStore,
                         CERTIFICATE_SET& vtrCertSet, CERT_LIST& vtrRows);

// The rows as the selection-dialog program receives them: the texts, the
// hardware mark and each certificate's DER (for its details view).
std::vector<ui::DialogRow> ToDialogRows(const CERT_LIST& vtrRows);
