#include <openssl/core_names.h>

#include <string>
#include <utility>

#include "pki/Ossl.h"
#include "pki/TestPki.h"

namespace testpki {
namespace {

// "C=CN,O=Sigil Test,CN=..." in the order given; "\," keeps a comma in a value.
X509NamePtr ParseName(const std::string& text) {
  X509NamePtr name(X509_NAME_new());
  if (!name) return nullptr;
  std::string part;
  auto flush = [&]() {
    const auto eq = part.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    const std::string field = part.substr(0, eq);
    const std::string value = part.substr(eq + 1);
    bool ok = X509_NAME_add_entry_by_txt(name.get(), field.c_str(), MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char*>(value.c_str()), -1,
                                         -1, 0) == 1;
    part.clear();
    return ok;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      part += text[++i];
    } else if (text[i] == ',') {
      if (!flush()) return nullptr;
    } else {
      part += text[i];
    }
  }
  if (!flush()) return nullptr;
  return name;
}

std::string KeyUsageText(unsigned bits) {
  static const std::pair<unsigned, const char*> kNames[] = {
      {kKuDigitalSignature, "digitalSignature"},
      {kKuNonRepudiation, "nonRepudiation"},
      {kKuKeyEncipherment, "keyEncipherment"},
      {kKuDataEncipherment, "dataEncipherment"},
      {kKuKeyAgreement, "keyAgreement"},
      {kKuKeyCertSign, "keyCertSign"},
      {kKuCrlSign, "cRLSign"},
      {0x01, "encipherOnly"},
      {0x8000, "decipherOnly"}};
  std::string text = "critical";
  for (const auto& [bit, label] : kNames)
    if (bits & bit) text += std::string(",") + label;
  return text;
}

bool AddExtension(X509* cert, X509V3_CTX* ctx, int nid, const std::string& value) {
  X509ExtPtr ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str()));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

bool IsSm2Key(EVP_PKEY* key) {
  if (EVP_PKEY_is_a(key, "SM2")) return true;
  char group[64] = {};
  std::size_t len = 0;
  return EVP_PKEY_is_a(key, "EC") &&
         EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                        &len) == 1 &&
         std::string(group) == "SM2";
}

bool Sign(X509* cert, EVP_PKEY* signer) {
  MdCtxPtr md(EVP_MD_CTX_new());
  if (!md) return false;
  EVP_PKEY_CTX* pctx = nullptr;  // owned by md
  const bool sm2 = IsSm2Key(signer);
  if (EVP_DigestSignInit_ex(md.get(), &pctx, sm2 ? "SM3" : "SHA256", nullptr, nullptr, signer,
                            nullptr) != 1)
    return false;
  if (sm2 && EVP_PKEY_CTX_set1_id(pctx, kSm2Id.data(), kSm2Id.size()) != 1) return false;
  return X509_sign_ctx(cert, md.get()) > 0;
}

std::optional<Identity> Issue(PkeyPtr key, const CertProfile& profile, const Identity* issuer) {
  if (issuer != nullptr && (issuer->key() == nullptr || issuer->cert() == nullptr))
    return std::nullopt;
  X509Ptr cert(X509_new());
  X509NamePtr subject = ParseName(profile.subject);
  BIGNUM* rawSerial = nullptr;
  const int digits =
      profile.serialHex.empty() ? 0 : BN_hex2bn(&rawSerial, profile.serialHex.c_str());
  BnPtr serialBn(rawSerial);
  if (!cert || !subject || digits <= 0 || digits != static_cast<int>(profile.serialHex.size()))
    return std::nullopt;
  AsnIntPtr serial(BN_to_ASN1_INTEGER(serialBn.get(), nullptr));
  X509* signerCert = issuer != nullptr ? issuer->cert() : cert.get();
  EVP_PKEY* signerKey = issuer != nullptr ? issuer->key() : key.get();
  if (!serial || X509_set_version(cert.get(), X509_VERSION_3) != 1 ||
      X509_set_serialNumber(cert.get(), serial.get()) != 1 ||
      X509_set_subject_name(cert.get(), subject.get()) != 1 ||
      X509_set_issuer_name(cert.get(), issuer != nullptr ? X509_get_subject_name(issuer->cert())
                                                         : subject.get()) != 1 ||
      !X509_gmtime_adj(X509_getm_notBefore(cert.get()), profile.notBeforeDays * 86400L) ||
      !X509_gmtime_adj(X509_getm_notAfter(cert.get()), profile.notAfterDays * 86400L) ||
      X509_set_pubkey(cert.get(), key.get()) != 1)
    return std::nullopt;

  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, signerCert, cert.get(), nullptr, nullptr, 0);
  if (!AddExtension(cert.get(), &ctx, NID_basic_constraints,
                    profile.isCa ? "critical,CA:TRUE" : "CA:FALSE"))
    return std::nullopt;
  if (profile.keyUsage &&
      !AddExtension(cert.get(), &ctx, NID_key_usage, KeyUsageText(*profile.keyUsage)))
    return std::nullopt;
  if (profile.subjectKeyId && !AddExtension(cert.get(), &ctx, NID_subject_key_identifier, "hash"))
    return std::nullopt;
  // Only when the issuer has a key identifier to point at.
  if (issuer != nullptr && X509_get0_subject_key_id(issuer->cert()) != nullptr &&
      !AddExtension(cert.get(), &ctx, NID_authority_key_identifier, "keyid"))
    return std::nullopt;

  if (!Sign(cert.get(), signerKey)) return std::nullopt;
  return Identity(key.release(), cert.release());
}

std::uint8_t FirstByte(const Identity& probe, LeadingZero which) {
  switch (which) {
    case LeadingZero::PublicX:
      return probe.PublicX().at(0);
    case LeadingZero::PublicY:
      return probe.PublicY().at(0);
    case LeadingZero::PrivateKey:
      return probe.PrivateKeyBytes().at(0);
    case LeadingZero::None:
      break;
  }
  return 0;
}

PkeyPtr MakeSm2Key(LeadingZero which) {
  // 1/256 per try; 20000 tries fail with odds far below anything measurable.
  for (int tries = 0; tries < 20000; ++tries) {
    PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    if (!key) return nullptr;
    if (which == LeadingZero::None) return key;
    Identity probe(key.release(), nullptr);
    if (probe.PublicX().size() != 32 || probe.PrivateKeyBytes().size() != 32) return nullptr;
    if (FirstByte(probe, which) == 0) {
      EVP_PKEY* k = probe.key();
      EVP_PKEY_up_ref(k);
      return PkeyPtr(k);
    }
  }
  return nullptr;
}

}  // namespace

std::optional<Identity> MakeSm2Identity(const CertProfile& profile, const Identity* issuer) {
  PkeyPtr key = MakeSm2Key(profile.leadingZero);
  if (!key) return std::nullopt;
  return Issue(std::move(key), profile, issuer);
}

std::optional<Identity> MakeRsaIdentity(const CertProfile& profile, const Identity* issuer,
                                        int bits) {
  if (bits < 1024) return std::nullopt;
  PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(bits)));
  if (!key) return std::nullopt;
  return Issue(std::move(key), profile, issuer);
}

bool IsSignedBy(X509* cert, EVP_PKEY* issuerKey) {
  if (cert == nullptr || issuerKey == nullptr) return false;
  // The ID is set on a copy so the caller's certificate stays as it was.
  X509Ptr copy(X509_dup(cert));
  if (!copy) return false;
  if (IsSm2Key(issuerKey)) {
    AsnOctPtr id(ASN1_OCTET_STRING_new());
    if (!id ||
        ASN1_OCTET_STRING_set(id.get(), reinterpret_cast<const unsigned char*>(kSm2Id.data()),
                              static_cast<int>(kSm2Id.size())) != 1)
      return false;
    X509_set0_distinguishing_id(copy.get(), id.release());
  }
  return X509_verify(copy.get(), issuerKey) == 1;
}

}  // namespace testpki
