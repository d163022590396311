// A certificate found only inside a CSP key container, kept together with
// the coordinates of its private key. One owner at a time; duplicates are
// independent and hold their own certificate reference.
#pragma once

#include <vector>

#include "platform/cert/CertContext.h"
#include "platform/csp/Csp.h"  // AT_KEYEXCHANGE, AT_SIGNATURE
#include "platform/base/WinTypes.h"

struct UNREGISTERED_CERT_CONTEXT {
  WCHAR wszCSPName[MAX_PATH];
  WCHAR wszContainerName[MAX_PATH];
  DWORD dwKeySpec;
  PCCERT_CONTEXT pCertContext;  // one reference, owned by the record
};
using PUNREGISTERED_CERT_CONTEXT = UNREGISTERED_CERT_CONTEXT*;
// In the order found; every record is owned by the set.
using UNREGISTERED_CERT_SET = std::vector<PUNREGISTERED_CERT_CONTEXT>;

// E_INVALIDARG for a null certificate or a null, empty or too long (260+
// characters) name. On failure *ppUnregisteredCertContext is not written.
HRESULT CertCreateUnregisteredCertContext(LPCWSTR lpwCSPName, PCCERT_CONTEXT pCertContext,
                                          LPCWSTR lpwContainerName, DWORD dwKeySpec,
                                          PUNREGISTERED_CERT_CONTEXT* ppUnregisteredCertContext);
// The source stays with its owner whatever the outcome.
HRESULT CertDuplicateUnregisteredCertContext(PUNREGISTERED_CERT_CONTEXT pSource,
                                             PUNREGISTERED_CERT_CONTEXT* ppOut);
// Releases the certificate reference and the record; null is accepted.
void CertFreeUnregisteredCertContext(PUNREGISTERED_CERT_CONTEXT pUnregisteredCertContext);
// Frees every record and empties the set.
void RemoveAllUnregisteredCertificates(UNREGISTERED_CERT_SET& vtrUnregisteredCertSet);

// Releases the set when the scope ends, whatever path leaves it.
class UnregisteredSetReleaser {
 public:
  explicit UnregisteredSetReleaser(UNREGISTERED_CERT_SET& vtrSet) : m_set(vtrSet) {}
  ~UnregisteredSetReleaser() { RemoveAllUnregisteredCertificates(m_set); }
  UnregisteredSetReleaser(const UnregisteredSetReleaser&) = delete;
  UnregisteredSetReleaser& operator=(const UnregisteredSetReleaser&) = delete;

 private:
  UNREGISTERED_CERT_SET& m_set;
};
