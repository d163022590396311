// The serialized form of a certificate with its properties (the registry
// "Blob"): records of property id, the constant 1, value length (each 32
// bits, little-endian) and the value. Properties come first in ascending id
// order, the DER certificate (id 32) last; reading takes them in any order.
//
// CERT_KEY_PROV_INFO_PROP_ID is kept self-relative with 32-bit fields, the
// shape a 32-bit Windows process gives it, so the bytes do not depend on
// this process's pointer size:
//   +0  container name offset   +4  provider name offset   +8  provider type
//   +12 flags                   +16 parameter count        +20 parameters offset
//   +24 key type (dwKeySpec)
//   parameters: 16 bytes each (param id, data offset, data length, flags)
//   then the parameter data and the two names (UTF-16LE with terminator).
// Offsets count from the start of the value; 0 stands for a null pointer.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/store/CertStore.h"
#include "platform/store/CertStoreInternal.h"
#include "platform/base/CryptErrors.h"
#include "platform/base/LastError.h"
#include "platform/base/WideString.h"

namespace certstore {
namespace {

// Properties that hold handles of this process, meaningless anywhere else.
constexpr DWORD kKeyProvHandlePropId = 1;
constexpr DWORD kKeyContextPropId = 5;
constexpr std::size_t kRecordHeader = 12;
constexpr std::size_t kProvInfoHeader = 28;
constexpr std::size_t kProvParamSize = 16;

void Put32(std::vector<BYTE>& out, std::size_t at, DWORD value) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<BYTE>(value >> (8 * i));
}

void Append32(std::vector<BYTE>& out, DWORD value) {
  out.resize(out.size() + 4);
  Put32(out, out.size() - 4, value);
}

DWORD Get32(const BYTE* at) {
  return static_cast<DWORD>(at[0]) | static_cast<DWORD>(at[1]) << 8 |
         static_cast<DWORD>(at[2]) << 16 | static_cast<DWORD>(at[3]) << 24;
}

void AppendRecord(std::vector<BYTE>& out, DWORD id, const BYTE* value, std::size_t size) {
  Append32(out, id);
  Append32(out, 1);
  Append32(out, static_cast<DWORD>(size));
  out.insert(out.end(), value, value + size);
}

DWORD AppendText(std::vector<BYTE>& out, LPCWSTR text) {
  if (!text) return 0;
  DWORD at = static_cast<DWORD>(out.size());
  for (const WCHAR* c = text;; ++c) {
    out.push_back(static_cast<BYTE>(*c));
    out.push_back(static_cast<BYTE>(*c >> 8));
    if (!*c) break;
  }
  return at;
}

std::vector<BYTE> EncodeKeyProvInfo(const CRYPT_KEY_PROV_INFO& info) {
  std::vector<BYTE> out(kProvInfoHeader + kProvParamSize * info.cProvParam, 0);
  Put32(out, 8, info.dwProvType);
  Put32(out, 12, info.dwFlags);
  Put32(out, 16, info.cProvParam);
  Put32(out, 20, info.cProvParam ? static_cast<DWORD>(kProvInfoHeader) : 0);
  Put32(out, 24, info.dwKeySpec);
  for (DWORD i = 0; i < info.cProvParam; ++i) {
    const CRYPT_KEY_PROV_PARAM& param = info.rgProvParam[i];
    std::size_t at = kProvInfoHeader + i * kProvParamSize;
    DWORD dataAt = param.cbData ? static_cast<DWORD>(out.size()) : 0;
    if (param.cbData) out.insert(out.end(), param.pbData, param.pbData + param.cbData);
    Put32(out, at, param.dwParam);
    Put32(out, at + 4, dataAt);
    Put32(out, at + 8, param.cbData);
    Put32(out, at + 12, param.dwFlags);
  }
  Put32(out, 0, AppendText(out, info.pwszContainerName));
  Put32(out, 4, AppendText(out, info.pwszProvName));
  return out;
}

// A name at `offset`, or nullopt when the offset or the terminator is out of
// bounds. Offset 0 is a null name (an empty optional string inside).
std::optional<std::optional<std::u16string>> DecodeText(const BYTE* value, std::size_t size,
                                                        DWORD offset) {
  if (offset == 0) return std::optional<std::u16string>();
  if (offset < kProvInfoHeader || offset >= size) return std::nullopt;
  std::u16string text;
  for (std::size_t at = offset; at + 1 < size; at += 2) {
    char16_t c = static_cast<char16_t>(value[at] | value[at + 1] << 8);
    if (!c) return std::optional<std::u16string>(std::move(text));
    text.push_back(c);
  }
  return std::nullopt;
}

// Sets the property from its serialized form; false for malformed bytes.
bool SetKeyProvInfo(PCCERT_CONTEXT context, const BYTE* value, std::size_t size) {
  if (size < kProvInfoHeader) return false;
  auto container = DecodeText(value, size, Get32(value));
  auto provider = DecodeText(value, size, Get32(value + 4));
  if (!container || !provider) return false;
  CRYPT_KEY_PROV_INFO info{};
  info.dwProvType = Get32(value + 8);
  info.dwFlags = Get32(value + 12);
  info.cProvParam = Get32(value + 16);
  DWORD paramsAt = Get32(value + 20);
  info.dwKeySpec = Get32(value + 24);
  std::vector<CRYPT_KEY_PROV_PARAM> params;
  if (info.cProvParam) {
    if (info.cProvParam > size / kProvParamSize || paramsAt < kProvInfoHeader || paramsAt > size ||
        size - paramsAt < info.cProvParam * kProvParamSize)
      return false;
    for (DWORD i = 0; i < info.cProvParam; ++i) {
      const BYTE* at = value + paramsAt + i * kProvParamSize;
      CRYPT_KEY_PROV_PARAM param{Get32(at), nullptr, Get32(at + 8), Get32(at + 12)};
      DWORD dataAt = Get32(at + 4);
      if (param.cbData) {
        if (dataAt == 0 || dataAt > size || size - dataAt < param.cbData) return false;
        param.pbData = const_cast<BYTE*>(value + dataAt);
      }
      params.push_back(param);
    }
    info.rgProvParam = params.data();
  }
  if (*container) info.pwszContainerName = (*container)->data();
  if (*provider) info.pwszProvName = (*provider)->data();
  return CertSetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
}

struct Record {
  DWORD id;
  const BYTE* value;
  std::size_t size;
};

}  // namespace

bool SerializeElement(PCCERT_CONTEXT context, std::vector<BYTE>& out) {
  out.clear();
  for (DWORD id = CertEnumCertificateContextProperties(context, 0); id;
       id = CertEnumCertificateContextProperties(context, id)) {
    if (id == CERT_CERT_PROP_ID || id == kKeyProvHandlePropId || id == kKeyContextPropId) continue;
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(context, id, nullptr, &size)) continue;
    // Eight-byte aligned: the key-provider property comes back as a structure.
    std::vector<std::uint64_t> buffer(size / 8 + 1);
    if (!CertGetCertificateContextProperty(context, id, buffer.data(), &size)) continue;
    const auto* bytes = reinterpret_cast<const BYTE*>(buffer.data());
    if (id == CERT_KEY_PROV_INFO_PROP_ID) {
      std::vector<BYTE> value =
          EncodeKeyProvInfo(*reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data()));
      AppendRecord(out, id, value.data(), value.size());
    } else {
      AppendRecord(out, id, bytes, size);
    }
  }
  AppendRecord(out, CERT_CERT_PROP_ID, context->pbCertEncoded, context->cbCertEncoded);
  return true;
}

PCCERT_CONTEXT DeserializeElement(const BYTE* data, std::size_t size) {
  auto badEncoding = [] {
    SetLastHr(CRYPT_E_BAD_ENCODE);
    return nullptr;
  };
  if (!data) return badEncoding();
  std::vector<Record> properties;
  std::optional<Record> certificate;
  for (std::size_t at = 0; at < size;) {
    if (size - at < kRecordHeader) return badEncoding();
    Record record{Get32(data + at), data + at + kRecordHeader, Get32(data + at + 8)};
    at += kRecordHeader;
    if (record.size > size - at || record.id == 0) return badEncoding();
    at += record.size;
    if (record.id == CERT_CERT_PROP_ID) {
      if (certificate) return badEncoding();
      certificate = record;
    } else if (record.id != kKeyProvHandlePropId && record.id != kKeyContextPropId) {
      properties.push_back(record);
    }
  }
  if (!certificate || certificate->size == 0) return badEncoding();
  PCCERT_CONTEXT context = CertCreateCertificateContext(X509_ASN_ENCODING, certificate->value,
                                                        static_cast<DWORD>(certificate->size));
  if (!context) return nullptr;
  for (const Record& p : properties) {
    bool ok;
    if (p.id == CERT_KEY_PROV_INFO_PROP_ID) {
      ok = SetKeyProvInfo(context, p.value, p.size);
    } else {
      CRYPT_DATA_BLOB blob{static_cast<DWORD>(p.size), const_cast<BYTE*>(p.value)};
      ok = CertSetCertificateContextProperty(context, p.id, 0, &blob);
    }
    if (!ok) {
      CertFreeCertificateContext(context);
      return badEncoding();
    }
  }
  return context;
}

}  // namespace certstore

BOOL CertSerializeCertificateStoreElement(PCCERT_CONTEXT pCertContext, DWORD /*dwFlags*/,
                                          BYTE* pbElement, DWORD* pcbElement) {
  if (!pCertContext || !pcbElement) {
    certstore::SetLastHr(E_INVALIDARG);
    return FALSE;
  }
  std::vector<BYTE> element;
  if (!certstore::SerializeElement(pCertContext, element)) return FALSE;
  DWORD size = static_cast<DWORD>(element.size());
  if (pbElement && *pcbElement < size) {
    *pcbElement = size;
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  if (pbElement) std::memcpy(pbElement, element.data(), size);
  *pcbElement = size;
  return TRUE;
}

PCCERT_CONTEXT CertDeserializeCertificateStoreElement(const BYTE* pbElement, DWORD cbElement) {
  return certstore::DeserializeElement(pbElement, cbElement);
}
