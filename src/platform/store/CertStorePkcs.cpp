// Stores over a PKCS#7 SignedData: its certificates, in the message's order.
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>

#include "foundation/Unique.h"
#include "platform/store/CertStore.h"
#include "platform/store/CertStoreInternal.h"
#include "platform/base/CryptErrors.h"
#include "platform/base/LastError.h"

namespace certstore {
namespace {

// A context over an OpenSSL certificate, with no store.
PCCERT_CONTEXT ContextOf(X509* cert) {
  unsigned char* der = nullptr;
  int size = i2d_X509(cert, &der);
  if (size <= 0) {
    SetLastHr(CRYPT_E_ASN1_BADTAG);
    return nullptr;
  }
  PCCERT_CONTEXT context =
      CertCreateCertificateContext(X509_ASN_ENCODING, der, static_cast<DWORD>(size));
  OPENSSL_free(der);
  return context;
}

}  // namespace

std::shared_ptr<Store> OpenPkcs7Store(DWORD flags, const void* para) {
  const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(para);
  if (!blob || !blob->pbData || blob->cbData == 0) {
    SetLastHr(E_INVALIDARG);
    return nullptr;
  }
  const unsigned char* cursor = blob->pbData;
  foundation::Unique<PKCS7, PKCS7_free> message(
      d2i_PKCS7(nullptr, &cursor, static_cast<long>(blob->cbData)));
  // Exactly one message: trailing bytes are refused as for a certificate.
  if (!message || cursor != blob->pbData + blob->cbData) {
    SetLastHr(CRYPT_E_ASN1_BADTAG);
    return nullptr;
  }
  if (!PKCS7_type_is_signed(message.get())) {
    SetLastHr(CRYPT_E_INVALID_MSG_TYPE);
    return nullptr;
  }
  auto store = std::make_shared<Store>();
  STACK_OF(X509)* certs = message->d.sign ? message->d.sign->cert : nullptr;
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    PCCERT_CONTEXT context = ContextOf(sk_X509_value(certs, i));
    bool loaded = context && store->Load(context);
    DWORD error = GetLastError();
    CertFreeCertificateContext(context);
    if (!loaded) {
      store->Close();
      SetLastError(error);
      return nullptr;
    }
  }
  if (flags & CERT_STORE_READONLY_FLAG) store->SetReadOnly();
  return store;
}

}  // namespace certstore
