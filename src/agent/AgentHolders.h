// Owners the agent's operations share, so that every way out of an operation
// releases what it took: certificate contexts, CSP certificate records and
// arrays that may hold a key, a password or a plaintext. Internal to the agent.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <memory>

#include "platform/cert/CertContext.h"
#include "platform/base/WinTypes.h"
#include "smengine/common/TextUtility.h"
#include "winsvc/UnregisteredCertContext.h"

namespace agent {

struct CertContextFree {
  void operator()(PCCERT_CONTEXT pCertContext) const { CertFreeCertificateContext(pCertContext); }
};
using UniqueCertContext = std::unique_ptr<const CERT_CONTEXT, CertContextFree>;

struct UnregisteredFree {
  void operator()(PUNREGISTERED_CERT_CONTEXT p) const { CertFreeUnregisteredCertContext(p); }
};
using UniqueUnregistered = std::unique_ptr<UNREGISTERED_CERT_CONTEXT, UnregisteredFree>;

// Frees an array after overwriting its first nBytes bytes (0: nothing to wipe).
template <class T>
struct WipeDelete {
  std::size_t nBytes = 0;
  void operator()(T* p) const {
    if (!p) return;
    OPENSSL_cleanse(p, nBytes);
    delete[] p;
  }
};
template <class T>
using Secret = std::unique_ptr<T[], WipeDelete<T>>;

// Takes an array of nElements elements that is wiped whole before it is freed.
template <class T>
Secret<T> TakeSecret(T* p, std::size_t nElements) {
  return Secret<T>(p, WipeDelete<T>{nElements * sizeof(T)});
}

// UTF-8 text converted from script text. A secret one (a password) has its
// bytes wiped before they go back to the heap.
class Utf8Text {
 public:
  explicit Utf8Text(bool secret = false) : m_secret(secret) {}

  // The conversion's own result; on failure the text stays empty.
  HRESULT Convert(LPCWSTR source) {
    LPSTR raw = nullptr;
    int length = 0;
    const HRESULT hResult = UTF16ToUTF8(source, &raw, &length);
    m_length = raw ? length : 0;
    m_text = TakeSecret(raw, m_secret ? static_cast<std::size_t>(m_length) : 0);
    return hResult;
  }
  LPCSTR Get() const { return m_text.get(); }
  const BYTE* Bytes() const { return reinterpret_cast<const BYTE*>(m_text.get()); }
  int Length() const { return m_length; }  // bytes, without the terminator

 private:
  Secret<char> m_text;
  int m_length = 0;
  bool m_secret;
};

}  // namespace agent
