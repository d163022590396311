// Drives the SignedData decoder and the whole-message verification calls
// with arbitrary bytes. Whatever decodes must answer every parameter within
// the sizes it reports, give the same signer and certificate counts to the
// store and the verifiers, and never crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/store/CertStore.h"
#include "platform/base/CryptErrors.h"
#include "platform/msg/CryptMsg.h"
#include "platform/base/LastError.h"

namespace {

using Bytes = std::vector<BYTE>;

void Check(bool condition) {
  if (!condition) std::abort();
}

// Asks for the size, then fetches into exactly that many bytes (eight-byte
// aligned, as a structure needs) and once into one byte fewer.
bool Param(HCRYPTMSG msg, DWORD type, DWORD index, Bytes* out = nullptr) {
  DWORD size = 0;
  if (!CryptMsgGetParam(msg, type, index, nullptr, &size)) return false;
  std::vector<std::uint64_t> buffer(size / 8 + 1);
  DWORD exact = size;
  Check(CryptMsgGetParam(msg, type, index, buffer.data(), &exact) == TRUE);
  Check(exact == size);
  if (size > 0) {
    DWORD small = size - 1;
    Check(CryptMsgGetParam(msg, type, index, buffer.data(), &small) == FALSE);
    Check(GetLastError() == ERROR_MORE_DATA && small == size);
  }
  if (out)
    out->assign(reinterpret_cast<BYTE*>(buffer.data()),
                reinterpret_cast<BYTE*>(buffer.data()) + size);
  return true;
}

DWORD Count(HCRYPTMSG msg, DWORD type) {
  Bytes value;
  if (!Param(msg, type, 0, &value)) return 0;
  Check(value.size() == sizeof(DWORD));
  DWORD count = 0;
  std::memcpy(&count, value.data(), sizeof count);
  return count;
}

// Returns the signer count of a message that decoded, or -1.
long Decode(const std::uint8_t* data, std::size_t size, DWORD flags, std::size_t split) {
  HCRYPTMSG msg =
      CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, flags, 0, 0, nullptr, nullptr);
  Check(msg != nullptr);
  long signers = -1;
  if (CryptMsgUpdate(msg, data, static_cast<DWORD>(split), FALSE) &&
      CryptMsgUpdate(msg, data + split, static_cast<DWORD>(size - split), TRUE)) {
    DWORD type = 0;
    Bytes value;
    if (Param(msg, CMSG_TYPE_PARAM, 0, &value)) std::memcpy(&type, value.data(), sizeof type);
    if (type == CMSG_SIGNED) {
      signers = static_cast<long>(Count(msg, CMSG_SIGNER_COUNT_PARAM));
      for (DWORD i = 0; i < static_cast<DWORD>(signers); ++i) {
        Check(Param(msg, CMSG_SIGNER_INFO_PARAM, i));
        Check(Param(msg, CMSG_SIGNER_CERT_INFO_PARAM, i));
      }
      Check(!Param(msg, CMSG_SIGNER_INFO_PARAM, static_cast<DWORD>(signers)));
      const DWORD certs = Count(msg, CMSG_CERT_COUNT_PARAM);
      for (DWORD i = 0; i < certs; ++i) Check(Param(msg, CMSG_CERT_PARAM, i));
      Check(Param(msg, CMSG_CONTENT_PARAM, 0));
      HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MSG, X509_ASN_ENCODING, 0, 0, msg);
      CertCloseStore(store, 0);
    }
  }
  Check(CryptMsgClose(msg) == TRUE);
  return signers;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > 1 << 20) return 0;
  const long signers = Decode(data, size, 0, size / 3);
  const long detachedSigners = Decode(data, size, CMSG_DETACHED_FLAG, size / 2);
  Check(signers == detachedSigners);

  CRYPT_VERIFY_MESSAGE_PARA para{sizeof para, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, nullptr,
                                 nullptr};
  const DWORD tries = signers > 0 ? static_cast<DWORD>(signers) + 1 : 1;
  for (DWORD index = 0; index < tries && index < 4; ++index) {
    PCCERT_CONTEXT cert = nullptr;
    DWORD contentSize = 0;
    const BOOL ok = CryptVerifyMessageSignature(&para, index, data, static_cast<DWORD>(size),
                                                nullptr, &contentSize, &cert);
    Check(!ok || signers > static_cast<long>(index));
    if (ok) {
      Bytes content(contentSize);
      Check(CryptVerifyMessageSignature(&para, index, data, static_cast<DWORD>(size),
                                        content.data(), &contentSize, nullptr) == TRUE);
    }
    CertFreeCertificateContext(cert);

    // The same bytes as a detached signature over a part of themselves.
    const BYTE* parts[] = {data, data + size / 2};
    DWORD sizes[] = {static_cast<DWORD>(size / 2), static_cast<DWORD>(size - size / 2)};
    cert = nullptr;
    CryptVerifyDetachedMessageSignature(&para, index, data, static_cast<DWORD>(size), 2, parts,
                                        sizes, &cert);
    CertFreeCertificateContext(cert);
  }
  return 0;
}
