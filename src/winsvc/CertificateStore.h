// Certificate stores as ordered certificate sets, and the filters over them.
// No validity-period, revocation or chain test is made: an expired
// certificate passes every filter.
#pragma once

#include <vector>

#include "platform/cert/CertContext.h"
#include "platform/store/CertStore.h"
#include "platform/base/WinTypes.h"
#include "winsvc/CertificateChecks.h"

// Closes a store handle when the scope ends (null is left alone).
class StoreCloser {
 public:
  explicit StoreCloser(HCERTSTORE hStore) : m_hStore(hStore) {}
  ~StoreCloser() {
    if (m_hStore != nullptr) CertCloseStore(m_hStore, 0);
  }
  StoreCloser(const StoreCloser&) = delete;
  StoreCloser& operator=(const StoreCloser&) = delete;

 private:
  HCERTSTORE m_hStore;
};

// In store enumeration order; every entry holds its own reference.
using CERTIFICATE_SET = std::vector<PCCERT_CONTEXT>;

// Frees every entry and empties the set.
void RemoveAllCertificates(CERTIFICATE_SET& vtrCertSet);

// Releases the set when the scope ends, whatever path leaves it.
class CertificateSetReleaser {
 public:
  explicit CertificateSetReleaser(CERTIFICATE_SET& vtrCertSet) : m_set(vtrCertSet) {}
  ~CertificateSetReleaser() { RemoveAllCertificates(m_set); }
  CertificateSetReleaser(const CertificateSetReleaser&) = delete;
  CertificateSetReleaser& operator=(const CertificateSetReleaser&) = delete;

 private:
  CERTIFICATE_SET& m_set;
};

// Appends a duplicate of every certificate of the store. E_INVALIDARG for a
// null store. On failure the output set is released (emptied).
HRESULT ExtractCertificatesFromStore(HCERTSTORE hCertStore, CERTIFICATE_SET& vtrCertSet);
// The same over the current user's system store of that name ("MY",
// "ADDRESSBOOK", ...), opened read-only.
HRESULT ExtractCertificatesFromLocalStore(LPCWSTR lpwStoreName, CERTIFICATE_SET& vtrCertSet);

// Appends a new reference to each input certificate that passes the filter
// (null: every certificate), keeping input order. S_OK also when none
// passed. Only a failed duplication fails, and then the output set is
// released.
HRESULT FilterCertificates(PCCERTIFICATE_FILTER pFilter, CERTIFICATE_SET& vtrOutCertSet,
                           const CERTIFICATE_SET& vtrInCertSet);
// Extract then filter; the thread's last error is kept across the call.
HRESULT FilterCertificatesfromLocalStore(LPCWSTR lpwStoreName, PCCERTIFICATE_FILTER pFilter,
                                         CERTIFICATE_SET& vtrOutCertSet);
HRESULT FilterCertificatesFromStore(HCERTSTORE hCertStore, PCCERTIFICATE_FILTER pFilter,
                                    CERTIFICATE_SET& vtrOutCertSet);
