#include <openssl/crypto.h>

#include "pki/Ossl.h"
#include "pki/TestPki.h"

namespace testpki {

Bytes MakePkcs12(const Identity& id, std::string_view password,
                 const std::vector<const Identity*>& chain) {
  if (id.key() == nullptr || id.cert() == nullptr) return {};
  X509StackPtr extra(sk_X509_new_null());
  if (!extra) return {};
  for (const Identity* c : chain)
    if (c == nullptr || c->cert() == nullptr || sk_X509_push(extra.get(), c->cert()) <= 0)
      return {};
  const std::string pass(password);  // PKCS12_create wants it NUL-terminated
  P12Ptr p12(PKCS12_create(pass.c_str(), "npsigil-test", id.key(), id.cert(),
                           chain.empty() ? nullptr : extra.get(), 0, 0, 0, 0, 0));
  if (!p12) return {};
  unsigned char* der = nullptr;
  const int len = i2d_PKCS12(p12.get(), &der);
  if (len <= 0) return {};
  Bytes out(der, der + len);
  OPENSSL_free(der);
  return out;
}

}  // namespace testpki
