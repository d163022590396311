#include "platform/msg/CryptMsgEnvelopeHeader.h"

#include <cstring>

#include "platform/base/BerReader.h"
#include "platform/msg/CryptMsgEnvelopeInternal.h"

namespace platform::msg::detail {
namespace {

using ber::BerElement;
using ber::BerReader;

HRESULT ReadKeyTrans(const BerElement& sequence, EnvelopeRecipient* out) {
  BerReader fields(sequence.contents);
  BerElement element;
  HRESULT hr = fields.Expect(0x02, &element);
  if (SUCCEEDED(hr)) hr = ReadSmallInteger(element.whole, &out->version);
  if (SUCCEEDED(hr)) hr = fields.Read(&element);
  if (FAILED(hr)) return hr;
  if (element.tag == 0x30) {
    out->idChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
    BerReader issuerSerial(element.contents);
    BerElement issuer, serial;
    hr = issuerSerial.Expect(0x30, &issuer);
    if (SUCCEEDED(hr)) hr = issuerSerial.Expect(0x02, &serial);
    if (FAILED(hr)) return hr;
    if (!issuerSerial.AtEnd() || serial.contents.empty()) return CRYPT_E_ASN1_CORRUPT;
    out->issuer.assign(issuer.whole.begin(), issuer.whole.end());
    out->serialLe.assign(serial.contents.rbegin(), serial.contents.rend());
  } else if (element.tag == 0x80 || element.tag == 0xA0) {
    out->idChoice = CERT_ID_KEY_IDENTIFIER;
    hr = ber::OctetStringValue(element, &out->keyId);
    if (FAILED(hr)) return hr;
  } else {
    return CRYPT_E_ASN1_BADTAG;
  }
  hr = fields.Expect(0x30, &element);
  if (SUCCEEDED(hr))
    hr = ReadAlgorithm(element.whole, &out->keyAlgorithm, &out->keyAlgorithmParameters);
  if (SUCCEEDED(hr)) hr = fields.Read(&element);
  if (FAILED(hr)) return hr;
  if ((element.tag & 0xDF) != 0x04) return CRYPT_E_ASN1_BADTAG;
  hr = ber::OctetStringValue(element, &out->encryptedKey);
  if (FAILED(hr)) return hr;
  if (!fields.AtEnd()) return CRYPT_E_ASN1_CORRUPT;
  out->keyTrans = true;
  return S_OK;
}

// Places pieces one after another in a caller's buffer; with no buffer it
// only counts.
class Layout {
 public:
  explicit Layout(BYTE* base) : base_(base) {}
  template <class T>
  T* Struct() {
    used_ = (used_ + alignof(T) - 1) & ~(alignof(T) - 1);
    T* at = base_ != nullptr ? reinterpret_cast<T*>(base_ + used_) : nullptr;
    if (at != nullptr) std::memset(static_cast<void*>(at), 0, sizeof(T));
    used_ += sizeof(T);
    return at;
  }
  BYTE* Bytes(std::span<const BYTE> bytes) {
    BYTE* at = base_ != nullptr ? base_ + used_ : nullptr;
    if (at != nullptr && !bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
    used_ += bytes.size();
    return bytes.empty() ? nullptr : at;
  }
  char* Text(const std::string& text) {
    return reinterpret_cast<char*>(
        Bytes({reinterpret_cast<const BYTE*>(text.c_str()), text.size() + 1}));
  }
  std::size_t Used() const { return used_; }

 private:
  BYTE* base_;
  std::size_t used_ = 0;
};

template <class Fill>
BOOL CopySelfContained(Fill fill, void* data, DWORD* size) {
  if (size == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  Layout measure(nullptr);
  fill(measure);
  const DWORD needed = static_cast<DWORD>(measure.Used());
  const DWORD available = *size;
  *size = needed;
  if (data == nullptr) return TRUE;
  if (available < needed) return FailWith(ERROR_MORE_DATA);
  Layout place(static_cast<BYTE*>(data));
  fill(place);
  return TRUE;
}

void SetBlob(CRYPT_INTEGER_BLOB* blob, Layout& layout, std::span<const BYTE> bytes) {
  BYTE* at = layout.Bytes(bytes);
  if (blob != nullptr) {
    blob->cbData = static_cast<DWORD>(bytes.size());
    blob->pbData = at;
  }
}

void FillAlgorithm(CRYPT_ALGORITHM_IDENTIFIER* out, Layout& layout, const std::string& oid,
                   std::span<const BYTE> parameters) {
  char* text = layout.Text(oid);
  if (out != nullptr) out->pszObjId = text;
  SetBlob(out != nullptr ? &out->Parameters : nullptr, layout, parameters);
}

}  // namespace

HRESULT ReadOidElement(std::span<const BYTE> der, std::string* oid) {
  BerReader reader(der);
  BerElement element;
  HRESULT hr = reader.Expect(0x06, &element);
  if (FAILED(hr)) return hr;
  if (!reader.AtEnd()) return CRYPT_E_ASN1_CORRUPT;
  return ber::DecodeOid(element.contents, oid);
}

HRESULT ReadSmallInteger(std::span<const BYTE> der, DWORD* value) {
  BerReader reader(der);
  BerElement element;
  HRESULT hr = reader.Expect(0x02, &element);
  if (FAILED(hr)) return hr;
  if (!reader.AtEnd() || element.contents.empty() || element.contents.size() > 4 ||
      (element.contents[0] & 0x80) != 0)
    return CRYPT_E_ASN1_CORRUPT;
  *value = 0;
  for (BYTE octet : element.contents) *value = (*value << 8) | octet;
  return S_OK;
}

HRESULT ReadAlgorithm(std::span<const BYTE> der, std::string* oid, std::vector<BYTE>* parameters) {
  BerReader outer(der);
  BerElement sequence;
  HRESULT hr = outer.Expect(0x30, &sequence);
  if (FAILED(hr)) return hr;
  if (!outer.AtEnd()) return CRYPT_E_ASN1_CORRUPT;
  BerReader fields(sequence.contents);
  BerElement element;
  hr = fields.Expect(0x06, &element);
  if (SUCCEEDED(hr)) hr = ber::DecodeOid(element.contents, oid);
  if (FAILED(hr)) return hr;
  parameters->clear();
  if (fields.AtEnd()) return S_OK;
  hr = fields.Read(&element);
  if (FAILED(hr)) return hr;
  if (!fields.AtEnd()) return CRYPT_E_ASN1_CORRUPT;
  parameters->assign(element.whole.begin(), element.whole.end());
  return S_OK;
}

HRESULT ReadRecipientInfos(std::span<const BYTE> der, std::vector<EnvelopeRecipient>* out) {
  BerReader outer(der);
  BerElement set;
  HRESULT hr = outer.Expect(0x31, &set);
  if (FAILED(hr)) return hr;
  if (!outer.AtEnd()) return CRYPT_E_ASN1_CORRUPT;
  out->clear();
  BerReader entries(set.contents);
  while (!entries.AtEnd()) {
    if (out->size() >= kMaxRecipients) return CRYPT_E_ASN1_LARGE;
    BerElement entry;
    hr = entries.Read(&entry);
    if (FAILED(hr)) return hr;
    EnvelopeRecipient recipient;
    if (entry.tag == 0x30) {
      hr = ReadKeyTrans(entry, &recipient);
      if (FAILED(hr)) return hr;
    } else if (entry.tag < 0xA1 || entry.tag > 0xA4) {
      return CRYPT_E_ASN1_BADTAG;  // not one of the other RecipientInfo kinds
    }
    out->push_back(std::move(recipient));
  }
  return out->empty() ? CRYPT_E_ASN1_CORRUPT : S_OK;
}

HRESULT ReadContentIv(const ContentAlgorithm& algorithm, std::span<const BYTE> parameters,
                      std::vector<BYTE>* iv) {
  iv->clear();
  if (algorithm.ivSize == 0) {
    // We and OpenSSL write an empty OCTET STRING; earlier versions of ours
    // wrote NULL, and a sender may leave the parameters out. A salt (an
    // OCTET STRING with contents, for keys shorter than 128 bits) is not
    // offered.
    const bool none = parameters.empty() ||
                      (parameters.size() == 2 && (parameters[0] == 0x05 || parameters[0] == 0x04) &&
                       parameters[1] == 0x00);
    return none ? S_OK : CRYPT_E_BAD_ENCODE;
  }
  BerReader reader(parameters);
  BerElement element;
  HRESULT hr = reader.Read(&element);
  if (FAILED(hr)) return CRYPT_E_BAD_ENCODE;
  if ((element.tag & 0xDF) != 0x04 || !reader.AtEnd()) return CRYPT_E_BAD_ENCODE;
  hr = ber::OctetStringValue(element, iv);
  if (FAILED(hr) || iv->size() != algorithm.ivSize) return CRYPT_E_BAD_ENCODE;
  return S_OK;
}

BOOL CopyAlgorithmOut(const std::string& oid, std::span<const BYTE> parameters, void* data,
                      DWORD* size) {
  return CopySelfContained(
      [&](Layout& layout) {
        auto* algorithm = layout.Struct<CRYPT_ALGORITHM_IDENTIFIER>();
        FillAlgorithm(algorithm, layout, oid, parameters);
      },
      data, size);
}

BOOL CopyRecipientOut(const EnvelopeRecipient& recipient, void* data, DWORD* size) {
  if (!recipient.keyTrans) return FailWith(static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO));
  return CopySelfContained(
      [&](Layout& layout) {
        auto* info = layout.Struct<CMSG_CMS_RECIPIENT_INFO>();
        auto* keyTrans = layout.Struct<CMSG_KEY_TRANS_RECIPIENT_INFO>();
        if (info != nullptr) {
          info->dwRecipientChoice = CMSG_KEY_TRANS_RECIPIENT;
          info->pKeyTrans = keyTrans;
        }
        CERT_ID* id = keyTrans != nullptr ? &keyTrans->RecipientId : nullptr;
        if (keyTrans != nullptr) {
          keyTrans->dwVersion = recipient.version;
          id->dwIdChoice = recipient.idChoice;
        }
        if (recipient.idChoice == CERT_ID_KEY_IDENTIFIER) {
          SetBlob(id != nullptr ? &id->KeyId : nullptr, layout, recipient.keyId);
        } else {
          SetBlob(id != nullptr ? &id->IssuerSerialNumber.Issuer : nullptr, layout,
                  recipient.issuer);
          SetBlob(id != nullptr ? &id->IssuerSerialNumber.SerialNumber : nullptr, layout,
                  recipient.serialLe);
        }
        FillAlgorithm(keyTrans != nullptr ? &keyTrans->KeyEncryptionAlgorithm : nullptr, layout,
                      recipient.keyAlgorithm, recipient.keyAlgorithmParameters);
        SetBlob(keyTrans != nullptr ? &keyTrans->EncryptedKey : nullptr, layout,
                recipient.encryptedKey);
      },
      data, size);
}

}  // namespace platform::msg::detail
