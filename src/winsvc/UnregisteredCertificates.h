// Certificates that live only inside CSP key containers (as a key's
// certificate parameter) and so never show up in a certificate store. The
// walk covers every installed provider whose name does not contain
// "Microsoft", every container of each, and both key pairs of a container,
// key exchange first. Records come out in that order and belong to the set.
#pragma once

#include "platform/cert/CertContext.h"
#include "platform/base/WinTypes.h"
#include "winsvc/CertificateChecks.h"
#include "winsvc/UnregisteredCertContext.h"

// A new record for the certificate stored with the key pair dwKeySpec of the
// container. E_INVALIDARG for a null or empty name; otherwise the converted
// error of the step that failed (no key pair, no certificate parameter,
// bytes that are not a certificate). On failure nothing is handed out.
// The provider is opened without CRYPT_SILENT, so a token may prompt.
HRESULT GetUnregisteredCertfromContainer(LPCWSTR lpwCSPName, LPCWSTR lpwContainerName,
                                         DWORD dwKeySpec,
                                         PUNREGISTERED_CERT_CONTEXT* ppUnregisteredCertContext);

// S_OK when the certificate passes the filter (null: every field unset),
// E_FAIL whichever check refused it. bCheckPrivateKey is not consulted: the
// key is known to sit in the container the certificate came from.
HRESULT CheckUnregisteredCertficate(PCCERTIFICATE_FILTER pCertFilter, PCCERT_CONTEXT pCertContext);

// Appends the passing certificates of every container of one provider.
// E_INVALIDARG for a null or empty name, the converted error when the
// provider cannot be opened or a container name cannot be converted; a
// container without a usable key pair or certificate only contributes
// nothing.
HRESULT FilterUnregisteredCertificatesfromSpecifiedCSP(
    LPCWSTR lpwCSPName, PCCERTIFICATE_FILTER pCertFilter,
    UNREGISTERED_CERT_SET& vtrUnregisteredCertSet);

// The same over every installed provider except those whose name contains
// "Microsoft" (case-sensitive). Fails, with the set emptied, only when the
// provider list cannot be read; one failing provider never stops the walk.
HRESULT FilterUnregisteredCertificatesfromCSP(PCCERTIFICATE_FILTER pCertFilter,
                                              UNREGISTERED_CERT_SET& vtrUnregisteredCertSet);

// The names of every installed provider, in enumeration order, joined by
// "||" (no trailing separator), as a new[] array the caller frees with
// delete[]. *ppwszCSPNames is written only on success.
HRESULT GetAllCSPName(LPWSTR* ppwszCSPNames);
