#include "platform/cert/CertInfoBuilder.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>

#include "der/Reader.h"

namespace {

// A certificate is DER throughout (its signature covers the encoding), and
// so is what OpenSSL writes.
bool SerialBytes(const BYTE* der, std::size_t size, std::vector<BYTE>& out) {
  der::Reader outer({der, size});
  der::Element cert, tbs, version, serial;
  if (!der::Ok(outer.Expect(der::Tag(0x30), &cert))) return false;
  der::Reader fields = outer.Inside(cert);
  if (!der::Ok(fields.Expect(der::Tag(0x30), &tbs))) return false;
  der::Reader tbsFields = fields.Inside(tbs);
  bool hasVersion = false;
  if (!der::Ok(tbsFields.Optional(der::Tag(0xA0), &version, &hasVersion))) return false;
  if (!der::Ok(tbsFields.Expect(der::Tag(0x02), &serial))) return false;
  // CryptoAPI keeps the serial number's encoded bytes, least significant
  // first, including a leading zero or sign byte.
  out.assign(serial.contents.rbegin(), serial.contents.rend());
  return true;
}

std::string OidText(const ASN1_OBJECT* obj) {
  int length = OBJ_obj2txt(nullptr, 0, obj, 1);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  OBJ_obj2txt(text.data(), length + 1, obj, 1);
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// The DER of an AlgorithmIdentifier minus its OID is the parameters' DER.
bool FillAlgorithm(const X509_ALGOR* alg, CertInfoStorage& store, CRYPT_ALGORITHM_IDENTIFIER& out) {
  const ASN1_OBJECT* obj = nullptr;
  X509_ALGOR_get0(&obj, nullptr, nullptr, alg);
  std::string oid = obj ? OidText(obj) : std::string();
  if (oid.empty()) return false;
  unsigned char* der = nullptr;
  int size = i2d_X509_ALGOR(alg, &der);
  if (size <= 0) return false;
  std::unique_ptr<unsigned char, void (*)(unsigned char*)> owned(
      der, [](unsigned char* p) { OPENSSL_free(p); });
  der::Element sequence, oidElement;
  der::Reader outer({der, static_cast<std::size_t>(size)});
  if (!der::Ok(outer.Read(&sequence))) return false;
  der::Reader fields = outer.Inside(sequence);
  if (!der::Ok(fields.Read(&oidElement))) return false;
  const der::Bytes parameters = fields.Rest();
  out.pszObjId = store.KeepText(oid);
  out.Parameters.cbData = static_cast<DWORD>(parameters.size());
  out.Parameters.pbData = store.Keep(parameters.data(), parameters.size());
  return true;
}

void FillBits(const ASN1_BIT_STRING* bits, CertInfoStorage& store, CRYPT_BIT_BLOB& out) {
  out = {};
  if (!bits) return;
  out.cbData = static_cast<DWORD>(ASN1_STRING_length(bits));
  out.pbData = store.Keep(ASN1_STRING_get0_data(bits), out.cbData);
  if (bits->flags & ASN1_STRING_FLAG_BITS_LEFT) out.cUnusedBits = bits->flags & 0x07;
}

bool FillName(const X509_NAME* name, CertInfoStorage& store, CERT_NAME_BLOB& out) {
  const unsigned char* der = nullptr;
  std::size_t size = 0;
  if (!name || X509_NAME_get0_der(name, &der, &size) != 1) return false;
  out.cbData = static_cast<DWORD>(size);
  out.pbData = store.Keep(der, size);
  return true;
}

std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool FillTime(const ASN1_TIME* time, FILETIME& out) {
  std::tm tm{};
  if (!time || ASN1_TIME_to_tm(time, &tm) != 1) return false;
  std::int64_t days = DaysFromCivil(tm.tm_year + 1900LL, static_cast<unsigned>(tm.tm_mon + 1),
                                    static_cast<unsigned>(tm.tm_mday));
  std::int64_t seconds = days * 86400 + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
  constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600LL;
  std::int64_t ticks = std::max<std::int64_t>(0, (seconds + kSecondsFrom1601To1970) * 10000000);
  out.dwLowDateTime = static_cast<DWORD>(ticks);
  out.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) >> 32);
  return true;
}

bool FillPublicKey(X509* cert, CertInfoStorage& store, CERT_PUBLIC_KEY_INFO& out) {
  X509_ALGOR* alg = nullptr;
  X509_PUBKEY* key = X509_get_X509_PUBKEY(cert);
  if (!key || X509_PUBKEY_get0_param(nullptr, nullptr, nullptr, &alg, key) != 1 || !alg)
    return false;
  if (!FillAlgorithm(alg, store, out.Algorithm)) return false;
  FillBits(X509_get0_pubkey_bitstr(cert), store, out.PublicKey);
  return out.PublicKey.pbData != nullptr;
}

bool FillExtensions(X509* cert, CertInfoStorage& store) {
  CERT_INFO& info = store.info;
  int count = X509_get_ext_count(cert);
  if (count <= 0) return true;
  std::vector<CERT_EXTENSION>& extensions = store.extensions;
  extensions.assign(static_cast<std::size_t>(count), CERT_EXTENSION{});
  for (int i = 0; i < count; ++i) {
    X509_EXTENSION* ext = X509_get_ext(cert, i);
    const ASN1_OCTET_STRING* value = ext ? X509_EXTENSION_get_data(ext) : nullptr;
    std::string oid = ext ? OidText(X509_EXTENSION_get_object(ext)) : std::string();
    if (!value || oid.empty()) return false;
    CERT_EXTENSION& out = extensions[i];
    out.pszObjId = store.KeepText(oid);
    out.fCritical = X509_EXTENSION_get_critical(ext) ? TRUE : FALSE;
    out.Value.cbData = static_cast<DWORD>(ASN1_STRING_length(value));
    out.Value.pbData = store.Keep(ASN1_STRING_get0_data(value), out.Value.cbData);
  }
  info.cExtension = static_cast<DWORD>(count);
  info.rgExtension = extensions.data();
  return true;
}

}  // namespace

BYTE* CertInfoStorage::Keep(const void* data, std::size_t size) {
  if (size == 0) return nullptr;
  auto block = std::make_unique<BYTE[]>(size);
  std::memcpy(block.get(), data, size);
  blocks_.push_back(std::move(block));
  return blocks_.back().get();
}

char* CertInfoStorage::KeepText(const std::string& text) {
  return reinterpret_cast<char*>(Keep(text.c_str(), text.size() + 1));
}

bool BuildCertInfo(X509* cert, const BYTE* der, std::size_t size, CertInfoStorage& out) {
  CERT_INFO& info = out.info;
  info = {};
  long version = X509_get_version(cert);
  if (version < 0) return false;
  info.dwVersion = static_cast<DWORD>(version);
  std::vector<BYTE> serial;
  if (!SerialBytes(der, size, serial) || serial.empty()) return false;
  info.SerialNumber.cbData = static_cast<DWORD>(serial.size());
  info.SerialNumber.pbData = out.Keep(serial.data(), serial.size());
  if (!FillAlgorithm(X509_get0_tbs_sigalg(cert), out, info.SignatureAlgorithm)) return false;
  if (!FillName(X509_get_issuer_name(cert), out, info.Issuer)) return false;
  if (!FillName(X509_get_subject_name(cert), out, info.Subject)) return false;
  if (!FillTime(X509_get0_notBefore(cert), info.NotBefore)) return false;
  if (!FillTime(X509_get0_notAfter(cert), info.NotAfter)) return false;
  if (!FillPublicKey(cert, out, info.SubjectPublicKeyInfo)) return false;
  const ASN1_BIT_STRING* issuerUid = nullptr;
  const ASN1_BIT_STRING* subjectUid = nullptr;
  X509_get0_uids(cert, &issuerUid, &subjectUid);
  FillBits(issuerUid, out, info.IssuerUniqueId);
  FillBits(subjectUid, out, info.SubjectUniqueId);
  return FillExtensions(cert, out);
}
