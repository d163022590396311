// Signatures and decryption with provider keys, checked against OpenSSL:
// RSA PKCS #1 v1.5 and SM2 in CryptoAPI's byte orders.
#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "foundation/Unique.h"
#include "CspHashTestSupport.h"

using namespace csptest;

namespace {

using PkeyCtx = foundation::Unique<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;

Bytes Sign(HCRYPTHASH hash, DWORD keySpec, DWORD flags = 0) {
  DWORD size = 0;
  if (!CryptSignHashW(hash, keySpec, nullptr, flags, nullptr, &size)) return {};
  Bytes signature(size);
  if (!CryptSignHashW(hash, keySpec, nullptr, flags, signature.data(), &size)) return {};
  signature.resize(size);
  return signature;
}

HCRYPTHASH HashOf(HCRYPTPROV prov, ALG_ID alg, const Bytes& data, HCRYPTKEY key = 0) {
  HCRYPTHASH hash = 0;
  EXPECT_TRUE(CryptCreateHash(prov, alg, key, 0, &hash)) << std::hex << GetLastError();
  EXPECT_TRUE(CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0));
  return hash;
}

Bytes OpensslRsaSign(EVP_PKEY* key, const EVP_MD* md, const Bytes& digest) {
  PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
  EXPECT_EQ(1, EVP_PKEY_sign_init(ctx.get()));
  EXPECT_EQ(1, EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING));
  EXPECT_EQ(1, EVP_PKEY_CTX_set_signature_md(ctx.get(), md));
  std::size_t length = 0;
  EXPECT_EQ(1, EVP_PKEY_sign(ctx.get(), nullptr, &length, digest.data(), digest.size()));
  Bytes out(length);
  EXPECT_EQ(1, EVP_PKEY_sign(ctx.get(), out.data(), &length, digest.data(), digest.size()));
  out.resize(length);
  return out;
}

// r || s (big-endian) checked by OpenSSL's SM2 over the message itself.
bool OpensslSm2Verifies(EVP_PKEY* key, const Bytes& rs, const Bytes& message) {
  ECDSA_SIG* sig = ECDSA_SIG_new();
  ECDSA_SIG_set0(sig, BN_bin2bn(rs.data(), 32, nullptr), BN_bin2bn(rs.data() + 32, 32, nullptr));
  unsigned char* der = nullptr;
  int derLength = i2d_ECDSA_SIG(sig, &der);
  ECDSA_SIG_free(sig);
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  PkeyCtx pctx(EVP_PKEY_CTX_new(key, nullptr));
  EVP_PKEY_CTX_set1_id(pctx.get(), testpki::kSm2Id.data(), testpki::kSm2Id.size());
  EVP_MD_CTX_set_pkey_ctx(md, pctx.get());
  bool ok = EVP_DigestVerifyInit(md, nullptr, EVP_sm3(), nullptr, key) == 1 &&
            EVP_DigestVerify(md, der, static_cast<std::size_t>(derLength), message.data(),
                             message.size()) == 1;
  EVP_MD_CTX_free(md);
  OPENSSL_free(der);
  return ok;
}

Bytes UnreverseHalves(Bytes signature) {
  std::reverse(signature.begin(), signature.begin() + 32);
  std::reverse(signature.begin() + 32, signature.end());
  return signature;
}

// OpenSSL's SM2 ciphertext (DER SM2Cipher) rebuilt as x1 || y1 || C3 || C2.
Bytes OpensslSm2Encrypt(EVP_PKEY* key, const Bytes& plain) {
  PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
  EXPECT_EQ(1, EVP_PKEY_encrypt_init(ctx.get()));
  std::size_t length = 0;
  EXPECT_EQ(1, EVP_PKEY_encrypt(ctx.get(), nullptr, &length, plain.data(), plain.size()));
  Bytes der(length);
  EXPECT_EQ(1, EVP_PKEY_encrypt(ctx.get(), der.data(), &length, plain.data(), plain.size()));
  const unsigned char* p = der.data();
  STACK_OF(ASN1_TYPE)* parts = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(length));
  EXPECT_NE(nullptr, parts);
  if (parts == nullptr || sk_ASN1_TYPE_num(parts) != 4) return {};
  Bytes out(64);
  for (int i = 0; i < 2; ++i) {
    BIGNUM* n = ASN1_INTEGER_to_BN(sk_ASN1_TYPE_value(parts, i)->value.integer, nullptr);
    BN_bn2binpad(n, out.data() + 32 * i, 32);
    BN_free(n);
  }
  for (int i = 2; i < 4; ++i) {
    ASN1_OCTET_STRING* s = sk_ASN1_TYPE_value(parts, i)->value.octet_string;
    out.insert(out.end(), s->data, s->data + s->length);
  }
  sk_ASN1_TYPE_pop_free(parts, ASN1_TYPE_free);
  return out;
}

Bytes OpensslRsaEncrypt(EVP_PKEY* key, const Bytes& plain) {
  PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
  EXPECT_EQ(1, EVP_PKEY_encrypt_init(ctx.get()));
  EXPECT_EQ(1, EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING));
  std::size_t length = 0;
  EXPECT_EQ(1, EVP_PKEY_encrypt(ctx.get(), nullptr, &length, plain.data(), plain.size()));
  Bytes out(length);
  EXPECT_EQ(1, EVP_PKEY_encrypt(ctx.get(), out.data(), &length, plain.data(), plain.size()));
  out.resize(length);
  return out;
}

// Decrypts a copy in place; the plaintext, or nullopt with the last error.
std::optional<Bytes> Decrypt(HCRYPTKEY key, Bytes data) {
  DWORD length = static_cast<DWORD>(data.size());
  if (!CryptDecrypt(key, 0, TRUE, 0, data.data(), &length)) return std::nullopt;
  data.resize(length);
  return data;
}

}  // namespace

// ---- RSA --------------------------------------------------------------------

TEST(CspSignRsa, SignatureIsOpensslsPkcs1ReversedAndVerifies) {
  Container keys(MS_ENHANCED_PROV_W, &Rsa(0), &Rsa(1));
  Bytes message = AsBytes("to be signed");
  struct {
    ALG_ID alg;
    const EVP_MD* md;
  } cases[] = {{CALG_MD5, EVP_md5()},
               {CALG_SHA1, EVP_sha1()},
               {CALG_SHA_256, EVP_sha256()},
               {CALG_SHA_384, EVP_sha384()},
               {CALG_SHA_512, EVP_sha512()}};
  Key pub;
  pub.handle = ImportCertKey(keys.context.handle, Rsa(0));
  ASSERT_NE(0u, pub.handle);
  for (const auto& c : cases) {
    Hash hash;
    hash.handle = HashOf(keys.context.handle, c.alg, message);
    Bytes signature = Sign(hash.handle, AT_SIGNATURE);
    ASSERT_EQ(256u, signature.size()) << std::hex << c.alg;
    Bytes expected = OpensslRsaSign(Rsa(0).key(), c.md, OpensslDigest(c.md, message));
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(expected, signature) << std::hex << c.alg;

    Hash check;
    check.handle = HashOf(keys.context.handle, c.alg, message);
    EXPECT_TRUE(CryptVerifySignatureW(check.handle, signature.data(),
                                      static_cast<DWORD>(signature.size()), pub.handle, nullptr, 0))
        << std::hex << c.alg << " " << GetLastError();
  }
}

TEST(CspSignRsa, TamperedSignaturesMessagesAndKeysFailWithBadSignature) {
  Container keys(MS_ENHANCED_PROV_W, &Rsa(0), &Rsa(1));
  Bytes message = AsBytes("to be signed");
  Hash hash;
  hash.handle = HashOf(keys.context.handle, CALG_SHA_256, message);
  Bytes signature = Sign(hash.handle, AT_SIGNATURE);
  ASSERT_FALSE(signature.empty());
  Key right;
  right.handle = ImportCertKey(keys.context.handle, Rsa(0));
  Key wrong;
  ASSERT_TRUE(CryptGetUserKey(keys.context.handle, AT_KEYEXCHANGE, &wrong.handle));

  auto verify = [&](const Bytes& data, const Bytes& sig, HCRYPTKEY key) {
    Hash check;
    check.handle = HashOf(keys.context.handle, CALG_SHA_256, data);
    return CryptVerifySignatureW(check.handle, sig.data(), static_cast<DWORD>(sig.size()), key,
                                 nullptr, 0);
  };
  EXPECT_TRUE(verify(message, signature, right.handle));
  Bytes flipped = signature;
  flipped[0] ^= 1;  // the least significant byte in this order
  EXPECT_FALSE(verify(message, flipped, right.handle));
  EXPECT_EQ(NTE_BAD_SIGNATURE, LastHr());
  Bytes bigEndian(signature.rbegin(), signature.rend());
  EXPECT_FALSE(verify(message, bigEndian, right.handle));
  EXPECT_EQ(NTE_BAD_SIGNATURE, LastHr());
  EXPECT_FALSE(verify(AsBytes("to be signeD"), signature, right.handle));
  EXPECT_EQ(NTE_BAD_SIGNATURE, LastHr());
  EXPECT_FALSE(verify(message, signature, wrong.handle));
  EXPECT_EQ(NTE_BAD_SIGNATURE, LastHr());
  EXPECT_FALSE(verify(message, Bytes(signature.begin(), signature.end() - 1), right.handle));
  EXPECT_EQ(NTE_BAD_SIGNATURE, LastHr());
}

TEST(CspSignRsa, SizeQueriesSmallBuffersAndMissingKeys) {
  Container signatureOnly(MS_ENHANCED_PROV_W, &Rsa(0), nullptr);
  Hash hash;
  hash.handle = HashOf(signatureOnly.context.handle, CALG_SHA1, AsBytes("x"));
  DWORD size = 0;
  ASSERT_TRUE(CryptSignHashW(hash.handle, AT_SIGNATURE, nullptr, 0, nullptr, &size));
  EXPECT_EQ(256u, size);
  Bytes small(255);
  size = 255;
  EXPECT_FALSE(CryptSignHashW(hash.handle, AT_SIGNATURE, nullptr, 0, small.data(), &size));
  EXPECT_EQ(ERROR_MORE_DATA, GetLastError());
  EXPECT_EQ(256u, size);
  EXPECT_FALSE(CryptSignHashW(hash.handle, AT_KEYEXCHANGE, nullptr, 0, nullptr, &size));
  EXPECT_EQ(NTE_NO_KEY, LastHr());
  // Signing closes the hash.
  EXPECT_EQ(256u, Sign(hash.handle, AT_SIGNATURE).size());
  EXPECT_FALSE(CryptHashData(hash.handle, reinterpret_cast<const BYTE*>("y"), 1, 0));
  EXPECT_EQ(NTE_BAD_HASH_STATE, LastHr());

  Context verify;
  ASSERT_TRUE(CryptAcquireContextW(&verify.handle, nullptr, MS_DEF_PROV_W, PROV_RSA_FULL,
                                   CRYPT_VERIFYCONTEXT));
  Hash noKeys;
  noKeys.handle = HashOf(verify.handle, CALG_SHA1, AsBytes("x"));
  EXPECT_FALSE(CryptSignHashW(noKeys.handle, AT_SIGNATURE, nullptr, 0, nullptr, &size));
  EXPECT_EQ(NTE_NO_KEY, LastHr());
}

TEST(CspSignRsa, DecryptsOpensslPkcs1CiphertextsReversed) {
  Container keys(MS_ENHANCED_PROV_W, &Rsa(0), &Rsa(1));
  Key exchange;
  ASSERT_TRUE(CryptGetUserKey(keys.context.handle, AT_KEYEXCHANGE, &exchange.handle));
  Bytes secret = AsBytes("session key bytes");
  Bytes cipher = OpensslRsaEncrypt(Rsa(1).key(), secret);
  std::reverse(cipher.begin(), cipher.end());
  EXPECT_EQ(secret, Decrypt(exchange.handle, cipher));

  Key signature;
  ASSERT_TRUE(CryptGetUserKey(keys.context.handle, AT_SIGNATURE, &signature.handle));
  // The wrong key almost always breaks the padding; on the rare ciphertext
  // whose padding happens to check, it still cannot give the secret back.
  const auto wrong = Decrypt(signature.handle, cipher);
  if (wrong) {
    EXPECT_NE(secret, *wrong);
  } else {
    EXPECT_EQ(NTE_BAD_DATA, LastHr());
  }
  EXPECT_EQ(std::nullopt, Decrypt(exchange.handle, Bytes(cipher.begin(), cipher.end() - 1)));
  EXPECT_EQ(NTE_BAD_DATA, LastHr());
}

// ---- SM2 --------------------------------------------------------------------

class CspSignSm2 : public ::testing::Test {
 protected:
  ScopedSm2Provider installed_;
};

TEST_F(CspSignSm2, SignatureHalvesReversedBackVerifyWithOpenssl) {
  Container keys(SIGIL_SM2_PROV_W, &Sm2(0), &Sm2(1));
  Bytes message = AsBytes("SM2 message for interop");
  for (DWORD keySpec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
    Hash hash;
    hash.handle = HashOf(keys.context.handle, CALG_SM3, message);
    Bytes signature = Sign(hash.handle, keySpec);
    ASSERT_EQ(64u, signature.size()) << keySpec;
    const testpki::Identity& id = keySpec == AT_SIGNATURE ? Sm2(0) : Sm2(1);
    const testpki::Identity& other = keySpec == AT_SIGNATURE ? Sm2(1) : Sm2(0);
    Bytes rs = UnreverseHalves(signature);
    EXPECT_TRUE(OpensslSm2Verifies(id.key(), rs, message)) << keySpec;
    EXPECT_FALSE(OpensslSm2Verifies(other.key(), rs, message)) << keySpec;
    // Reversed as one block it is not the signature.
    EXPECT_FALSE(
        OpensslSm2Verifies(id.key(), Bytes(signature.rbegin(), signature.rend()), message));
  }
}

TEST_F(CspSignSm2, VerifiesWithAnImportedCertificateKeyAndRefusesTampering) {
  Container keys(SIGIL_SM2_PROV_W, &Sm2(0), nullptr);
  Bytes message(0x4001, 0x33);
  Hash hash;
  hash.handle = HashOf(keys.context.handle, CALG_SM3, message);
  Bytes signature = Sign(hash.handle, AT_SIGNATURE);
  ASSERT_EQ(64u, signature.size());

  Context verify;
  ASSERT_TRUE(CryptAcquireContextW(&verify.handle, nullptr, SIGIL_SM2_PROV_W, PROV_RSA_FULL,
                                   CRYPT_VERIFYCONTEXT));
  Key pub;
  pub.handle = ImportCertKey(verify.handle, Sm2(0));
  ASSERT_NE(0u, pub.handle);
  auto check = [&](const Bytes& data, const Bytes& sig) {
    Hash h;
    h.handle = HashOf(verify.handle, CALG_SM3, data, pub.handle);
    return CryptVerifySignatureW(h.handle, sig.data(), static_cast<DWORD>(sig.size()), pub.handle,
                                 nullptr, 0);
  };
  EXPECT_TRUE(check(message, signature)) << std::hex << GetLastError();
  for (std::size_t at : {0u, 31u, 32u, 63u}) {
    Bytes bad = signature;
    bad[at] ^= 0x01;
    EXPECT_FALSE(check(message, bad)) << at;
    EXPECT_EQ(NTE_BAD_SIGNATURE, LastHr());
  }
  Bytes changed = message;
  changed.back() ^= 1;
  EXPECT_FALSE(check(changed, signature));
  EXPECT_EQ(NTE_BAD_SIGNATURE, LastHr());
  EXPECT_FALSE(check(message, Bytes(signature.begin(), signature.end() - 1)));
  EXPECT_EQ(NTE_BAD_SIGNATURE, LastHr());

  // The container's own key checks it as well.
  Key own;
  ASSERT_TRUE(CryptGetUserKey(keys.context.handle, AT_SIGNATURE, &own.handle));
  Hash again;
  again.handle = HashOf(keys.context.handle, CALG_SM3, message);
  EXPECT_TRUE(CryptVerifySignatureW(again.handle, signature.data(), 64, own.handle, nullptr, 0));
}

TEST_F(CspSignSm2, OpensslSignaturesVerifyHere) {
  Bytes message = AsBytes("signed by OpenSSL");
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  PkeyCtx pctx(EVP_PKEY_CTX_new(Sm2(1).key(), nullptr));
  EVP_PKEY_CTX_set1_id(pctx.get(), testpki::kSm2Id.data(), testpki::kSm2Id.size());
  EVP_MD_CTX_set_pkey_ctx(md, pctx.get());
  ASSERT_EQ(1, EVP_DigestSignInit(md, nullptr, EVP_sm3(), nullptr, Sm2(1).key()));
  std::size_t length = 0;
  ASSERT_EQ(1, EVP_DigestSign(md, nullptr, &length, message.data(), message.size()));
  Bytes der(length);
  ASSERT_EQ(1, EVP_DigestSign(md, der.data(), &length, message.data(), message.size()));
  EVP_MD_CTX_free(md);
  const unsigned char* p = der.data();
  ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(length));
  ASSERT_NE(nullptr, sig);
  Bytes rs(64);
  BN_bn2binpad(ECDSA_SIG_get0_r(sig), rs.data(), 32);
  BN_bn2binpad(ECDSA_SIG_get0_s(sig), rs.data() + 32, 32);
  ECDSA_SIG_free(sig);
  Bytes little = UnreverseHalves(rs);

  Context verify;
  ASSERT_TRUE(CryptAcquireContextW(&verify.handle, nullptr, SIGIL_SM2_PROV_W, PROV_RSA_FULL,
                                   CRYPT_VERIFYCONTEXT));
  Key pub;
  pub.handle = ImportCertKey(verify.handle, Sm2(1));
  Hash hash;
  hash.handle = HashOf(verify.handle, CALG_SM3, message, pub.handle);
  EXPECT_TRUE(CryptVerifySignatureW(hash.handle, little.data(), 64, pub.handle, nullptr, 0));
}

TEST_F(CspSignSm2, Sm2KeysSignOnlySm3AndSm2KeysImportOnlyInTheSm2Provider) {
  Container keys(SIGIL_SM2_PROV_W, &Sm2(0), nullptr);
  Hash sha;
  sha.handle = HashOf(keys.context.handle, CALG_SHA_256, AsBytes("x"));
  DWORD size = 0;
  EXPECT_FALSE(CryptSignHashW(sha.handle, AT_SIGNATURE, nullptr, 0, nullptr, &size));
  EXPECT_EQ(NTE_BAD_ALGID, LastHr());
  Hash sm3;
  sm3.handle = HashOf(keys.context.handle, CALG_SM3, AsBytes("x"));
  ASSERT_TRUE(CryptSignHashW(sm3.handle, AT_SIGNATURE, nullptr, 0, nullptr, &size));
  EXPECT_EQ(64u, size);

  Context rsa;
  ASSERT_TRUE(CryptAcquireContextW(&rsa.handle, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                                   CRYPT_VERIFYCONTEXT));
  Bytes der = Sm2(0).CertDer();
  PCCERT_CONTEXT cert =
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  ASSERT_NE(nullptr, cert);
  HCRYPTKEY key = 0;
  EXPECT_FALSE(CryptImportPublicKeyInfo(rsa.handle, X509_ASN_ENCODING,
                                        &cert->pCertInfo->SubjectPublicKeyInfo, &key));
  EXPECT_EQ(NTE_BAD_ALGID, LastHr());
  // A key that does not decode.
  CERT_PUBLIC_KEY_INFO broken = cert->pCertInfo->SubjectPublicKeyInfo;
  broken.PublicKey.cbData -= 1;
  EXPECT_FALSE(CryptImportPublicKeyInfo(keys.context.handle, X509_ASN_ENCODING, &broken, &key));
  EXPECT_EQ(NTE_BAD_PUBLIC_KEY, LastHr());
  CertFreeCertificateContext(cert);
}

TEST_F(CspSignSm2, DecryptsOpensslCiphertextsInC1C3C2Order) {
  Container keys(SIGIL_SM2_PROV_W, &Sm2(0), &Sm2(1));
  Key exchange;
  ASSERT_TRUE(CryptGetUserKey(keys.context.handle, AT_KEYEXCHANGE, &exchange.handle));
  Bytes secret = AsBytes("a 16-byte secret and then some");
  Bytes cipher = OpensslSm2Encrypt(Sm2(1).key(), secret);
  ASSERT_EQ(secret.size() + 96, cipher.size());
  EXPECT_EQ(secret, Decrypt(exchange.handle, cipher));

  Key signature;
  ASSERT_TRUE(CryptGetUserKey(keys.context.handle, AT_SIGNATURE, &signature.handle));
  EXPECT_EQ(std::nullopt, Decrypt(signature.handle, cipher));
  EXPECT_EQ(NTE_BAD_DATA, LastHr());
  for (std::size_t at : {std::size_t{1}, std::size_t{70}, cipher.size() - 1}) {
    Bytes bad = cipher;
    bad[at] ^= 0x80;
    EXPECT_EQ(std::nullopt, Decrypt(exchange.handle, bad)) << at;
    EXPECT_EQ(NTE_BAD_DATA, LastHr());
  }
  // C2 || C3 order (the one OpenSSL's structure suggests) is refused.
  Bytes c1c2c3(cipher.begin(), cipher.begin() + 64);
  c1c2c3.insert(c1c2c3.end(), cipher.begin() + 96, cipher.end());
  c1c2c3.insert(c1c2c3.end(), cipher.begin() + 64, cipher.begin() + 96);
  EXPECT_EQ(std::nullopt, Decrypt(exchange.handle, c1c2c3));
  EXPECT_EQ(NTE_BAD_DATA, LastHr());
  EXPECT_EQ(std::nullopt, Decrypt(exchange.handle, Bytes(cipher.begin(), cipher.begin() + 96)));
  EXPECT_EQ(NTE_BAD_DATA, LastHr());
}

// ---- Handles and flags ------------------------------------------------------

TEST_F(CspSignSm2, HandlesThatAreNotLiveFailCleanly) {
  Container keys(SIGIL_SM2_PROV_W, &Sm2(0), nullptr);
  Key pub;
  pub.handle = ImportCertKey(keys.context.handle, Sm2(0));
  ASSERT_NE(0u, pub.handle);
  Hash hash;
  hash.handle = HashOf(keys.context.handle, CALG_SM3, AsBytes("x"));
  BYTE sig[64] = {};
  DWORD size = sizeof sig;
  for (HCRYPTHASH bad : {HCRYPTHASH{0}, HCRYPTHASH{0xDEAD}, HCRYPTHASH(pub.handle)}) {
    EXPECT_FALSE(CryptSignHashW(bad, AT_SIGNATURE, nullptr, 0, sig, &size));
    EXPECT_EQ(NTE_BAD_HASH, LastHr());
    EXPECT_FALSE(CryptVerifySignatureW(bad, sig, 64, pub.handle, nullptr, 0));
    EXPECT_EQ(NTE_BAD_HASH, LastHr());
  }
  for (HCRYPTKEY bad : {HCRYPTKEY{0}, HCRYPTKEY{0xDEAD}, HCRYPTKEY(hash.handle)}) {
    EXPECT_FALSE(CryptVerifySignatureW(hash.handle, sig, 64, bad, nullptr, 0));
    EXPECT_EQ(NTE_BAD_KEY, LastHr());
    size = sizeof sig;
    EXPECT_FALSE(CryptDecrypt(bad, 0, TRUE, 0, sig, &size));
    EXPECT_EQ(NTE_BAD_KEY, LastHr());
  }
  HCRYPTKEY key = 0;
  EXPECT_FALSE(CryptImportPublicKeyInfo(0xDEAD, X509_ASN_ENCODING, nullptr, &key));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());

  // An imported public key cannot decrypt or take a certificate.
  size = sizeof sig;
  EXPECT_FALSE(CryptDecrypt(pub.handle, 0, TRUE, 0, sig, &size));
  EXPECT_EQ(NTE_BAD_KEY, LastHr());
  Bytes der = Sm2(0).CertDer();
  EXPECT_FALSE(CryptSetKeyParam(pub.handle, KP_CERTIFICATE, der.data(), 0));
  EXPECT_EQ(NTE_BAD_KEY, LastHr());
  DWORD alg = 0;
  size = sizeof alg;
  ASSERT_TRUE(CryptGetKeyParam(pub.handle, KP_ALGID, reinterpret_cast<BYTE*>(&alg), &size, 0));
  EXPECT_EQ(CALG_SM2_SIGN, alg);

  // A destroyed key handle is gone.
  HCRYPTKEY gone = ImportCertKey(keys.context.handle, Sm2(0));
  ASSERT_TRUE(CryptDestroyKey(gone));
  EXPECT_FALSE(CryptVerifySignatureW(hash.handle, sig, 64, gone, nullptr, 0));
  EXPECT_EQ(NTE_BAD_KEY, LastHr());
}
