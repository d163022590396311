// CryptImportPublicKeyInfo: a SubjectPublicKeyInfo as a key handle for
// CryptVerifySignatureW.
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "platform/csp/CspHashInternal.h"
#include "platform/base/LastError.h"

namespace platform::csp::detail {
namespace {

void AppendTlv(BYTE tag, const std::vector<BYTE>& content, std::vector<BYTE>* out) {
  out->push_back(tag);
  std::size_t length = content.size();
  if (length < 0x80) {
    out->push_back(static_cast<BYTE>(length));
  } else {
    BYTE digits[sizeof(std::size_t)];
    int count = 0;
    for (std::size_t rest = length; rest != 0; rest >>= 8) digits[count++] = rest & 0xFF;
    out->push_back(static_cast<BYTE>(0x80 | count));
    while (count > 0) out->push_back(digits[--count]);
  }
  out->insert(out->end(), content.begin(), content.end());
}

// The DER SubjectPublicKeyInfo the structure describes, empty when the
// object identifier is not dotted text.
std::vector<BYTE> EncodeInfo(const CERT_PUBLIC_KEY_INFO& info) {
  if (info.Algorithm.pszObjId == nullptr) return {};
  ASN1_OBJECT* oid = OBJ_txt2obj(info.Algorithm.pszObjId, 1);
  if (oid == nullptr) return {};
  unsigned char* oidDer = nullptr;
  int oidLength = i2d_ASN1_OBJECT(oid, &oidDer);
  ASN1_OBJECT_free(oid);
  if (oidLength <= 0) return {};
  std::vector<BYTE> algorithm(oidDer, oidDer + oidLength);
  OPENSSL_free(oidDer);
  const CRYPT_OBJID_BLOB& parameters = info.Algorithm.Parameters;
  if (parameters.cbData != 0 && parameters.pbData != nullptr)
    algorithm.insert(algorithm.end(), parameters.pbData, parameters.pbData + parameters.cbData);
  std::vector<BYTE> bits{static_cast<BYTE>(info.PublicKey.cUnusedBits & 7)};
  if (info.PublicKey.cbData != 0 && info.PublicKey.pbData != nullptr)
    bits.insert(bits.end(), info.PublicKey.pbData, info.PublicKey.pbData + info.PublicKey.cbData);
  std::vector<BYTE> body;
  AppendTlv(0x30, algorithm, &body);
  AppendTlv(0x03, bits, &body);
  std::vector<BYTE> out;
  AppendTlv(0x30, body, &out);
  return out;
}

}  // namespace
}  // namespace platform::csp::detail

using namespace platform::csp;
using namespace platform::csp::detail;

BOOL CryptImportPublicKeyInfo(HCRYPTPROV hProv, DWORD dwCertEncodingType,
                              PCERT_PUBLIC_KEY_INFO pInfo, HCRYPTKEY* phKey) {
  auto context = LookupContext(hProv);
  if (!context) return FailWin32(ERROR_INVALID_HANDLE);
  if (pInfo == nullptr || phKey == nullptr) return FailWin32(ERROR_INVALID_PARAMETER);
  *phKey = 0;
  if ((dwCertEncodingType & X509_ASN_ENCODING) == 0) return FailWin32(ERROR_INVALID_PARAMETER);
  std::vector<BYTE> der = EncodeInfo(*pInfo);
  if (der.empty()) return Fail(NTE_BAD_PUBLIC_KEY);
  const unsigned char* p = der.data();
  UniquePkey key(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
  if (!key || p != der.data() + der.size()) return Fail(NTE_BAD_PUBLIC_KEY);
  ALG_ID algId = 0;
  if (EVP_PKEY_is_a(key.get(), "RSA"))
    algId = CALG_RSA_KEYX;
  else if (IsSm2Key(key.get()) && IsSm2Context(*context))
    algId = CALG_SM2_SIGN;
  else
    return Fail(NTE_BAD_ALGID);
  auto pair = std::make_shared<KeyPair>();
  pair->algId = algId;
  pair->key = key.release();
  *phKey = AddKeyHandle(KeyObject{std::move(context), 0, std::move(pair)});
  return TRUE;
}
