// Recipients with keys in in-process containers, and drivers for the
// envelope calls, shared by the envelope tests.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>

#include "foundation/Unique.h"
#include "CspTestSupport.h"
#include "platform/store/CertStore.h"
#include "platform/msg/CryptMsg.h"

namespace envtest {

using csptest::Bytes;
using csptest::LastHr;

inline constexpr char kAes128[] = "2.16.840.1.101.3.4.1.2";

using UniqueCert = foundation::Unique<const CERT_CONTEXT, CertFreeCertificateContext>;

using UniqueStore = UniqueCertStore;

using UniqueMsg = foundation::Unique<void, CryptMsgClose>;

inline UniqueCert CertOf(const testpki::Identity& id) {
  Bytes der = id.CertDer();
  return UniqueCert(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                 der.data(), static_cast<DWORD>(der.size())));
}

// An identity's exchange key in an in-process container, and a memory store
// holding its certificate with CERT_KEY_PROV_INFO_PROP_ID naming it.
class KeyHolder {
 public:
  explicit KeyHolder(const testpki::Identity& id, bool withKey = true)
      : store_(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr)) {
    UniqueCert cert = CertOf(id);
    if (withKey) {
      const Bytes der = id.CertDer();
      token_ = platform::csp::CreateVolatileContainer(MS_ENHANCED_PROV_W, AT_KEYEXCHANGE, id.key(),
                                                      der, &container_);
      EXPECT_NE(nullptr, token_);
      std::u16string provider = MS_ENHANCED_PROV_W;
      CRYPT_KEY_PROV_INFO info{container_.data(), provider.data(), PROV_RSA_FULL, 0, 0,
                               nullptr,           AT_KEYEXCHANGE};
      EXPECT_TRUE(
          CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    }
    EXPECT_TRUE(
        CertAddCertificateContextToStore(store_.get(), cert.get(), CERT_STORE_ADD_NEW, nullptr));
  }
  HCERTSTORE store() const { return store_.get(); }
  // A provider handle on the container, released with the holder.
  HCRYPTPROV Provider() {
    if (context_.handle == 0) {
      EXPECT_TRUE(CryptAcquireContextW(&context_.handle, container_.c_str(), MS_ENHANCED_PROV_W,
                                       PROV_RSA_FULL, 0))
          << std::hex << GetLastError();
    }
    return context_.handle;
  }

 private:
  UniqueStore store_;
  std::shared_ptr<void> token_;
  std::u16string container_;
  csptest::Context context_;
};

inline std::optional<Bytes> Encrypt(const Bytes& content, const char* algorithm,
                                    const std::vector<const testpki::Identity*>& to,
                                    DWORD flags = 0) {
  std::vector<UniqueCert> certs;
  std::vector<PCCERT_CONTEXT> raw;
  for (const auto* id : to) {
    certs.push_back(CertOf(*id));
    raw.push_back(certs.back().get());
  }
  CRYPT_ENCRYPT_MESSAGE_PARA para{};
  para.cbSize = sizeof para;
  para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  para.ContentEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(algorithm);
  para.dwFlags = flags;
  DWORD size = 0;
  if (!CryptEncryptMessage(&para, static_cast<DWORD>(raw.size()), raw.data(), content.data(),
                           static_cast<DWORD>(content.size()), nullptr, &size))
    return std::nullopt;
  Bytes out(size);
  if (!CryptEncryptMessage(&para, static_cast<DWORD>(raw.size()), raw.data(), content.data(),
                           static_cast<DWORD>(content.size()), out.data(), &size))
    return std::nullopt;
  EXPECT_LE(size, out.size());
  out.resize(size);
  return out;
}

struct Opened {
  bool ok = false;
  HRESULT error = S_OK;
  Bytes content;
  Bytes recipientCert;  // DER of *ppXchgCert
};

inline Opened Decrypt(const Bytes& blob, std::vector<HCERTSTORE> stores) {
  CRYPT_DECRYPT_MESSAGE_PARA para{sizeof para, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                  static_cast<DWORD>(stores.size()), stores.data()};
  Opened result;
  DWORD size = 0;
  if (!CryptDecryptMessage(&para, blob.data(), static_cast<DWORD>(blob.size()), nullptr, &size,
                           nullptr)) {
    result.error = LastHr();
    return result;
  }
  result.content.resize(size);
  PCCERT_CONTEXT cert = nullptr;
  if (!CryptDecryptMessage(&para, blob.data(), static_cast<DWORD>(blob.size()),
                           result.content.data(), &size, &cert)) {
    result.error = LastHr();
    return result;
  }
  result.content.resize(size);
  result.ok = true;
  if (cert != nullptr) {
    result.recipientCert.assign(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded);
    CertFreeCertificateContext(cert);
  }
  return result;
}

// Collects what a message hands to its stream callback.
struct Collector {
  Bytes bytes;
  std::vector<std::size_t> pieces;
  int finals = 0;
  bool finalLast = true;  // no piece came after the one marked final
  std::function<bool()> refuse;
  CMSG_STREAM_INFO Info(DWORD contentLength = CMSG_INDEFINITE_LENGTH) {
    return {contentLength, &Collector::Output, this};
  }
  static BOOL Output(const void* arg, BYTE* data, DWORD size, BOOL final) {
    auto* self = static_cast<Collector*>(const_cast<void*>(arg));
    if (self->refuse && self->refuse()) return FALSE;
    if (self->finals != 0) self->finalLast = false;
    self->bytes.insert(self->bytes.end(), data, data + size);
    self->pieces.push_back(size);
    if (final) ++self->finals;
    return TRUE;
  }
};

// Feeds `bytes` in updates whose sizes cycle through `sizes`, the last one
// final. Stops at the first failure, whose error it gives.
inline HRESULT Feed(HCRYPTMSG msg, const Bytes& bytes, const std::vector<std::size_t>& sizes,
                    const std::function<void()>& afterEach = {}) {
  std::size_t at = 0;
  std::size_t turn = 0;
  do {
    const std::size_t take = std::min(sizes[turn++ % sizes.size()], bytes.size() - at);
    const bool final = at + take == bytes.size();
    if (!CryptMsgUpdate(msg, bytes.data() + at, static_cast<DWORD>(take), final ? TRUE : FALSE))
      return LastHr();
    at += take;
    if (afterEach) afterEach();
  } while (at < bytes.size());
  return S_OK;
}

// A streamed envelope of `content` to `recipients` (key identifiers when
// asked), with the content fed in updates of `sizes`.
inline Bytes StreamEncrypt(const Bytes& content, const char* algorithm,
                           const std::vector<const testpki::Identity*>& recipients, bool byKeyId,
                           std::optional<DWORD> definiteLength,
                           const std::vector<std::size_t>& sizes) {
  std::vector<UniqueCert> certs;
  std::vector<CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO> keyTrans(recipients.size());
  std::vector<CMSG_RECIPIENT_ENCODE_INFO> entries(recipients.size());
  std::vector<Bytes> keyIds(recipients.size());
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    certs.push_back(CertOf(*recipients[i]));
    const CERT_INFO& info = *certs.back()->pCertInfo;
    auto& entry = keyTrans[i];
    entry.cbSize = sizeof entry;
    entry.KeyEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_RSA);
    entry.RecipientPublicKey = info.SubjectPublicKeyInfo.PublicKey;
    if (byKeyId) {
      DWORD size = 64;
      keyIds[i].resize(size);
      EXPECT_TRUE(CertGetCertificateContextProperty(certs.back().get(), CERT_KEY_IDENTIFIER_PROP_ID,
                                                    keyIds[i].data(), &size));
      entry.RecipientId.dwIdChoice = CERT_ID_KEY_IDENTIFIER;
      entry.RecipientId.KeyId = {size, keyIds[i].data()};
    } else {
      entry.RecipientId.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
      entry.RecipientId.IssuerSerialNumber = {info.Issuer, info.SerialNumber};
    }
    entries[i].dwRecipientChoice = CMSG_KEY_TRANS_RECIPIENT;
    entries[i].pKeyTrans = &entry;
  }
  CMSG_ENVELOPED_ENCODE_INFO info{};
  info.cbSize = sizeof info;
  info.ContentEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(algorithm);
  info.cRecipients = static_cast<DWORD>(entries.size());
  info.rgCmsRecipients = entries.data();
  Collector out;
  CMSG_STREAM_INFO stream = out.Info(definiteLength.value_or(CMSG_INDEFINITE_LENGTH));
  UniqueMsg msg(
      CryptMsgOpenToEncode(PKCS_7_ASN_ENCODING, 0, CMSG_ENVELOPED, &info, nullptr, &stream));
  EXPECT_NE(nullptr, msg) << std::hex << GetLastError();
  if (!msg) return {};
  EXPECT_EQ(S_OK, Feed(msg.get(), content, sizes));
  EXPECT_EQ(1, out.finals);
  EXPECT_TRUE(out.finalLast);
  return out.bytes;
}

struct Streamed {
  HRESULT error = S_OK;         // of the first call that failed
  bool decryptedEarly = false;  // CMSG_CTRL_DECRYPT succeeded before the final update
  Collector out;
};

// Opens `blob` streamed in updates of `sizes`, decrypting for recipient
// `index` with `prov` as soon as the header is readable.
inline Streamed StreamDecrypt(const Bytes& blob, const std::vector<std::size_t>& sizes,
                              HCRYPTPROV prov, DWORD index = 0) {
  Streamed result;
  CMSG_STREAM_INFO stream = result.out.Info();
  UniqueMsg msg(CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, &stream));
  EXPECT_NE(nullptr, msg);
  if (!msg) return result;
  bool decrypted = false;
  HRESULT controlError = S_OK;
  auto tryDecrypt = [&] {
    if (decrypted || controlError != S_OK) return;
    DWORD count = 0, size = sizeof count;
    if (!CryptMsgGetParam(msg.get(), CMSG_RECIPIENT_COUNT_PARAM, 0, &count, &size)) {
      EXPECT_EQ(CRYPT_E_STREAM_MSG_NOT_READY, LastHr());
      return;
    }
    CMSG_CTRL_DECRYPT_PARA para{sizeof para, prov, AT_KEYEXCHANGE, index};
    if (CryptMsgControl(msg.get(), 0, CMSG_CTRL_DECRYPT, &para))
      decrypted = true;
    else
      controlError = LastHr();
  };
  std::size_t at = 0, turn = 0;
  do {
    const std::size_t take = std::min(sizes[turn++ % sizes.size()], blob.size() - at);
    const bool final = at + take == blob.size();
    if (!CryptMsgUpdate(msg.get(), blob.data() + at, static_cast<DWORD>(take), final)) {
      result.error = LastHr();
      return result;
    }
    at += take;
    if (!final) tryDecrypt();
    result.decryptedEarly = decrypted;
  } while (at < blob.size());
  if (controlError != S_OK) result.error = controlError;
  // A header that completes only with the final update.
  if (!decrypted && controlError == S_OK) {
    tryDecrypt();
    if (controlError != S_OK) result.error = controlError;
  }
  return result;
}

}  // namespace envtest
