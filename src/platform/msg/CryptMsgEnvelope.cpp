// CryptEncryptMessage and CryptDecryptMessage: whole messages in memory,
// made and opened through the same message objects as the streamed calls.
#include <cstring>
#include <vector>

#include "platform/msg/CryptMsgEnvelopeInternal.h"

namespace {

using platform::msg::detail::CopyOut;
using platform::msg::detail::FailWith;

class MessageHandle {
 public:
  explicit MessageHandle(HCRYPTMSG handle) : handle_(handle) {}
  ~MessageHandle() {
    if (handle_ != nullptr) {
      LastErrorKeeper keep;
      CryptMsgClose(handle_);
    }
  }
  MessageHandle(const MessageHandle&) = delete;
  MessageHandle& operator=(const MessageHandle&) = delete;
  HCRYPTMSG get() const { return handle_; }

 private:
  HCRYPTMSG handle_;
};

// A parameter holding a self-contained structure, read into storage aligned
// for its pointers; empty with the last error set on failure.
std::vector<std::uint64_t> ReadStructParam(HCRYPTMSG message, DWORD param, DWORD index) {
  DWORD size = 0;
  if (!CryptMsgGetParam(message, param, index, nullptr, &size)) return {};
  std::vector<std::uint64_t> storage((size + 7) / 8 + 1);
  size = static_cast<DWORD>(storage.size() * 8);
  if (!CryptMsgGetParam(message, param, index, storage.data(), &size)) return {};
  return storage;
}

class Provider {
 public:
  ~Provider() {
    if (handle != 0 && callerFrees) {
      LastErrorKeeper keep;
      CryptReleaseContext(handle, 0);
    }
  }
  HCRYPTPROV handle = 0;
  DWORD keySpec = 0;
  BOOL callerFrees = FALSE;
};

// The first certificate in the stores named by `id` whose private key can
// be acquired, with that key's provider; null when there is none.
PCCERT_CONTEXT FindRecipientKey(const CRYPT_DECRYPT_MESSAGE_PARA& para, const CERT_ID& id,
                                Provider* provider) {
  for (DWORD s = 0; s < para.cCertStore; ++s) {
    PCCERT_CONTEXT cert = nullptr;
    while ((cert = CertFindCertificateInStore(para.rghCertStore[s], para.dwMsgAndCertEncodingType,
                                              0, CERT_FIND_CERT_ID, &id, cert)) != nullptr) {
      if (CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &provider->handle, &provider->keySpec,
                                            &provider->callerFrees))
        return cert;
    }
  }
  return nullptr;
}

}  // namespace

BOOL CryptEncryptMessage(PCRYPT_ENCRYPT_MESSAGE_PARA pEncryptPara, DWORD cRecipientCert,
                         PCCERT_CONTEXT rgpRecipientCert[], const BYTE* pbToBeEncrypted,
                         DWORD cbToBeEncrypted, BYTE* pbEncryptedBlob, DWORD* pcbEncryptedBlob) {
  if (pEncryptPara == nullptr || pcbEncryptedBlob == nullptr || cRecipientCert == 0 ||
      rgpRecipientCert == nullptr || (pbToBeEncrypted == nullptr && cbToBeEncrypted != 0) ||
      pEncryptPara->cbSize < sizeof(CRYPT_ENCRYPT_MESSAGE_PARA) ||
      pEncryptPara->pvEncryptionAuxInfo != nullptr || pEncryptPara->dwInnerContentType != 0 ||
      (pEncryptPara->dwFlags & ~CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG) != 0)
    return FailWith(static_cast<DWORD>(E_INVALIDARG));
  const bool byKeyId = (pEncryptPara->dwFlags & CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG) != 0;

  std::vector<CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO> keyTrans(cRecipientCert);
  std::vector<CMSG_RECIPIENT_ENCODE_INFO> recipients(cRecipientCert);
  std::vector<std::vector<BYTE>> keyIds(cRecipientCert);
  for (DWORD i = 0; i < cRecipientCert; ++i) {
    PCCERT_CONTEXT cert = rgpRecipientCert[i];
    if (cert == nullptr || cert->pCertInfo == nullptr)
      return FailWith(static_cast<DWORD>(E_INVALIDARG));
    const CERT_INFO& info = *cert->pCertInfo;
    const char* keyAlgorithm = info.SubjectPublicKeyInfo.Algorithm.pszObjId;
    if (keyAlgorithm == nullptr || std::strcmp(keyAlgorithm, szOID_RSA_RSA) != 0)
      return FailWith(static_cast<DWORD>(NTE_BAD_PUBLIC_KEY));
    CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO& entry = keyTrans[i];
    entry.cbSize = sizeof entry;
    entry.KeyEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_RSA);
    entry.RecipientPublicKey = info.SubjectPublicKeyInfo.PublicKey;
    if (byKeyId) {
      DWORD size = 0;
      if (!CertGetCertificateContextProperty(cert, CERT_KEY_IDENTIFIER_PROP_ID, nullptr, &size))
        return FALSE;
      keyIds[i].resize(size);
      if (!CertGetCertificateContextProperty(cert, CERT_KEY_IDENTIFIER_PROP_ID, keyIds[i].data(),
                                             &size))
        return FALSE;
      entry.RecipientId.dwIdChoice = CERT_ID_KEY_IDENTIFIER;
      entry.RecipientId.KeyId = {size, keyIds[i].data()};
    } else {
      entry.RecipientId.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
      entry.RecipientId.IssuerSerialNumber.Issuer = info.Issuer;
      entry.RecipientId.IssuerSerialNumber.SerialNumber = info.SerialNumber;
    }
    recipients[i].dwRecipientChoice = CMSG_KEY_TRANS_RECIPIENT;
    recipients[i].pKeyTrans = &entry;
  }
  CMSG_ENVELOPED_ENCODE_INFO info{};
  info.cbSize = sizeof info;
  info.ContentEncryptionAlgorithm = pEncryptPara->ContentEncryptionAlgorithm;
  info.cRecipients = cRecipientCert;
  info.rgCmsRecipients = recipients.data();

  MessageHandle message(CryptMsgOpenToEncode(pEncryptPara->dwMsgEncodingType, 0, CMSG_ENVELOPED,
                                             &info, nullptr, nullptr));
  if (message.get() == nullptr ||
      !CryptMsgUpdate(message.get(), pbToBeEncrypted, cbToBeEncrypted, TRUE))
    return FALSE;
  return CryptMsgGetParam(message.get(), CMSG_CONTENT_PARAM, 0, pbEncryptedBlob, pcbEncryptedBlob);
}

BOOL CryptDecryptMessage(PCRYPT_DECRYPT_MESSAGE_PARA pDecryptPara, const BYTE* pbEncryptedBlob,
                         DWORD cbEncryptedBlob, BYTE* pbDecrypted, DWORD* pcbDecrypted,
                         PCCERT_CONTEXT* ppXchgCert) {
  if (ppXchgCert != nullptr) *ppXchgCert = nullptr;
  if (pDecryptPara == nullptr || pcbDecrypted == nullptr || pbEncryptedBlob == nullptr ||
      pDecryptPara->cbSize < sizeof(CRYPT_DECRYPT_MESSAGE_PARA) ||
      (pDecryptPara->cCertStore != 0 && pDecryptPara->rghCertStore == nullptr))
    return FailWith(static_cast<DWORD>(E_INVALIDARG));
  MessageHandle message(CryptMsgOpenToDecode(pDecryptPara->dwMsgAndCertEncodingType, 0,
                                             CMSG_ENVELOPED, 0, nullptr, nullptr));
  if (message.get() == nullptr ||
      !CryptMsgUpdate(message.get(), pbEncryptedBlob, cbEncryptedBlob, TRUE))
    return FALSE;
  DWORD count = 0;
  DWORD size = sizeof count;
  if (!CryptMsgGetParam(message.get(), CMSG_RECIPIENT_COUNT_PARAM, 0, &count, &size)) return FALSE;
  for (DWORD index = 0; index < count; ++index) {
    const std::vector<std::uint64_t> storage =
        ReadStructParam(message.get(), CMSG_CMS_RECIPIENT_INFO_PARAM, index);
    if (storage.empty()) continue;  // a kind of recipient we cannot use
    const auto* info = reinterpret_cast<const CMSG_CMS_RECIPIENT_INFO*>(storage.data());
    Provider provider;
    PCCERT_CONTEXT cert = FindRecipientKey(*pDecryptPara, info->pKeyTrans->RecipientId, &provider);
    if (cert == nullptr) continue;
    CMSG_CTRL_DECRYPT_PARA decrypt{sizeof decrypt, provider.handle, provider.keySpec, index};
    if (!CryptMsgControl(message.get(), 0, CMSG_CTRL_DECRYPT, &decrypt)) {
      LastErrorKeeper keep;
      CertFreeCertificateContext(cert);
      return FALSE;
    }
    if (!CryptMsgGetParam(message.get(), CMSG_CONTENT_PARAM, 0, pbDecrypted, pcbDecrypted)) {
      LastErrorKeeper keep;
      CertFreeCertificateContext(cert);
      return FALSE;
    }
    if (ppXchgCert != nullptr)
      *ppXchgCert = cert;
    else
      CertFreeCertificateContext(cert);
    return TRUE;
  }
  return FailWith(static_cast<DWORD>(CRYPT_E_NO_DECRYPT_CERT));
}
