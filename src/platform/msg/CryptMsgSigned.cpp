// A SignedData opened for decoding without a stream record: the bytes are
// gathered until the final update and read whole; the parameters come out
// of the decoded values as CryptoAPI lays them out, every structure
// self-contained in the caller's buffer.
#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/base/CryptErrors.h"
#include "platform/msg/CryptMsgInternal.h"
#include "platform/msg/CryptMsgSignedData.h"
#include "platform/base/LastError.h"

namespace platform::msg::detail {
namespace {

BOOL Fail(HRESULT hr) {
  SetLastError(static_cast<DWORD>(hr));
  return FALSE;
}

// Lays structures and the bytes they point to out in one buffer. A first
// pass with no buffer only counts; the second writes, in the same order, so
// both passes agree on every offset.
class Flat {
 public:
  explicit Flat(BYTE* base) : base_(base) {}

  BYTE* Take(std::size_t size, std::size_t align) {
    offset_ = (offset_ + align - 1) / align * align;
    BYTE* at = base_ != nullptr ? base_ + offset_ : nullptr;
    offset_ += size;
    return at;
  }

  template <class T>
  void Put(BYTE* at, const T& value) {
    if (at != nullptr) std::memcpy(at, &value, sizeof value);
  }

  CRYPT_INTEGER_BLOB Blob(std::span<const BYTE> bytes, bool reversed = false) {
    CRYPT_INTEGER_BLOB blob{static_cast<DWORD>(bytes.size()), nullptr};
    if (bytes.empty()) return blob;
    blob.pbData = Take(bytes.size(), 1);
    if (blob.pbData != nullptr) {
      std::memcpy(blob.pbData, bytes.data(), bytes.size());
      if (reversed) std::reverse(blob.pbData, blob.pbData + bytes.size());
    }
    return blob;
  }

  LPSTR Text(const std::string& text) {
    BYTE* at = Take(text.size() + 1, 1);
    if (at != nullptr) std::memcpy(at, text.c_str(), text.size() + 1);
    return reinterpret_cast<LPSTR>(at);
  }

  CRYPT_ALGORITHM_IDENTIFIER Algorithm(const AlgorithmValue& value) {
    CRYPT_ALGORITHM_IDENTIFIER algorithm{};
    algorithm.pszObjId = Text(value.oid);
    algorithm.Parameters = Blob(value.parameters);
    return algorithm;
  }

  CRYPT_ATTRIBUTES Attributes(const std::vector<AttributeValue>& values) {
    CRYPT_ATTRIBUTES attributes{static_cast<DWORD>(values.size()), nullptr};
    if (values.empty()) return attributes;
    BYTE* array = Take(values.size() * sizeof(CRYPT_ATTRIBUTE), alignof(CRYPT_ATTRIBUTE));
    attributes.rgAttr = reinterpret_cast<PCRYPT_ATTRIBUTE>(array);
    for (std::size_t i = 0; i < values.size(); ++i) {
      CRYPT_ATTRIBUTE attribute{};
      attribute.cValue = static_cast<DWORD>(values[i].values.size());
      BYTE* blobs =
          Take(values[i].values.size() * sizeof(CRYPT_ATTR_BLOB), alignof(CRYPT_ATTR_BLOB));
      attribute.rgValue =
          attribute.cValue != 0 ? reinterpret_cast<PCRYPT_ATTR_BLOB>(blobs) : nullptr;
      for (std::size_t j = 0; j < values[i].values.size(); ++j)
        Put(blobs != nullptr ? blobs + j * sizeof(CRYPT_ATTR_BLOB) : nullptr,
            Blob(values[i].values[j]));
      attribute.pszObjId = Text(values[i].oid);
      Put(array != nullptr ? array + i * sizeof(CRYPT_ATTRIBUTE) : nullptr, attribute);
    }
    return attributes;
  }

  std::size_t Size() const { return offset_; }

 private:
  BYTE* base_;
  std::size_t offset_ = 0;
};

// CopyOut's rules for a laid-out structure.
template <class Write>
BOOL FlatOut(void* data, DWORD* size, Write write) {
  Flat counter(nullptr);
  write(counter);
  if (counter.Size() > std::numeric_limits<DWORD>::max()) return Fail(CRYPT_E_ASN1_LARGE);
  const auto needed = static_cast<DWORD>(counter.Size());
  const DWORD available = *size;
  *size = needed;
  if (data == nullptr) return TRUE;
  if (available < needed) {
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  std::memset(data, 0, needed);
  Flat writer(static_cast<BYTE*>(data));
  write(writer);
  return TRUE;
}

void WriteSignerInfo(Flat& flat, const SignerValue& signer) {
  BYTE* head = flat.Take(sizeof(CMSG_SIGNER_INFO), alignof(CMSG_SIGNER_INFO));
  CMSG_SIGNER_INFO info{};
  info.dwVersion = signer.version;
  info.Issuer = flat.Blob(signer.issuer);
  info.SerialNumber = flat.Blob(signer.serial, /*reversed=*/true);
  info.HashAlgorithm = flat.Algorithm(signer.digest);
  info.HashEncryptionAlgorithm = flat.Algorithm(signer.signature);
  info.EncryptedHash = flat.Blob(signer.encryptedDigest);
  info.AuthAttrs = flat.Attributes(signer.authAttrs);
  info.UnauthAttrs = flat.Attributes(signer.unauthAttrs);
  flat.Put(head, info);
}

void WriteSignerCertInfo(Flat& flat, const SignerValue& signer) {
  BYTE* head = flat.Take(sizeof(CERT_INFO), alignof(CERT_INFO));
  CERT_INFO info{};
  info.Issuer = flat.Blob(signer.issuer);
  info.SerialNumber = flat.Blob(signer.serial, /*reversed=*/true);
  flat.Put(head, info);
}

BOOL DwordOut(DWORD value, void* data, DWORD* size) {
  return CopyOut({reinterpret_cast<const BYTE*>(&value), sizeof value}, data, size);
}

class SignedDecoder final : public Message {
 public:
  SignedDecoder(DWORD flags, DWORD msgType)
      : detached_((flags & CMSG_DETACHED_FLAG) != 0), msgType_(msgType) {}

  BOOL Update(std::span<const BYTE> data, BOOL final) override {
    if (envelope_) return envelope_->Update(data, final);
    switch (state_) {
      case State::Failed:
        return Fail(CRYPT_E_MSG_ERROR);
      case State::Decoded:
        // The detached content may follow the signature; nothing here reads
        // it (the whole-message calls verify), so it is taken and dropped.
        return detached_ ? TRUE : Fail(CRYPT_E_MSG_ERROR);
      case State::Gathering:
        break;
    }
    constexpr auto kLimit = static_cast<std::size_t>(std::numeric_limits<long>::max());
    if (data.size() > kLimit - pending_.size()) {
      state_ = State::Failed;
      return Fail(CRYPT_E_ASN1_LARGE);
    }
    pending_.insert(pending_.end(), data.begin(), data.end());
    if (!final) return TRUE;
    const HRESULT hr = Decode();
    pending_ = ByteVector{};
    if (FAILED(hr)) {
      state_ = State::Failed;
      return Fail(hr);
    }
    state_ = State::Decoded;
    return TRUE;
  }

  BOOL GetParam(DWORD paramType, DWORD index, void* data, DWORD* size) override {
    if (envelope_) return envelope_->GetParam(paramType, index, data, size);
    if (state_ == State::Gathering) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
    if (state_ == State::Failed) return Fail(CRYPT_E_MSG_ERROR);
    switch (paramType) {
      case CMSG_TYPE_PARAM:
        return DwordOut(CMSG_SIGNED, data, size);
      case CMSG_CONTENT_PARAM:
        return CopyOut(value_.content, data, size);
      case CMSG_SIGNER_COUNT_PARAM:
        return DwordOut(static_cast<DWORD>(value_.signers.size()), data, size);
      case CMSG_SIGNER_INFO_PARAM:
        if (index >= value_.signers.size()) return Fail(CRYPT_E_INVALID_INDEX);
        return FlatOut(data, size,
                       [&](Flat& flat) { WriteSignerInfo(flat, value_.signers[index]); });
      case CMSG_SIGNER_CERT_INFO_PARAM:
        if (index >= value_.signers.size()) return Fail(CRYPT_E_INVALID_INDEX);
        return FlatOut(data, size,
                       [&](Flat& flat) { WriteSignerCertInfo(flat, value_.signers[index]); });
      case CMSG_CERT_COUNT_PARAM:
        return DwordOut(static_cast<DWORD>(value_.certificates.size()), data, size);
      case CMSG_CERT_PARAM:
        if (index >= value_.certificates.size()) return Fail(CRYPT_E_INVALID_INDEX);
        return CopyOut(value_.certificates[index], data, size);
      default:
        return Fail(CRYPT_E_INVALID_MSG_TYPE);
    }
  }

  BOOL Control(DWORD flags, DWORD ctrlType, const void* para) override {
    if (envelope_) return envelope_->Control(flags, ctrlType, para);
    return Message::Control(flags, ctrlType, para);
  }

  HRESULT Certificates(std::vector<std::vector<BYTE>>* out) const override {
    if (envelope_) return envelope_->Certificates(out);
    out->clear();
    if (state_ == State::Gathering) return CRYPT_E_STREAM_MSG_NOT_READY;
    if (state_ == State::Failed) return CRYPT_E_MSG_ERROR;
    *out = value_.certificates;
    return S_OK;
  }

 private:
  enum class State { Gathering, Decoded, Failed };

  HRESULT Decode() {
    std::string type;
    HRESULT hr = PeekContentType(pending_, &type);
    if (FAILED(hr)) return hr;
    // Opened for any type: an EnvelopedData goes to its own decoder.
    if (type == kOidEnvelopedData && msgType_ == 0 && !detached_) {
      std::unique_ptr<Message> envelope = OpenEnvelopeDecoder(nullptr);
      if (!envelope) return static_cast<HRESULT>(GetLastError());
      if (!envelope->Update(pending_, TRUE)) return static_cast<HRESULT>(GetLastError());
      envelope_ = std::move(envelope);
      return S_OK;
    }
    hr = DecodeSignedData(pending_, &value_);
    return hr == CRYPT_E_UNEXPECTED_MSG_TYPE ? CRYPT_E_INVALID_MSG_TYPE : hr;
  }

  const bool detached_;
  const DWORD msgType_;
  State state_ = State::Gathering;
  ByteVector pending_;
  SignedDataValue value_;
  std::unique_ptr<Message> envelope_;
};

}  // namespace

std::unique_ptr<Message> OpenSignedDecoder(DWORD flags, DWORD msgType) {
  if (msgType != 0 && msgType != CMSG_SIGNED) {
    SetLastError(static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
    return nullptr;
  }
  return std::make_unique<SignedDecoder>(flags, msgType);
}

}  // namespace platform::msg::detail
