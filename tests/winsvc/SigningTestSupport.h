// Signers with keys in CSP containers, files and a small DER reader for the
// signing tests.
#pragma once

#include <gtest/gtest.h>
#include <openssl/rand.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Unique.h"
#include "pki/TestPki.h"
#include "platform/store/CertStore.h"
#include "platform/csp/CspProvider.h"
#include "platform/base/WideString.h"
#include "smengine/common/Base64.h"
#include "support/TempEnvironment.h"
#include "winsvc/UnregisteredCertContext.h"

namespace signtest {

using Bytes = std::vector<BYTE>;

using UniqueContext = foundation::Unique<const CERT_CONTEXT, CertFreeCertificateContext>;

inline Bytes Pattern(std::size_t size, BYTE seed = 0x11) {
  Bytes data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<BYTE>(seed + i * 7 + (i >> 8));
  return data;
}

inline std::u16string WriteFile(const std::string& name, const Bytes& bytes) {
  return FromUtf8(
      testsupport::WriteTempFile(name, std::string(bytes.begin(), bytes.end())).string());
}

inline Bytes DecodeBase64(const std::string& text) {
  BYTE* pby = nullptr;
  int n = 0;
  if (FAILED(Base64DecodeEx(static_cast<int>(text.size()), text.c_str(), &pby, &n))) return {};
  Bytes out(pby, pby + n);
  delete[] pby;
  return out;
}

// One DER element; `children` parsed when the value holds exactly a
// sequence of elements (bounds-checked, definite lengths only).
struct Tlv {
  BYTE tag = 0;
  Bytes value, whole;
  std::vector<Tlv> children;
};

inline std::optional<Tlv> ReadTlv(const Bytes& der, std::size_t& pos, int depth = 0) {
  if (pos + 2 > der.size() || depth > 16) return std::nullopt;
  const std::size_t start = pos;
  Tlv tlv;
  tlv.tag = der[pos++];
  std::size_t length = der[pos++];
  if (length & 0x80) {
    const std::size_t octets = length & 0x7F;
    if (octets == 0 || octets > 4 || pos + octets > der.size()) return std::nullopt;
    length = 0;
    for (std::size_t i = 0; i < octets; ++i) length = (length << 8) | der[pos++];
  }
  if (length > der.size() - pos) return std::nullopt;
  tlv.value.assign(der.begin() + long(pos), der.begin() + long(pos + length));
  tlv.whole.assign(der.begin() + long(start), der.begin() + long(pos + length));
  pos += length;
  if (tlv.tag & 0x20) {
    for (std::size_t inner = 0; inner < tlv.value.size();) {
      std::optional<Tlv> child = ReadTlv(tlv.value, inner, depth + 1);
      if (!child) return std::nullopt;
      tlv.children.push_back(std::move(*child));
    }
  }
  return tlv;
}

inline Tlv Parse(const Bytes& der) {
  std::size_t pos = 0;
  std::optional<Tlv> tlv = ReadTlv(der, pos);
  EXPECT_TRUE(tlv && pos == der.size());
  return tlv.value_or(Tlv{});
}

// SignedData { version, digestAlgorithms, contentInfo, [0] certs, signerInfos }
// of a ContentInfo; empty when the shape is different.
inline std::vector<Tlv> SignedDataFields(const Tlv& contentInfo) {
  if (contentInfo.children.size() != 2 || contentInfo.children[1].children.size() != 1) return {};
  return contentInfo.children[1].children[0].children;
}

// AlgorithmIdentifier { OID, NULL } from dotted text (arcs below 2^28).
inline Bytes AlgorithmDer(const std::string& dotted) {
  std::vector<unsigned long> arcs;
  for (std::size_t pos = 0;;) {
    const std::size_t dot = dotted.find('.', pos);
    arcs.push_back(std::stoul(dotted.substr(pos, dot - pos)));
    if (dot == std::string::npos) break;
    pos = dot + 1;
  }
  Bytes oid;
  auto put = [&](unsigned long v) {
    Bytes groups{static_cast<BYTE>(v & 0x7F)};
    for (v >>= 7; v != 0; v >>= 7) groups.insert(groups.begin(), BYTE(0x80 | (v & 0x7F)));
    oid.insert(oid.end(), groups.begin(), groups.end());
  };
  put(arcs[0] * 40 + arcs[1]);
  for (std::size_t i = 2; i < arcs.size(); ++i) put(arcs[i]);
  Bytes der{0x30, BYTE(oid.size() + 4), 0x06, BYTE(oid.size())};
  der.insert(der.end(), oid.begin(), oid.end());
  der.insert(der.end(), {0x05, 0x00});
  return der;
}

// An RSA certificate whose key sits in a CSP container reached through the
// certificate's key property, as a PFX import leaves it.
class RsaSigner {
 public:
  explicit RsaSigner(const char* subject = "C=CN,O=Sigil Test,CN=Signer",
                     const char* serial = "2A01") {
    testpki::CertProfile profile;
    profile.subject = subject;
    profile.serialHex = serial;
    std::optional<testpki::Identity> made = testpki::MakeRsaIdentity(profile, nullptr);
    EXPECT_TRUE(made.has_value());
    if (!made) return;
    id_ = std::move(*made);
    Bytes pfx = testpki::MakePkcs12(id_, "pw");
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), pfx.data()};
    store_ = PFXImportCertStore(&blob, u"pw", 0);
    if (store_) cert_.reset(CertEnumCertificatesInStore(store_, nullptr));
    EXPECT_NE(cert_, nullptr);
  }
  ~RsaSigner() {
    cert_.reset();
    CertCloseStore(store_, 0);
  }
  PCCERT_CONTEXT Cert() const { return cert_.get(); }
  const testpki::Identity& Id() const { return id_; }

 private:
  testpki::Identity id_;
  HCERTSTORE store_ = nullptr;
  UniqueContext cert_;
};

// An SM2 certificate with its key pair in a container of the software SM2
// CSP, described by an unregistered-certificate record.
class Sm2CspSigner {
 public:
  Sm2CspSigner() {
    EXPECT_EQ(ERROR_SUCCESS, platform::csp::InstallProvider(SIGIL_SM2_PROV_W, PROV_RSA_FULL,
                                                            platform::csp::kImageSm2Software));
    testpki::CertProfile profile;
    profile.subject = "C=CN,O=Sigil Test,CN=SM2 Token Signer";
    profile.serialHex = "3B02";
    std::optional<testpki::Identity> made = testpki::MakeSm2Identity(profile, nullptr);
    auto provider = platform::csp::FindProvider(SIGIL_SM2_PROV_W);
    EXPECT_TRUE(made && provider);
    if (!made || !provider) return;
    id_ = std::move(*made);
    const Bytes der = id_.CertDer();
    EXPECT_EQ(S_OK, provider->PutKeyPair(kContainer, AT_SIGNATURE, id_.key(), der));
    UniqueContext cert(
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size())));
    EXPECT_EQ(S_OK, CertCreateUnregisteredCertContext(SIGIL_SM2_PROV_W, cert.get(),
                                                      FromUtf8(kContainer).c_str(), AT_SIGNATURE,
                                                      &record_));
  }
  ~Sm2CspSigner() {
    CertFreeUnregisteredCertContext(record_);
    if (auto provider = platform::csp::FindProvider(SIGIL_SM2_PROV_W))
      provider->DeleteContainer(kContainer);
    platform::csp::UninstallProvider(SIGIL_SM2_PROV_W);
  }
  Sm2CspSigner(const Sm2CspSigner&) = delete;
  Sm2CspSigner& operator=(const Sm2CspSigner&) = delete;

  PUNREGISTERED_CERT_CONTEXT Record() const { return record_; }
  const testpki::Identity& Id() const { return id_; }

 private:
  static constexpr const char* kContainer = "sm2-token-signer";
  testpki::Identity id_;
  PUNREGISTERED_CERT_CONTEXT record_ = nullptr;
};

}  // namespace signtest
