// An EnvelopedData made as its content arrives: the session key is
// encrypted to every recipient at open, the content is encrypted update by
// update and goes out at once (streamed) or is kept until the final update.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>

#include "platform/base/BerWriter.h"
#include "platform/msg/CmsCipher.h"
#include "platform/msg/CryptMsgEnvelopeInternal.h"

namespace platform::msg::detail {
namespace {

using ber::BerWriter;
using ber::TlvSize;

struct Recipient {
  bool byKeyId = false;
  std::span<const BYTE> keyId;
  std::span<const BYTE> issuer;    // DER Name
  std::span<const BYTE> serialLe;  // least significant octet first
  std::span<const BYTE> publicKey;
};

template <class Blob>
std::span<const BYTE> View(const Blob& blob) {
  return {blob.pbData, blob.pbData == nullptr ? 0 : blob.cbData};
}

HRESULT RecipientFromCertId(const CERT_ID& id, Recipient* out) {
  if (id.dwIdChoice == CERT_ID_KEY_IDENTIFIER) {
    out->byKeyId = true;
    out->keyId = View(id.KeyId);
    return out->keyId.empty() ? E_INVALIDARG : S_OK;
  }
  if (id.dwIdChoice == CERT_ID_ISSUER_SERIAL_NUMBER) {
    out->issuer = View(id.IssuerSerialNumber.Issuer);
    out->serialLe = View(id.IssuerSerialNumber.SerialNumber);
    return out->issuer.empty() ? E_INVALIDARG : S_OK;
  }
  return E_INVALIDARG;
}

bool IsRsaOid(LPCSTR oid) { return oid != nullptr && std::strcmp(oid, szOID_RSA_RSA) == 0; }

HRESULT CollectRecipients(const CMSG_ENVELOPED_ENCODE_INFO& info, std::vector<Recipient>* out) {
  const bool cmsRecipients =
      info.cbSize >= offsetof(CMSG_ENVELOPED_ENCODE_INFO, rgCmsRecipients) + sizeof(void*) &&
      info.rgCmsRecipients != nullptr;
  if (info.cRecipients == 0 || (!cmsRecipients && info.rgpRecipients == nullptr))
    return E_INVALIDARG;
  for (DWORD i = 0; i < info.cRecipients; ++i) {
    Recipient recipient;
    if (cmsRecipients) {
      const CMSG_RECIPIENT_ENCODE_INFO& entry = info.rgCmsRecipients[i];
      if (entry.dwRecipientChoice != CMSG_KEY_TRANS_RECIPIENT || entry.pKeyTrans == nullptr)
        return E_INVALIDARG;
      const CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO& keyTrans = *entry.pKeyTrans;
      if (!IsRsaOid(keyTrans.KeyEncryptionAlgorithm.pszObjId)) return CRYPT_E_UNKNOWN_ALGO;
      HRESULT hr = RecipientFromCertId(keyTrans.RecipientId, &recipient);
      if (FAILED(hr)) return hr;
      recipient.publicKey = View(keyTrans.RecipientPublicKey);
    } else {
      const CERT_INFO* cert = info.rgpRecipients[i];
      if (cert == nullptr) return E_INVALIDARG;
      if (!IsRsaOid(cert->SubjectPublicKeyInfo.Algorithm.pszObjId)) return NTE_BAD_PUBLIC_KEY;
      recipient.issuer = View(cert->Issuer);
      recipient.serialLe = View(cert->SerialNumber);
      if (recipient.issuer.empty()) return E_INVALIDARG;
      recipient.publicKey = View(cert->SubjectPublicKeyInfo.PublicKey);
    }
    out->push_back(recipient);
  }
  return S_OK;
}

// KeyTransRecipientInfo.
HRESULT EncodeRecipient(const Recipient& recipient, std::span<const BYTE> sessionKey,
                        std::vector<BYTE>* out) {
  std::vector<BYTE> encryptedKey;
  HRESULT hr = WrapSessionKey(recipient.publicKey, sessionKey, &encryptedKey);
  if (FAILED(hr)) return hr;
  BerWriter body;
  body.SmallInteger(recipient.byKeyId ? 2 : 0);
  if (recipient.byKeyId) {
    body.Tlv(0x80, recipient.keyId);
  } else {
    BerWriter issuerSerial;
    issuerSerial.Raw(recipient.issuer);
    std::vector<BYTE> serial(recipient.serialLe.rbegin(), recipient.serialLe.rend());
    if (serial.empty()) serial.push_back(0);
    issuerSerial.Tlv(0x02, serial);
    body.Tlv(0x30, issuerSerial.Bytes());
  }
  BerWriter algorithm;
  algorithm.Oid(szOID_RSA_RSA);
  algorithm.Null();
  body.Tlv(0x30, algorithm.Bytes());
  body.Tlv(0x04, encryptedKey);
  BerWriter element;
  element.Tlv(0x30, body.Bytes());
  *out = std::move(element.Bytes());
  return S_OK;
}

class EnvelopeEncoder : public Message {
 public:
  explicit EnvelopeEncoder(const CMSG_STREAM_INFO* stream) : sink_(stream) {}

  HRESULT Open(const CMSG_ENVELOPED_ENCODE_INFO& info);
  BOOL Update(std::span<const BYTE> data, BOOL final) override;
  BOOL GetParam(DWORD paramType, DWORD index, void* data, DWORD* size) override;

 private:
  bool Indefinite() const { return sink_.ContentLength() == CMSG_INDEFINITE_LENGTH; }
  // Everything up to the encryptedContent's contents; no length for the
  // indefinite form.
  std::vector<BYTE> Prefix(std::optional<std::uint64_t> cipherLength) const;
  DWORD Process(std::span<const BYTE> data, bool final);
  // One piece of ciphertext in the stream's form; `last` ends the message.
  DWORD EmitPiece(std::span<const BYTE> cipher, bool last);

  OutputSink sink_;
  const ContentAlgorithm* algorithm_ = nullptr;
  std::vector<BYTE> algorithmDer_;   // contentEncryptionAlgorithm
  std::vector<BYTE> recipientsDer_;  // the SET OF RecipientInfo
  bool anyKeyId_ = false;
  ContentCipher cipher_;
  std::vector<BYTE> ciphertext_;  // unstreamed only
  std::vector<BYTE> chunk_;       // streamed: one chunk's ciphertext, reused
  std::uint64_t contentSoFar_ = 0;
  bool started_ = false;
  bool finished_ = false;
  DWORD error_ = 0;
};

HRESULT EnvelopeEncoder::Open(const CMSG_ENVELOPED_ENCODE_INFO& info) {
  if (info.ContentEncryptionAlgorithm.pszObjId == nullptr) return CRYPT_E_UNKNOWN_ALGO;
  algorithm_ = FindContentAlgorithm(info.ContentEncryptionAlgorithm.pszObjId);
  if (algorithm_ == nullptr) return CRYPT_E_UNKNOWN_ALGO;
  // Certificates, CRLs and unprotected attributes are not written.
  const auto covers = [&](std::size_t offset) { return info.cbSize > offset; };
  if ((covers(offsetof(CMSG_ENVELOPED_ENCODE_INFO, cCertEncoded)) && info.cCertEncoded != 0) ||
      (covers(offsetof(CMSG_ENVELOPED_ENCODE_INFO, cCrlEncoded)) && info.cCrlEncoded != 0) ||
      (covers(offsetof(CMSG_ENVELOPED_ENCODE_INFO, cAttrCertEncoded)) &&
       info.cAttrCertEncoded != 0) ||
      (covers(offsetof(CMSG_ENVELOPED_ENCODE_INFO, cUnprotectedAttr)) &&
       info.cUnprotectedAttr != 0))
    return E_INVALIDARG;
  std::vector<Recipient> recipients;
  HRESULT hr = CollectRecipients(info, &recipients);
  if (FAILED(hr)) return hr;

  SecretBytes key;
  hr = RandomSessionKey(*algorithm_, &key);
  if (FAILED(hr)) return hr;
  std::vector<BYTE> iv;
  hr = RandomBytes(algorithm_->ivSize, &iv);
  if (FAILED(hr)) return hr;

  std::vector<std::vector<BYTE>> encoded(recipients.size());
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    hr = EncodeRecipient(recipients[i], {key.data(), key.size()}, &encoded[i]);
    if (FAILED(hr)) return hr;
    anyKeyId_ = anyKeyId_ || recipients[i].byKeyId;
  }
  // The recipients stay in the caller's order rather than DER's sorted SET
  // order: CMSG_CTRL_DECRYPT names a recipient by its index, and the caller
  // knows the index from the order it gave.
  std::size_t setLength = 0;
  for (const auto& one : encoded) setLength += one.size();
  BerWriter set;
  set.Header(0x31, setLength);
  for (const auto& one : encoded) set.Raw(one);
  recipientsDer_ = std::move(set.Bytes());

  // RC4 has no IV: its parameters are an empty OCTET STRING, an unsalted
  // 128-bit key as CryptoAPI describes it, and the one form besides none
  // that OpenSSL's decryption takes (NULL it refuses).
  BerWriter parameters;
  parameters.Oid(algorithm_->oid);
  parameters.Tlv(0x04, iv);
  BerWriter algorithm;
  algorithm.Tlv(0x30, parameters.Bytes());
  algorithmDer_ = std::move(algorithm.Bytes());
  return cipher_.Init(*algorithm_, {key.data(), key.size()}, iv, true);
}

std::vector<BYTE> EnvelopeEncoder::Prefix(std::optional<std::uint64_t> cipherLength) const {
  BerWriter dataOid;
  dataOid.Oid(szOID_RSA_data);
  BerWriter envelopedOid;
  envelopedOid.Oid(szOID_RSA_envelopedData);
  const BYTE version[] = {0x02, 0x01, static_cast<BYTE>(anyKeyId_ ? 2 : 0)};
  BerWriter out;
  if (!cipherLength) {
    out.IndefiniteHeader(0x30);
    out.Raw(envelopedOid.Bytes());
    out.IndefiniteHeader(0xA0);
    out.IndefiniteHeader(0x30);
    out.Raw(version);
    out.Raw(recipientsDer_);
    out.IndefiniteHeader(0x30);
    out.Raw(dataOid.Bytes());
    out.Raw(algorithmDer_);
    out.IndefiniteHeader(0xA0);
    return std::move(out.Bytes());
  }
  const std::uint64_t eci = dataOid.Size() + algorithmDer_.size() + TlvSize(*cipherLength);
  const std::uint64_t enveloped = sizeof version + recipientsDer_.size() + TlvSize(eci);
  const std::uint64_t explicitContent = TlvSize(enveloped);
  const std::uint64_t contentInfo = envelopedOid.Size() + TlvSize(explicitContent);
  out.Header(0x30, contentInfo);
  out.Raw(envelopedOid.Bytes());
  out.Header(0xA0, explicitContent);
  out.Header(0x30, enveloped);
  out.Raw(version);
  out.Raw(recipientsDer_);
  out.Header(0x30, eci);
  out.Raw(dataOid.Bytes());
  out.Raw(algorithmDer_);
  out.Header(0x80, *cipherLength);
  return std::move(out.Bytes());
}

DWORD EnvelopeEncoder::Process(std::span<const BYTE> data, bool final) {
  const bool streamed = sink_.Streamed();
  if (streamed && !Indefinite()) {
    const std::uint64_t expected = sink_.ContentLength();
    if (data.size() > expected - contentSoFar_) return static_cast<DWORD>(CRYPT_E_MSG_ERROR);
    if (final && contentSoFar_ + data.size() != expected)
      return static_cast<DWORD>(CRYPT_E_STREAM_INSUFFICIENT_DATA);
  }
  contentSoFar_ += data.size();
  if (!streamed) {
    HRESULT hr = cipher_.Update(data, &ciphertext_);
    if (SUCCEEDED(hr) && final) hr = cipher_.Final(&ciphertext_);
    if (FAILED(hr)) return static_cast<DWORD>(hr);
    if (!final) return 0;
    std::vector<BYTE> out = Prefix(ciphertext_.size());
    out.insert(out.end(), ciphertext_.begin(), ciphertext_.end());
    ciphertext_ = {};
    return sink_.Emit(out, true);
  }
  // Streamed: each chunk goes out as soon as it is encrypted, so memory
  // stays at one chunk whatever the size of the update.
  if (!started_) {
    started_ = true;
    const std::vector<BYTE> prefix =
        Indefinite() ? Prefix(std::nullopt)
                     : Prefix(CiphertextLength(*algorithm_, sink_.ContentLength()));
    if (const DWORD error = sink_.Emit(prefix, false)) return error;
  }
  constexpr std::size_t kChunk = 1u << 20;
  do {
    const std::size_t take = data.size() < kChunk ? data.size() : kChunk;
    const bool last = final && take == data.size();
    chunk_.clear();
    HRESULT hr = cipher_.Update(data.first(take), &chunk_);
    if (SUCCEEDED(hr) && last) hr = cipher_.Final(&chunk_);
    if (FAILED(hr)) return static_cast<DWORD>(hr);
    data = data.subspan(take);
    if (const DWORD error = EmitPiece(chunk_, last)) return error;
  } while (!data.empty());
  return 0;
}

DWORD EnvelopeEncoder::EmitPiece(std::span<const BYTE> cipher, bool last) {
  if (!Indefinite()) {
    if (cipher.empty() && !last) return 0;
    return sink_.Emit(cipher, last);
  }
  if (cipher.empty() && !last) return 0;
  BerWriter out;
  out.Bytes().reserve(cipher.size() + 16);  // header and end-of-contents too: no regrowth
  if (!cipher.empty()) {
    out.Header(0x04, cipher.size());
    out.Raw(cipher);
  }
  if (last)
    for (int level = 0; level < 5; ++level) out.EndOfContents();
  return sink_.Emit(out.Bytes(), last);
}

BOOL EnvelopeEncoder::Update(std::span<const BYTE> data, BOOL final) {
  if (error_ != 0) return FailWith(error_);
  if (finished_) return FailWith(static_cast<DWORD>(CRYPT_E_MSG_ERROR));
  const DWORD error = Process(data, final != FALSE);
  if (error != 0) {
    error_ = error;
    return FailWith(error);
  }
  finished_ = final != FALSE;
  return TRUE;
}

BOOL EnvelopeEncoder::GetParam(DWORD paramType, DWORD, void* data, DWORD* size) {
  if (paramType == CMSG_TYPE_PARAM) {
    const DWORD type = CMSG_ENVELOPED;
    return CopyOut({reinterpret_cast<const BYTE*>(&type), sizeof type}, data, size);
  }
  if (paramType == CMSG_CONTENT_PARAM && !sink_.Streamed()) {
    if (!finished_) return FailWith(static_cast<DWORD>(CRYPT_E_STREAM_MSG_NOT_READY));
    return CopyOut(sink_.Memory(), data, size);
  }
  return FailWith(static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
}

}  // namespace

std::unique_ptr<Message> OpenEnvelopeEncoder(const CMSG_ENVELOPED_ENCODE_INFO& info,
                                             const CMSG_STREAM_INFO* stream) {
  if (stream != nullptr && stream->pfnStreamOutput == nullptr) {
    SetLastError(static_cast<DWORD>(E_INVALIDARG));
    return nullptr;
  }
  auto encoder = std::make_unique<EnvelopeEncoder>(stream);
  const HRESULT hr = encoder->Open(info);
  if (FAILED(hr)) {
    SetLastError(static_cast<DWORD>(hr));
    return nullptr;
  }
  return encoder;
}

}  // namespace platform::msg::detail
