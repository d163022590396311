#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "gmcrypto/sm2/Sm2.h"
#include "smengine/common/EngineResult.h"
#include "smengine/softcert/SMFileCertOperations.h"
#include "smengine/softcert/SMFileCertOperationsDer.h"
#include "smengine/softcert/SMFileCertOperationsInternal.h"
#include "trace/Trace.h"

namespace engine {
namespace {

using sm2pfx::kSourceUnit;
using sm2pfx::X509Ptr;

struct BioDeleter {
  void operator()(BIO* p) const { BIO_free(p); }
};

// Certificates are never encrypted; without this OpenSSL would prompt on
// the terminal for a PEM block that claims to be.
int NoPassword(char* /*buf*/, int /*size*/, int /*rwflag*/, void* /*u*/) { return 0; }

X509Ptr ReadCertificate(const unsigned char* pbyCertData, int nCertDataSize) {
  if (pbyCertData == nullptr || nCertDataSize <= 0) return nullptr;
  {
    std::unique_ptr<BIO, BioDeleter> pBio(BIO_new_mem_buf(pbyCertData, nCertDataSize));
    if (!pBio) return nullptr;
    ERR_set_mark();
    X509Ptr pPem(PEM_read_bio_X509(pBio.get(), nullptr, NoPassword, nullptr));
    ERR_pop_to_mark();  // "no start line" for DER is expected, not an error
    if (pPem) return pPem;
  }
  const unsigned char* p = pbyCertData;
  return X509Ptr(d2i_X509(nullptr, &p, nCertDataSize));
}

// DER of an object into a new[] buffer, through the usual i2d pair of calls.
template <class T>
std::unique_ptr<unsigned char[]> EncodeDer(int (*i2d)(const T*, unsigned char**), const T* pObject,
                                           int* pnSize) {
  const int nSize = i2d(pObject, nullptr);
  if (nSize <= 0) return nullptr;
  std::unique_ptr<unsigned char[]> pDer(new (std::nothrow) unsigned char[nSize]());
  if (!pDer) return nullptr;
  unsigned char* p = pDer.get();
  if (i2d(pObject, &p) != nSize) return nullptr;
  *pnSize = nSize;
  return pDer;
}

struct BnDeleter {
  void operator()(BIGNUM* p) const { BN_free(p); }
};

std::unique_ptr<unsigned char[]> CoordinateBytes(const EVP_PKEY* pKey, const char* pszParam) {
  BIGNUM* pRaw = nullptr;
  if (1 != EVP_PKEY_get_bn_param(pKey, pszParam, &pRaw)) return nullptr;
  const std::unique_ptr<BIGNUM, BnDeleter> pCoordinate(pRaw);
  std::unique_ptr<unsigned char[]> pBytes(new (std::nothrow) unsigned char[32]());
  if (!pBytes || !gmcrypto::_SM2_GetBNBytes(pCoordinate.get(), pBytes.get())) return nullptr;
  return pBytes;
}

}  // namespace

int ConvertCertDataToX509(const unsigned char* pbyCertData, int nCertDataSize, X509** ppX509Cert) {
  EngineTrace trace(kSourceUnit, "ConvertCertDataToX509");
  if (ppX509Cert == nullptr)
    return trace.Failed("Check Parameters", ORLO_FAILED, "NULL == ppX509Cert");
  X509Ptr pX509Cert = ReadCertificate(pbyCertData, nCertDataSize);
  if (!pX509Cert) return trace.FailedWithLibraryError("d2i_X509", ORLO_FAILED, "NULL == pX509Cert");
  trace.Ok("d2i_X509");
  *ppX509Cert = pX509Cert.release();
  return ORLO_OK;
}

int GetPublicKeyXYFromSM2Cert(const unsigned char* pbyCertData, int nCertDataSize,
                              unsigned char** ppbySM2PubKeyX, int* pnSM2PubKeyXSize,
                              unsigned char** ppbySM2PubKeyY, int* pnSM2PubKeyYSize) {
  EngineTrace trace(kSourceUnit, "GetPublicKeyXYFromSM2Cert");
  if (ppbySM2PubKeyX == nullptr || pnSM2PubKeyXSize == nullptr || ppbySM2PubKeyY == nullptr ||
      pnSM2PubKeyYSize == nullptr)
    return trace.Failed("Check Parameters", ORLO_FAILED, "NULL == ppbySM2PubKeyX");

  const X509Ptr pX509Cert = ReadCertificate(pbyCertData, nCertDataSize);
  if (!pX509Cert) return trace.FailedWithLibraryError("d2i_X509", ORLO_FAILED, "NULL == pX509Cert");
  trace.Ok("d2i_X509");

  const EVP_PKEY* pEvpPublickey = X509_get0_pubkey(pX509Cert.get());
  if (pEvpPublickey == nullptr)
    return trace.FailedWithLibraryError("X509_get0_pubkey", ORLO_FAILED, "NULL == pEvpPublickey");
  trace.Ok("X509_get0_pubkey");

  // X and Y of another curve would make SM2 arithmetic silently wrong.
  char szGroupName[64] = {};
  if ((!EVP_PKEY_is_a(pEvpPublickey, "EC") && !EVP_PKEY_is_a(pEvpPublickey, "SM2")) ||
      1 != EVP_PKEY_get_utf8_string_param(pEvpPublickey, OSSL_PKEY_PARAM_GROUP_NAME, szGroupName,
                                          sizeof szGroupName, nullptr) ||
      OBJ_txt2nid(szGroupName) != NID_sm2)
    return trace.Failed("Check SM2 curve", ORLO_FAILED, "NULL == pECGroup");
  trace.Ok("Check SM2 curve");

  std::unique_ptr<unsigned char[]> pbySM2PubKeyX =
      CoordinateBytes(pEvpPublickey, OSSL_PKEY_PARAM_EC_PUB_X);
  if (!pbySM2PubKeyX)
    return trace.FailedWithLibraryError("_SM2_GetBNBytes(x)", ORLO_FAILED, "!pbySM2PubKeyX");
  std::unique_ptr<unsigned char[]> pbySM2PubKeyY =
      CoordinateBytes(pEvpPublickey, OSSL_PKEY_PARAM_EC_PUB_Y);
  if (!pbySM2PubKeyY)
    return trace.FailedWithLibraryError("_SM2_GetBNBytes(y)", ORLO_FAILED, "!pbySM2PubKeyY");
  trace.Ok("_SM2_GetBNBytes");

  *ppbySM2PubKeyX = pbySM2PubKeyX.release();
  *pnSM2PubKeyXSize = 32;
  *ppbySM2PubKeyY = pbySM2PubKeyY.release();
  *pnSM2PubKeyYSize = 32;
  return ORLO_OK;
}

int GetIssuerFromCert(const unsigned char* pbyCertData, int nCertDataSize,
                      unsigned char** ppbyASN1Issuer, int* pnASN1IssuerSize) {
  EngineTrace trace(kSourceUnit, "GetIssuerFromCert");
  if (ppbyASN1Issuer == nullptr || pnASN1IssuerSize == nullptr)
    return trace.Failed("Check Parameters", ORLO_FAILED, "NULL == ppbyASN1Issuer");
  const X509Ptr pX509Cert = ReadCertificate(pbyCertData, nCertDataSize);
  if (!pX509Cert) return trace.FailedWithLibraryError("d2i_X509", ORLO_FAILED, "NULL == pX509Cert");
  trace.Ok("d2i_X509");

  int nASN1IssuerSize = 0;
  std::unique_ptr<unsigned char[]> pbyASN1Issuer =
      EncodeDer(i2d_X509_NAME, X509_get_issuer_name(pX509Cert.get()), &nASN1IssuerSize);
  if (nASN1IssuerSize <= 0 || !pbyASN1Issuer)
    return trace.FailedWithLibraryError("i2d_X509_NAME", ORLO_FAILED,
                                        "nASN1IssuerSize <= 0 || NULL == pbyASN1Issuer");
  trace.Ok("i2d_X509_NAME");

  *ppbyASN1Issuer = pbyASN1Issuer.release();
  *pnASN1IssuerSize = nASN1IssuerSize;
  return ORLO_OK;
}

int GetSerialNumberFromCert(const unsigned char* pbyCertData, int nCertDataSize,
                            unsigned char** ppbyASN1SerialNumber, int* pnASN1SerialNumberSize) {
  EngineTrace trace(kSourceUnit, "GetSerialNumberFromCert");
  if (ppbyASN1SerialNumber == nullptr || pnASN1SerialNumberSize == nullptr)
    return trace.Failed("Check Parameters", ORLO_FAILED, "NULL == ppbyASN1SerialNumber");
  const X509Ptr pX509Cert = ReadCertificate(pbyCertData, nCertDataSize);
  if (!pX509Cert) return trace.FailedWithLibraryError("d2i_X509", ORLO_FAILED, "NULL == pX509Cert");
  trace.Ok("d2i_X509");

  int nASN1SerialNumberSize = 0;
  std::unique_ptr<unsigned char[]> pbyASN1SerialNumber =
      EncodeDer(i2d_ASN1_INTEGER, X509_get0_serialNumber(pX509Cert.get()), &nASN1SerialNumberSize);
  if (nASN1SerialNumberSize <= 0 || !pbyASN1SerialNumber)
    return trace.FailedWithLibraryError(
        "i2d_ASN1_INTEGER", ORLO_FAILED,
        "nASN1SerialNumberSize <= 0 || NULL == pbyASN1SerialNumber");
  trace.Ok("i2d_ASN1_INTEGER");

  *ppbyASN1SerialNumber = pbyASN1SerialNumber.release();
  *pnASN1SerialNumberSize = nASN1SerialNumberSize;
  return ORLO_OK;
}

int GetSubjectKeyIDFromCert(const unsigned char* pbyCertData, int nCertDataSize,
                            unsigned char** ppbySubjectKeyID, int* pnSubjectKeyIDSize) {
  EngineTrace trace(kSourceUnit, "GetSubjectKeyIDFromCert");
  if (ppbySubjectKeyID == nullptr || pnSubjectKeyIDSize == nullptr)
    return trace.Failed("Check Parameters", ORLO_FAILED, "NULL == ppbySubjectKeyID");
  const X509Ptr pX509Cert = ReadCertificate(pbyCertData, nCertDataSize);
  if (!pX509Cert) return trace.FailedWithLibraryError("d2i_X509", ORLO_FAILED, "NULL == pX509Cert");
  trace.Ok("d2i_X509");

  const int nIndex = X509_get_ext_by_NID(pX509Cert.get(), NID_subject_key_identifier, -1);
  X509_EXTENSION* pX509Extension = nIndex < 0 ? nullptr : X509_get_ext(pX509Cert.get(), nIndex);
  if (pX509Extension == nullptr)
    return trace.Failed("X509_get_ext_by_NID", ORLO_FAILED, "NULL == pX509Extension");
  trace.Ok("X509_get_ext_by_NID");

  // The extension value is the DER of an OCTET STRING, in whatever length
  // form its encoder chose.
  const ASN1_OCTET_STRING* pValue = X509_EXTENSION_get_data(pX509Extension);
  std::span<const std::uint8_t> keyID;
  if (pValue == nullptr || ASN1_STRING_length(pValue) <= 0 ||
      !der::ReadWholeOctetString(
          std::span<const std::uint8_t>(ASN1_STRING_get0_data(pValue),
                                        static_cast<std::size_t>(ASN1_STRING_length(pValue))),
          &keyID) ||
      keyID.empty())
    return trace.Failed("Decode SubjectKeyIdentifier", ORLO_FAILED, "nSubjectKeyIDSize <= 0");
  trace.Ok("Decode SubjectKeyIdentifier");

  std::unique_ptr<unsigned char[]> pbySubjectKeyID(
      new (std::nothrow) unsigned char[keyID.size()]());
  if (!pbySubjectKeyID) return trace.Failed("New buffer", ORLO_FAILED, "!pbySubjectKeyID");
  std::memcpy(pbySubjectKeyID.get(), keyID.data(), keyID.size());
  trace.Ok("New buffer");

  *ppbySubjectKeyID = pbySubjectKeyID.release();
  *pnSubjectKeyIDSize = static_cast<int>(keyID.size());
  return ORLO_OK;
}

}  // namespace engine
