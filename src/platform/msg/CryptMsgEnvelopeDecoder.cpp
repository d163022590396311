// An EnvelopedData opened as its bytes arrive, DER or BER. Everything before
// the encrypted content is gathered (up to kMaxHeader) and read once
// complete; the encrypted content is decrypted piece by piece as it comes,
// or held until CMSG_CTRL_DECRYPT names the recipient. Only the last block
// waits for the final update, where its padding is checked.
#include <memory>
#include <optional>

#include "platform/base/BerStreamReader.h"
#include "platform/csp/ProviderKeys.h"
#include "platform/msg/CmsCipher.h"
#include "platform/msg/CryptMsgEnvelopeHeader.h"
#include "platform/msg/CryptMsgEnvelopeInternal.h"

namespace platform::msg::detail {
namespace {

using ber::BerStreamReader;
using Event = BerStreamReader::Event;
using Kind = BerStreamReader::Kind;

constexpr std::size_t kMaxHeader = 1u << 20;
constexpr std::size_t kDecryptChunk = 1u << 20;
constexpr HRESULT kSinkRefused = MakeHResult(0x80004004u);

// Where the decoder is in ContentInfo { type, [0] EnvelopedData { version,
// [0] originatorInfo OPTIONAL, recipientInfos, encryptedContentInfo { type,
// algorithm, [0] encryptedContent OPTIONAL }, [1] unprotectedAttrs OPTIONAL } }.
enum class Stage {
  kContentInfo,
  kContentType,
  kExplicit,
  kEnveloped,
  kVersion,
  kRecipients,  // or originatorInfo first
  kEncryptedInfo,
  kInnerType,
  kAlgorithm,
  kContent,  // or the end of encryptedContentInfo
  kInContent,
  kAfterContent,
  kAttributes,  // or the end of EnvelopedData
  kEnvelopedEnd,
  kExplicitEnd,
  kContentInfoEnd,
  kDone,
};

struct Range {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

class EnvelopeDecoder : public Message {
 public:
  explicit EnvelopeDecoder(const CMSG_STREAM_INFO* stream) : sink_(stream) {}
  ~EnvelopeDecoder() override {
    if (!scratch_.empty()) OPENSSL_cleanse(scratch_.data(), scratch_.size());
  }

  BOOL Update(std::span<const BYTE> data, BOOL final) override;
  BOOL GetParam(DWORD paramType, DWORD index, void* data, DWORD* size) override;
  BOOL Control(DWORD flags, DWORD ctrlType, const void* para) override;

 private:
  HRESULT Feed(std::span<const BYTE> data);
  HRESULT OnHeader(const Event& event);
  HRESULT OnEnd(const Event& event);
  HRESULT OnTaken();
  HRESULT HeaderComplete();
  HRESULT Decrypt(std::span<const BYTE> ciphertext);
  HRESULT Finish();
  HRESULT StartDecryption(const CMSG_CTRL_DECRYPT_PARA& para,
                          const csp::ProviderKeys& keys);
  std::span<const BYTE> Slice(const Range& range) const {
    return std::span<const BYTE>(header_).subspan(range.begin, range.end - range.begin);
  }
  // The element at `event` is read whole later (into *range) or passed over (null).
  void Take(const Event& event, Range* range) {
    skipDepth_ = event.depth;
    taking_ = range;
    if (range != nullptr) range->begin = event.start;
  }
  // Output the callback refused, with the callback's own error kept as is.
  HRESULT Emit(std::span<const BYTE> bytes, bool final) {
    sinkError_ = sink_.Emit(bytes, final);
    return sinkError_ == 0 ? S_OK : kSinkRefused;
  }
  BOOL Broken(HRESULT hr) {
    error_ = hr == kSinkRefused ? sinkError_ : static_cast<DWORD>(hr);
    return FailWith(error_);
  }

  OutputSink sink_;
  BerStreamReader reader_;
  Stage stage_ = Stage::kContentInfo;
  int skipDepth_ = -1;
  Range* taking_ = nullptr;
  std::vector<BYTE> header_;
  Range typeRange_, versionRange_, recipientsRange_, innerTypeRange_, algorithmRange_;
  bool originatorSeen_ = false;
  bool headerReady_ = false;
  std::vector<EnvelopeRecipient> recipients_;
  std::string algorithmOid_;
  std::vector<BYTE> algorithmParameters_;
  int contentDepth_ = 0;

  std::vector<BYTE> held_;  // ciphertext that came before CMSG_CTRL_DECRYPT
  bool decrypting_ = false;
  ContentCipher cipher_;
  std::vector<BYTE> scratch_;
  bool finalSeen_ = false;
  bool done_ = false;
  DWORD sinkError_ = 0;
  DWORD error_ = 0;
};

HRESULT EnvelopeDecoder::Feed(std::span<const BYTE> data) {
  for (;;) {
    const BYTE* before = data.data();
    const Event event = reader_.Next(data);
    if (!headerReady_ && data.data() != before) {
      header_.insert(header_.end(), before, data.data());
      if (header_.size() > kMaxHeader) return CRYPT_E_ASN1_LARGE;
    }
    HRESULT hr = S_OK;
    switch (event.kind) {
      case Kind::kNeedMore:
        return S_OK;
      case Kind::kError:
        return event.error;
      case Kind::kHeader:
        hr = OnHeader(event);
        break;
      case Kind::kEnd:
        hr = OnEnd(event);
        break;
      case Kind::kContents:
        if (stage_ == Stage::kInContent) hr = Decrypt(event.contents);
        break;
    }
    if (FAILED(hr)) return hr;
  }
}

HRESULT EnvelopeDecoder::OnHeader(const Event& event) {
  if (skipDepth_ >= 0) return S_OK;  // inside an element read whole or passed over
  const auto expect = [&](int depth, BYTE tag, Stage next) {
    if (event.depth != depth || event.tag != tag) return CRYPT_E_ASN1_BADTAG;
    stage_ = next;
    return S_OK;
  };
  const auto take = [&](int depth, BYTE tag, Range* range) {
    if (event.depth != depth || event.tag != tag) return CRYPT_E_ASN1_BADTAG;
    Take(event, range);
    return S_OK;
  };
  switch (stage_) {
    case Stage::kContentInfo:
      return expect(0, 0x30, Stage::kContentType);
    case Stage::kContentType:
      return take(1, 0x06, &typeRange_);
    case Stage::kExplicit:
      return expect(1, 0xA0, Stage::kEnveloped);
    case Stage::kEnveloped:
      return expect(2, 0x30, Stage::kVersion);
    case Stage::kVersion:
      return take(3, 0x02, &versionRange_);
    case Stage::kRecipients:
      if (event.depth == 3 && event.tag == 0xA0 && !originatorSeen_) {
        Take(event, nullptr);  // originatorInfo: certificates we do not use
        originatorSeen_ = true;
        return S_OK;
      }
      return take(3, 0x31, &recipientsRange_);
    case Stage::kEncryptedInfo:
      return expect(3, 0x30, Stage::kInnerType);
    case Stage::kInnerType:
      return take(4, 0x06, &innerTypeRange_);
    case Stage::kAlgorithm:
      return take(4, 0x30, &algorithmRange_);
    case Stage::kContent:
      if (event.depth != 4 || (event.tag != 0x80 && event.tag != 0xA0)) return CRYPT_E_ASN1_BADTAG;
      contentDepth_ = event.depth;
      stage_ = Stage::kInContent;
      return HeaderComplete();
    case Stage::kInContent:
      // Pieces of a constructed encryptedContent: OCTET STRINGs, nested or not.
      return event.tag == 0x04 || event.tag == 0x24 ? S_OK : CRYPT_E_ASN1_BADTAG;
    case Stage::kAttributes:
      if (event.depth != 3 || event.tag != 0xA1) return CRYPT_E_ASN1_BADTAG;
      Take(event, nullptr);
      stage_ = Stage::kEnvelopedEnd;
      return S_OK;
    default:
      return CRYPT_E_ASN1_BADTAG;
  }
}

HRESULT EnvelopeDecoder::OnEnd(const Event& event) {
  if (skipDepth_ >= 0) {
    if (event.depth > skipDepth_) return S_OK;
    skipDepth_ = -1;
    if (taking_ == nullptr) return S_OK;
    taking_->end = event.start;
    taking_ = nullptr;
    return OnTaken();
  }
  const auto expect = [&](int depth, Stage next) {
    if (event.depth != depth) return CRYPT_E_ASN1_CORRUPT;
    stage_ = next;
    return S_OK;
  };
  switch (stage_) {
    case Stage::kInContent:
      if (event.depth > contentDepth_) return S_OK;
      stage_ = Stage::kAfterContent;
      return S_OK;
    case Stage::kContent: {  // no encryptedContent: nothing to decrypt
      HRESULT hr = expect(3, Stage::kAttributes);
      return SUCCEEDED(hr) ? HeaderComplete() : hr;
    }
    case Stage::kAfterContent:
      return expect(3, Stage::kAttributes);
    case Stage::kAttributes:
    case Stage::kEnvelopedEnd:
      return expect(2, Stage::kExplicitEnd);
    case Stage::kExplicitEnd:
      return expect(1, Stage::kContentInfoEnd);
    case Stage::kContentInfoEnd:
      return expect(0, Stage::kDone);
    default:
      return CRYPT_E_ASN1_CORRUPT;  // a required field is missing
  }
}

HRESULT EnvelopeDecoder::OnTaken() {
  switch (stage_) {
    case Stage::kContentType: {
      std::string oid;
      HRESULT hr = ReadOidElement(Slice(typeRange_), &oid);
      if (FAILED(hr)) return hr;
      if (oid != szOID_RSA_envelopedData) return CRYPT_E_INVALID_MSG_TYPE;
      stage_ = Stage::kExplicit;
      return S_OK;
    }
    case Stage::kVersion:
      stage_ = Stage::kRecipients;
      return S_OK;
    case Stage::kRecipients:
      stage_ = Stage::kEncryptedInfo;
      return S_OK;
    case Stage::kInnerType:
      stage_ = Stage::kAlgorithm;
      return S_OK;
    case Stage::kAlgorithm:
      stage_ = Stage::kContent;
      return S_OK;
    default:
      return S_OK;
  }
}

HRESULT EnvelopeDecoder::HeaderComplete() {
  DWORD version = 0;
  std::string innerType;
  HRESULT hr = ReadSmallInteger(Slice(versionRange_), &version);
  if (SUCCEEDED(hr)) hr = ReadRecipientInfos(Slice(recipientsRange_), &recipients_);
  if (SUCCEEDED(hr)) hr = ReadOidElement(Slice(innerTypeRange_), &innerType);
  if (SUCCEEDED(hr))
    hr = ReadAlgorithm(Slice(algorithmRange_), &algorithmOid_, &algorithmParameters_);
  if (FAILED(hr)) return hr;
  header_ = {};
  headerReady_ = true;
  return S_OK;
}

HRESULT EnvelopeDecoder::Decrypt(std::span<const BYTE> ciphertext) {
  if (!decrypting_) {
    held_.insert(held_.end(), ciphertext.begin(), ciphertext.end());
    return S_OK;
  }
  while (!ciphertext.empty()) {
    const std::size_t take = ciphertext.size() < kDecryptChunk ? ciphertext.size() : kDecryptChunk;
    scratch_.clear();
    HRESULT hr = cipher_.Update(ciphertext.first(take), &scratch_);
    if (SUCCEEDED(hr) && !scratch_.empty()) hr = Emit(scratch_, false);
    OPENSSL_cleanse(scratch_.data(), scratch_.size());
    if (FAILED(hr)) return hr;
    ciphertext = ciphertext.subspan(take);
  }
  return S_OK;
}

HRESULT EnvelopeDecoder::Finish() {
  scratch_.clear();
  HRESULT hr = cipher_.Final(&scratch_);
  if (SUCCEEDED(hr)) hr = Emit(scratch_, true);
  OPENSSL_cleanse(scratch_.data(), scratch_.size());
  if (SUCCEEDED(hr)) done_ = true;
  return hr;
}

BOOL EnvelopeDecoder::Update(std::span<const BYTE> data, BOOL final) {
  if (error_ != 0) return FailWith(error_);
  if (finalSeen_) return FailWith(static_cast<DWORD>(CRYPT_E_MSG_ERROR));
  // Ciphertext held until decryption is set comes from this update alone
  // (pieces appended one by one): room for all of it at once keeps the
  // vector from doubling past the update's size.
  if (!decrypting_) held_.reserve(held_.size() + data.size());
  HRESULT hr = Feed(data);
  if (FAILED(hr)) return Broken(hr);
  if (!final) return TRUE;
  finalSeen_ = true;
  if (stage_ != Stage::kDone) return Broken(CRYPT_E_STREAM_INSUFFICIENT_DATA);
  if (decrypting_) {
    hr = Finish();
    if (FAILED(hr)) return Broken(hr);
  }
  return TRUE;
}

HRESULT EnvelopeDecoder::StartDecryption(const CMSG_CTRL_DECRYPT_PARA& para,
                                         const csp::ProviderKeys& keys) {
  if (para.dwRecipientIndex >= recipients_.size()) return CRYPT_E_INVALID_INDEX;
  const EnvelopeRecipient& recipient = recipients_[para.dwRecipientIndex];
  if (!recipient.keyTrans || recipient.keyAlgorithm != szOID_RSA_RSA) return CRYPT_E_UNKNOWN_ALGO;
  const ContentAlgorithm* algorithm = FindContentAlgorithm(algorithmOid_);
  if (algorithm == nullptr) return CRYPT_E_UNKNOWN_ALGO;
  std::vector<BYTE> iv;
  HRESULT hr = ReadContentIv(*algorithm, algorithmParameters_, &iv);
  if (FAILED(hr)) return hr;
  std::shared_ptr<const csp::KeyPair> pair;
  hr = keys.GetKeyPair(para.dwKeySpec, &pair);
  if (FAILED(hr)) return hr;
  SecretBytes key;
  hr = UnwrapSessionKey(pair->key, recipient.encryptedKey, algorithm->keySize, &key);
  if (FAILED(hr)) return hr;
  return cipher_.Init(*algorithm, {key.data(), key.size()}, iv, false);
}

BOOL EnvelopeDecoder::Control(DWORD, DWORD ctrlType, const void* para) {
  if (ctrlType != CMSG_CTRL_DECRYPT) return FailWith(static_cast<DWORD>(CRYPT_E_CONTROL_TYPE));
  const auto* decrypt = static_cast<const CMSG_CTRL_DECRYPT_PARA*>(para);
  if (decrypt == nullptr || decrypt->cbSize < sizeof(CMSG_CTRL_DECRYPT_PARA))
    return FailWith(static_cast<DWORD>(E_INVALIDARG));
  if (error_ != 0) return FailWith(error_);
  if (decrypting_) return FailWith(static_cast<DWORD>(CRYPT_E_ALREADY_DECRYPTED));
  if (!headerReady_) return FailWith(static_cast<DWORD>(CRYPT_E_STREAM_MSG_NOT_READY));
  const std::optional<csp::ProviderKeys> keys = csp::ProviderKeys::Find(decrypt->hCryptProv);
  if (!keys) return FailWith(ERROR_INVALID_HANDLE);
  HRESULT hr = StartDecryption(*decrypt, *keys);
  if (FAILED(hr)) return FailWith(static_cast<DWORD>(hr));
  decrypting_ = true;
  std::vector<BYTE> held;
  held.swap(held_);
  hr = Decrypt(held);
  if (SUCCEEDED(hr) && finalSeen_) hr = Finish();
  return FAILED(hr) ? Broken(hr) : TRUE;
}

BOOL EnvelopeDecoder::GetParam(DWORD paramType, DWORD index, void* data, DWORD* size) {
  switch (paramType) {
    case CMSG_TYPE_PARAM: {
      if (stage_ <= Stage::kContentType)
        return FailWith(static_cast<DWORD>(CRYPT_E_STREAM_MSG_NOT_READY));
      const DWORD type = CMSG_ENVELOPED;
      return CopyOut({reinterpret_cast<const BYTE*>(&type), sizeof type}, data, size);
    }
    case CMSG_ENVELOPE_ALGORITHM_PARAM:
    case CMSG_RECIPIENT_COUNT_PARAM:
    case CMSG_CMS_RECIPIENT_INFO_PARAM:
      break;
    case CMSG_CONTENT_PARAM:
      if (sink_.Streamed()) return FailWith(static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
      if (error_ != 0) return FailWith(error_);
      if (!decrypting_) return FailWith(static_cast<DWORD>(CRYPT_E_NOT_DECRYPTED));
      if (!done_) return FailWith(static_cast<DWORD>(CRYPT_E_STREAM_MSG_NOT_READY));
      return CopyOut(sink_.Memory(), data, size);
    default:
      return FailWith(static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
  }
  if (!headerReady_) return FailWith(static_cast<DWORD>(CRYPT_E_STREAM_MSG_NOT_READY));
  if (paramType == CMSG_ENVELOPE_ALGORITHM_PARAM)
    return CopyAlgorithmOut(algorithmOid_, algorithmParameters_, data, size);
  if (paramType == CMSG_RECIPIENT_COUNT_PARAM) {
    const DWORD count = static_cast<DWORD>(recipients_.size());
    return CopyOut({reinterpret_cast<const BYTE*>(&count), sizeof count}, data, size);
  }
  if (index >= recipients_.size()) return FailWith(static_cast<DWORD>(CRYPT_E_INVALID_INDEX));
  return CopyRecipientOut(recipients_[index], data, size);
}

}  // namespace

std::unique_ptr<Message> OpenEnvelopeDecoder(const CMSG_STREAM_INFO* stream) {
  if (stream != nullptr && stream->pfnStreamOutput == nullptr) {
    SetLastError(static_cast<DWORD>(E_INVALIDARG));
    return nullptr;
  }
  return std::make_unique<EnvelopeDecoder>(stream);
}

}  // namespace platform::msg::detail
