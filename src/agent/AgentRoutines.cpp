// Routines the signing, verification and envelope operations share: naming
// hash algorithms, telling RSA from SM2 certificates and the kinds of PKCS#7
// apart, and opening a PKCS#12 file for its signing certificate.
#include "agent/AgentRoutines.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>

#include "agent/AgentHolders.h"
#include "agent/CryptoAgent.h"
#include "agent/OperationScope.h"
#include "platform/csp/CspHash.h"
#include "platform/base/LastError.h"
#include "platform/base/WideString.h"
#include "resources/ResultCodes.h"
#include "smengine/asn1/ASN1Engine.h"
#include "smengine/common/Base64.h"
#include "smengine/common/TextUtility.h"
#include "trace/Trace.h"
#include "winsvc/CertificateChecks.h"
#include "winsvc/CertificateStore.h"

namespace agent {
namespace {

constexpr LPCWSTR kSource = u"AgentRoutines";

struct NodeFree {
  void operator()(Node* pNode) const { FreeNode(pNode); }
};
using UniqueNode = std::unique_ptr<Node, NodeFree>;

// Content type value bytes (the OID without tag and length) and the names
// the trace gives them.
struct PKCS7Kind {
  DWORD dwType;
  LPCSTR pszName;
  BYTE rgbyValue[10];
  DWORD dwValueSize;
};
constexpr PKCS7Kind kPKCS7Kinds[] = {
    {SM2_SIGNED_DATA,
     "SM2_SIGNED_DATA",
     {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x02},
     10},
    {SM2_ENVELOPED_DATA,
     "SM2_ENVELOPED_DATA",
     {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x03},
     10},
    {RSA_SIGNED_DATA, "RSA_SIGNED_DATA", {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02}, 9},
    {RSA_ENVELOPED_DATA,
     "RSA_ENVELOPED_DATA",
     {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03},
     9},
};

}  // namespace

ALG_ID GetHashAlgorithmIDByName(LPCWSTR lpwHashAlg) {
  if (lpwHashAlg == nullptr) return 0;
  struct Named {
    LPCWSTR name;
    ALG_ID algId;
  };
  static constexpr Named kHashes[] = {{u"SHA-1", CALG_SHA1},
                                      {u"SHA-256", CALG_SHA_256},
                                      {u"SHA-384", CALG_SHA_384},
                                      {u"SHA-512", CALG_SHA_512}};
  for (const Named& hash : kHashes)
    if (IsTypeName(lpwHashAlg, hash.name)) return hash.algId;
  return 0;
}

HRESULT GetCertificateType(LPCSTR pszBase64CertData, DWORD* pdwCertType) {
  TraceHelper helper("GetCertificateType");
  StepTrace trace(kTraceGuidAgent, kSource, u"GetCertificateType");
  if (pdwCertType == nullptr) return E_POINTER;
  *pdwCertType = 0;

  HRESULT hResult = TraceStep(
      trace, u"Check parameter(pszBase64CertData)",
      (pszBase64CertData == nullptr || std::strlen(pszBase64CertData) == 0) ? E_INVALIDARG : S_OK,
      u"(NULL == pszBase64CertData || 0 == strlen(pszBase64CertData))");
  if (FAILED(hResult)) return hResult;

  BYTE* pbyRaw = nullptr;
  int nCertSize = 0;
  hResult = TraceStep(trace, u"Base64DecodeEx",
                      Base64DecodeEx(static_cast<int>(std::strlen(pszBase64CertData)),
                                     pszBase64CertData, &pbyRaw, &nCertSize),
                      u"FAILED(hResult)");
  const std::unique_ptr<BYTE[]> pbyCert(pbyRaw);
  if (FAILED(hResult)) return hResult;

  const UniqueCertContext pstNewCertificate(CertCreateCertificateContext(
      X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, pbyCert.get(), static_cast<DWORD>(nCertSize)));
  // Read at once: nothing may touch the last error before it is converted.
  hResult = pstNewCertificate ? S_OK : ResultFromLastError(GetLastError());
  hResult =
      TraceStep(trace, u"CertCreateCertificateContext", hResult, u"pstNewCertificate == NULL");
  if (FAILED(hResult)) return hResult;

  DWORD dwCertType = 0;
  if (SUCCEEDED(CheckCertSignatureAlg("1.2.156.10197", pstNewCertificate.get())))
    dwCertType = CERT_TYPE_SM2;
  else if (SUCCEEDED(CheckCertSignatureAlg("1.2.840.113549", pstNewCertificate.get())))
    dwCertType = CERT_TYPE_RSA;
  hResult = TraceStep(trace, u"Check certificate signature algorithm",
                      dwCertType ? S_OK : SIGIL_E_INVALID_KEY_ALG, u"TRUE");
  if (FAILED(hResult)) return hResult;

  *pdwCertType = dwCertType;
  return S_OK;
}

HRESULT GetPKCS7Type(LPCSTR pszBase64PKCS7, DWORD dwBase64PKCS7Size, DWORD* pdwPKCS7Type) {
  TraceHelper helper("GetPKCS7Type");
  StepTrace trace(kTraceGuidAgent, kSource, u"GetPKCS7Type");
  if (pdwPKCS7Type == nullptr) return E_POINTER;
  *pdwPKCS7Type = 0;

  HRESULT hResult =
      TraceStep(trace, u"Check parameter(pszBase64PKCS7)",
                (pszBase64PKCS7 == nullptr || dwBase64PKCS7Size == 0) ? E_INVALIDARG : S_OK,
                u"(NULL == pszBase64PKCS7 || 0 == dwBase64PKCS7Size)");
  if (FAILED(hResult)) return hResult;

  BYTE* pbyRaw = nullptr;
  int nP7Size = 0;
  // A length beyond int cannot be a message the decoder takes; it refuses 0.
  const int nBase64Size = dwBase64PKCS7Size > 0x7FFFFFFFu ? 0 : static_cast<int>(dwBase64PKCS7Size);
  hResult =
      TraceStep(trace, u"Base64DecodeEx",
                Base64DecodeEx(nBase64Size, pszBase64PKCS7, &pbyRaw, &nP7Size), u"FAILED(hResult)");
  const std::unique_ptr<BYTE[]> pbyP7(pbyRaw);
  if (FAILED(hResult)) return hResult;

  Node* pRawNode = nullptr;
  const int nRet = DecodeASN1Memory(&pRawNode, pbyP7.get(), nP7Size);
  const UniqueNode pP7DecodeNode(pRawNode);
  hResult = TraceStep(trace, u"DecodeASN1Memory",
                      (nRet != 0 || !pP7DecodeNode) ? SIGIL_E_INVALID_DATA : S_OK, u"0 != nRet");
  if (FAILED(hResult)) return hResult;

  hResult = TraceStep(trace, u"Check PKCS#7 content info",
                      pP7DecodeNode->vetNodes.size() != 2 ? SIGIL_E_INVALID_DATA : S_OK,
                      u"pP7DecodeNode->vetNodes.size() != 2");
  if (FAILED(hResult)) return hResult;

  // The content type's value, only where it lies wholly inside the message.
  const Node* pContentType = pP7DecodeNode->vetNodes[0].get();
  const BYTE* pbyP7ContentTypeNode = nullptr;
  DWORD dwP7ContentTypeNodeSize = 0;
  if (pContentType && pContentType->nValueLength > 0 && pContentType->nValueOffset >= 0 &&
      pContentType->nValueOffset + pContentType->nValueLength <= nP7Size) {
    pbyP7ContentTypeNode = pbyP7.get() + pContentType->nValueOffset;
    dwP7ContentTypeNodeSize = static_cast<DWORD>(pContentType->nValueLength);
  }
  hResult = TraceStep(trace, u"Get PKCS#7 content type",
                      (pbyP7ContentTypeNode == nullptr || dwP7ContentTypeNodeSize == 0)
                          ? SIGIL_E_INVALID_DATA
                          : S_OK,
                      u"(NULL == pbyP7ContentTypeNode || 0 == dwP7ContentTypeNodeSize)");
  if (FAILED(hResult)) return hResult;

  const PKCS7Kind* pKind =
      std::find_if(std::begin(kPKCS7Kinds), std::end(kPKCS7Kinds), [&](const PKCS7Kind& kind) {
        return kind.dwValueSize == dwP7ContentTypeNodeSize &&
               std::memcmp(kind.rgbyValue, pbyP7ContentTypeNode, kind.dwValueSize) == 0;
      });
  hResult = TraceStep(trace, u"Unsupported PKCS#7 content type.",
                      pKind == std::end(kPKCS7Kinds) ? SIGIL_E_INVALID_DATA : S_OK, u"TRUE");
  if (FAILED(hResult)) return hResult;

  TraceValue(kTraceGuidAgent, "dwPKCS7Type", pKind->pszName);
  *pdwPKCS7Type = pKind->dwType;
  return S_OK;
}

HRESULT CreateCertContextByPFX(PCCERT_CONTEXT* ppCertContext, LPCWSTR bstrPFXFileName,
                               LPCWSTR bstrPFXPassword) {
  TraceHelper helper("CreateCertContextByPFX");
  StepTrace trace(kTraceGuidAgent, kSource, u"CreateCertContextByPFX");
  if (ppCertContext == nullptr) return E_POINTER;
  *ppCertContext = nullptr;

  HRESULT hResult =
      TraceStep(trace, u"Check parameter(bstrPFXFileName)",
                (bstrPFXFileName == nullptr || wcslen(bstrPFXFileName) == 0) ? E_INVALIDARG : S_OK,
                u"(NULL == bstrPFXFileName || 0 == wcslen(bstrPFXFileName))");
  if (FAILED(hResult)) return hResult;
  hResult =
      TraceStep(trace, u"Check parameter(bstrPFXPassword)",
                (bstrPFXPassword == nullptr || wcslen(bstrPFXPassword) == 0) ? E_INVALIDARG : S_OK,
                u"(NULL == bstrPFXPassword || 0 == wcslen(bstrPFXPassword))");
  if (FAILED(hResult)) return hResult;

  BYTE* pbyRaw = nullptr;
  DWORD dwPFXSize = 0;
  hResult = TraceStep(trace, u"ReadFileSimple",
                      ReadFileSimple(bstrPFXFileName, &pbyRaw, &dwPFXSize), u"FAILED(hResult)");
  // The file holds the encrypted key: no copy of it is left behind.
  const Secret<BYTE> pbyPFX = TakeSecret(pbyRaw, dwPFXSize);
  if (FAILED(hResult)) return hResult;

  CRYPT_DATA_BLOB stPFX{dwPFXSize, pbyPFX.get()};
  const HCERTSTORE hCertStore = PFXImportCertStore(&stPFX, bstrPFXPassword, CRYPT_USER_KEYSET);
  hResult = hCertStore ? S_OK : ResultFromLastError(GetLastError());
  const StoreCloser closeStore(hCertStore);
  hResult = TraceStep(trace, u"PFXImportCertStore", hResult, u"hCertStore == NULL");
  if (FAILED(hResult)) return hResult;

  CERTIFICATE_FILTER stFilter{};
  stFilter.dwKeyUsage = 0x80;  // digital signature
  stFilter.bCheckPrivateKey = TRUE;
  CERTIFICATE_SET vtrSignCertSet;
  const CertificateSetReleaser releaseSet(vtrSignCertSet);
  hResult = TraceStep(trace, u"FilterCertificatesFromStore",
                      FilterCertificatesFromStore(hCertStore, &stFilter, vtrSignCertSet),
                      u"FAILED(hResult)");
  if (FAILED(hResult)) return hResult;

  hResult = TraceStep(trace, u"Check signing certificate",
                      vtrSignCertSet.empty() ? SIGIL_E_INVALID_CERT_USAGE : S_OK,
                      u"vtrSignCertSet.size() == 0");
  if (FAILED(hResult)) return hResult;

  // The context keeps its key reachable after the store handle is closed.
  *ppCertContext = CertDuplicateCertificateContext(vtrSignCertSet.front());
  return S_OK;
}

}  // namespace agent
