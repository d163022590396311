#include "smengine/softcert/CertificateOperations.h"

#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

#include "resources/ResultCodes.h"
#include "smengine/common/EngineResult.h"
#include "smengine/softcert/SMFileCertOperations.h"
#include "trace/Trace.h"

namespace engine {
namespace {

constexpr const char* kSourceUnit = "CertificateOperations";

struct X509Deleter {
  void operator()(X509* p) const { X509_free(p); }
};

}  // namespace

int CheckX509KeyUsage(X509* pX509, unsigned int uRequiredKeyUsage) {
  EngineTrace trace(kSourceUnit, "CheckX509KeyUsage");
  if (pX509 == nullptr) return trace.Failed("Check Parameters", ORLO_FAILED, "NULL == pX509");

  // Purpose -1 only makes OpenSSL parse and cache the extensions.
  if (1 != X509_check_purpose(pX509, -1, 0))
    return trace.FailedWithLibraryError("X509_check_purpose", ORLO_FAILED, "1 != nResult");
  trace.Ok("X509_check_purpose");

  if (!(X509_get_extension_flags(pX509) & EXFLAG_KUSAGE))
    return trace.Failed("Check key usage extension", SIGIL_E_INVALID_CERT_USAGE,
                        "!(pX509->ex_flags & EXFLAG_KUSAGE)");
  trace.Ok("Check key usage extension");

  if ((X509_get_key_usage(pX509) & uRequiredKeyUsage) != uRequiredKeyUsage)
    return trace.Failed("Check key usage", SIGIL_E_INVALID_CERT_USAGE,
                        "(pX509->ex_kusage & nKeyUsage) != nKeyUsage");
  trace.Ok("Check key usage");
  return ORLO_OK;
}

int CheckCertKeyUsage(const unsigned char* pbyCertData, int nCertDataSize,
                      unsigned int uRequiredKeyUsage) {
  EngineTrace trace(kSourceUnit, "CheckCertKeyUsage");
  X509* pRawX509 = nullptr;
  if (ORLO_OK != ConvertCertDataToX509(pbyCertData, nCertDataSize, &pRawX509))
    return trace.Failed("ConvertCertDataToX509", ORLO_FAILED, "ORLO_OK != nResult");
  const std::unique_ptr<X509, X509Deleter> pX509(pRawX509);
  trace.Ok("ConvertCertDataToX509");

  const int nResult = CheckX509KeyUsage(pX509.get(), uRequiredKeyUsage);
  if (ORLO_OK != nResult) return trace.Failed("CheckX509KeyUsage", nResult, "ORLO_OK != nResult");
  trace.Ok("CheckX509KeyUsage");
  return ORLO_OK;
}

}  // namespace engine
