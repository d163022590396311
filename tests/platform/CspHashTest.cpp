// Hash objects: known answers, the SM3(Z || M) digest of the SM2 provider,
// parameter sizes, state and handle checks.
#include <openssl/bn.h>
#include <openssl/ec.h>

#include "CspHashTestSupport.h"

using namespace csptest;

namespace {

Bytes DigestThrough(HCRYPTPROV prov, ALG_ID alg, const std::vector<Bytes>& pieces,
                    HCRYPTKEY key = 0) {
  Hash hash;
  EXPECT_TRUE(CryptCreateHash(prov, alg, key, 0, &hash.handle)) << std::hex << GetLastError();
  for (const Bytes& piece : pieces)
    EXPECT_TRUE(CryptHashData(hash.handle, piece.data(), static_cast<DWORD>(piece.size()), 0));
  return HashValue(hash.handle);
}

// Z of GB/T 32918 computed here with OpenSSL's SM3 and curve parameters,
// apart from the product's own Z code.
Bytes IndependentZ(const testpki::Identity& id) {
  EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_sm2);
  BIGNUM* p = BN_new();
  BIGNUM* a = BN_new();
  BIGNUM* b = BN_new();
  BIGNUM* gx = BN_new();
  BIGNUM* gy = BN_new();
  EXPECT_EQ(1, EC_GROUP_get_curve(group, p, a, b, nullptr));
  EXPECT_EQ(
      1, EC_POINT_get_affine_coordinates(group, EC_GROUP_get0_generator(group), gx, gy, nullptr));
  Bytes input = {0x00, 0x80};  // 128 bits of identity
  for (char c : testpki::kSm2Id) input.push_back(static_cast<BYTE>(c));
  for (BIGNUM* n : {a, b, gx, gy}) {
    BYTE part[32];
    BN_bn2binpad(n, part, 32);
    input.insert(input.end(), part, part + 32);
  }
  Bytes x = id.PublicX();
  Bytes y = id.PublicY();
  input.insert(input.end(), x.begin(), x.end());
  input.insert(input.end(), y.begin(), y.end());
  for (BIGNUM* n : {p, a, b, gx, gy}) BN_free(n);
  EC_GROUP_free(group);
  return OpensslDigest(EVP_sm3(), input);
}

Bytes IndependentSm3WithZ(const testpki::Identity& id, const Bytes& message) {
  Bytes input = IndependentZ(id);
  input.insert(input.end(), message.begin(), message.end());
  return OpensslDigest(EVP_sm3(), input);
}

class CspHashRsa : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CryptAcquireContextW(&base_.handle, nullptr, MS_DEF_PROV_W, PROV_RSA_FULL,
                                     CRYPT_VERIFYCONTEXT));
  }
  Context base_;
};

class CspHashSm2 : public ::testing::Test {
 protected:
  ScopedSm2Provider installed_;
};

}  // namespace

// ---- Standard digests -------------------------------------------------------

TEST_F(CspHashRsa, KnownAnswersForAbc) {
  Bytes abc = AsBytes("abc");
  EXPECT_EQ(Hex("900150983cd24fb0d6963f7d28e17f72"), DigestThrough(base_.handle, CALG_MD5, {abc}));
  EXPECT_EQ(Hex("a9993e364706816aba3e25717850c26c9cd0d89d"),
            DigestThrough(base_.handle, CALG_SHA1, {abc}));
  EXPECT_EQ(Hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"),
            DigestThrough(base_.handle, CALG_SHA_256, {abc}));
  EXPECT_EQ(OpensslDigest(EVP_sha384(), abc), DigestThrough(base_.handle, CALG_SHA_384, {abc}));
  EXPECT_EQ(OpensslDigest(EVP_sha512(), abc), DigestThrough(base_.handle, CALG_SHA_512, {abc}));
}

TEST_F(CspHashRsa, PiecesHashLikeTheWholeAndEmptyPiecesAddNothing) {
  Bytes whole(0x4001);
  for (std::size_t i = 0; i < whole.size(); ++i) whole[i] = static_cast<BYTE>(i * 7);
  Bytes first(whole.begin(), whole.begin() + 0x4000);
  Bytes rest(whole.begin() + 0x4000, whole.end());
  EXPECT_EQ(OpensslDigest(EVP_sha256(), whole),
            DigestThrough(base_.handle, CALG_SHA_256, {first, {}, rest}));
  EXPECT_EQ(OpensslDigest(EVP_sha1(), {}), DigestThrough(base_.handle, CALG_SHA1, {}));
}

TEST_F(CspHashRsa, ParametersReportAlgorithmAndSizeWithTheUsualSizeRules) {
  Hash hash;
  ASSERT_TRUE(CryptCreateHash(base_.handle, CALG_SHA_384, 0, 0, &hash.handle));
  DWORD value = 0;
  DWORD size = sizeof value;
  ASSERT_TRUE(CryptGetHashParam(hash.handle, HP_ALGID, reinterpret_cast<BYTE*>(&value), &size, 0));
  EXPECT_EQ(CALG_SHA_384, value);
  ASSERT_TRUE(
      CryptGetHashParam(hash.handle, HP_HASHSIZE, reinterpret_cast<BYTE*>(&value), &size, 0));
  EXPECT_EQ(48u, value);

  size = 0;
  ASSERT_TRUE(CryptGetHashParam(hash.handle, HP_HASHVAL, nullptr, &size, 0));
  EXPECT_EQ(48u, size);
  Bytes small(47);
  size = 47;
  EXPECT_FALSE(CryptGetHashParam(hash.handle, HP_HASHVAL, small.data(), &size, 0));
  EXPECT_EQ(ERROR_MORE_DATA, GetLastError());
  EXPECT_EQ(48u, size);
  // Neither query closed the hash.
  Bytes abc = AsBytes("abc");
  EXPECT_TRUE(CryptHashData(hash.handle, abc.data(), 3, 0));
  EXPECT_EQ(OpensslDigest(EVP_sha384(), abc), HashValue(hash.handle));

  size = sizeof value;
  EXPECT_FALSE(CryptGetHashParam(hash.handle, 3, reinterpret_cast<BYTE*>(&value), &size, 0));
  EXPECT_EQ(NTE_BAD_TYPE, LastHr());
}

TEST_F(CspHashRsa, ReadingTheValueClosesTheHash) {
  Hash hash;
  ASSERT_TRUE(CryptCreateHash(base_.handle, CALG_SHA_256, 0, 0, &hash.handle));
  Bytes abc = AsBytes("abc");
  ASSERT_TRUE(CryptHashData(hash.handle, abc.data(), 3, 0));
  Bytes value = HashValue(hash.handle);
  EXPECT_FALSE(CryptHashData(hash.handle, abc.data(), 3, 0));
  EXPECT_EQ(NTE_BAD_HASH_STATE, LastHr());
  EXPECT_EQ(value, HashValue(hash.handle));
}

TEST_F(CspHashRsa, DuplicatesContinueIndependently) {
  Hash hash;
  ASSERT_TRUE(CryptCreateHash(base_.handle, CALG_SHA_256, 0, 0, &hash.handle));
  ASSERT_TRUE(CryptHashData(hash.handle, reinterpret_cast<const BYTE*>("ab"), 2, 0));
  Hash copy;
  ASSERT_TRUE(CryptDuplicateHash(hash.handle, nullptr, 0, &copy.handle));
  ASSERT_TRUE(CryptHashData(hash.handle, reinterpret_cast<const BYTE*>("c"), 1, 0));
  ASSERT_TRUE(CryptHashData(copy.handle, reinterpret_cast<const BYTE*>("d"), 1, 0));
  EXPECT_EQ(OpensslDigest(EVP_sha256(), AsBytes("abc")), HashValue(hash.handle));
  EXPECT_EQ(OpensslDigest(EVP_sha256(), AsBytes("abd")), HashValue(copy.handle));
}

TEST_F(CspHashRsa, UnknownAlgorithmsAndSm3OutsideTheSm2ProviderAreRefused) {
  for (ALG_ID alg : {0x8002u /* MD4 */, CALG_SM3, 0x6610u /* AES-256 */, 0u}) {
    HCRYPTHASH hash = 0x1234;
    EXPECT_FALSE(CryptCreateHash(base_.handle, alg, 0, 0, &hash)) << std::hex << alg;
    EXPECT_EQ(NTE_BAD_ALGID, LastHr());
    EXPECT_EQ(0u, hash);
  }
  HCRYPTHASH hash = 0;
  EXPECT_FALSE(CryptCreateHash(base_.handle, CALG_SHA1, 0, 1, &hash));
  EXPECT_EQ(NTE_BAD_FLAGS, LastHr());
}

// ---- Handles ----------------------------------------------------------------

TEST_F(CspHashRsa, HandlesThatAreNotLiveFailCleanly) {
  HCRYPTHASH hash = 0;
  EXPECT_FALSE(CryptCreateHash(0, CALG_SHA1, 0, 0, &hash));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_FALSE(CryptCreateHash(0xDEAD, CALG_SHA1, 0, 0, &hash));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());

  ASSERT_TRUE(CryptCreateHash(base_.handle, CALG_SHA1, 0, 0, &hash));
  ASSERT_TRUE(CryptDestroyHash(hash));
  BYTE data[20];
  DWORD size = sizeof data;
  HCRYPTHASH copy = 0;
  for (HCRYPTHASH bad : {hash, HCRYPTHASH{0}, HCRYPTHASH{0xDEAD}, HCRYPTHASH(base_.handle)}) {
    EXPECT_FALSE(CryptHashData(bad, data, 1, 0));
    EXPECT_EQ(NTE_BAD_HASH, LastHr());
    EXPECT_FALSE(CryptGetHashParam(bad, HP_HASHVAL, data, &size, 0));
    EXPECT_EQ(NTE_BAD_HASH, LastHr());
    EXPECT_FALSE(CryptDuplicateHash(bad, nullptr, 0, &copy));
    EXPECT_EQ(NTE_BAD_HASH, LastHr());
    EXPECT_FALSE(CryptDestroyHash(bad));
    EXPECT_EQ(NTE_BAD_HASH, LastHr());
  }
  // A provider handle is not a hash handle, and the reverse.
  ASSERT_TRUE(CryptCreateHash(base_.handle, CALG_SHA1, 0, 0, &hash));
  DWORD type = 0;
  size = sizeof type;
  EXPECT_FALSE(CryptGetProvParam(hash, PP_PROVTYPE, reinterpret_cast<BYTE*>(&type), &size, 0));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_TRUE(CryptDestroyHash(hash));
}

TEST_F(CspHashRsa, AHashOutlivesItsReleasedContext) {
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(
      CryptAcquireContextW(&prov, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  Hash hash;
  ASSERT_TRUE(CryptCreateHash(prov, CALG_MD5, 0, 0, &hash.handle));
  ASSERT_TRUE(CryptReleaseContext(prov, 0));
  ASSERT_TRUE(CryptHashData(hash.handle, reinterpret_cast<const BYTE*>("abc"), 3, 0));
  EXPECT_EQ(Hex("900150983cd24fb0d6963f7d28e17f72"), HashValue(hash.handle));
}

// ---- SM3 with Z in the SM2 provider -----------------------------------------

TEST_F(CspHashSm2, Sm3CoversZOfTheSignaturePairAndTheMessage) {
  Container both(SIGIL_SM2_PROV_W, &Sm2(0), &Sm2(1));
  Bytes message = AsBytes("message digest");
  Bytes value = DigestThrough(both.context.handle, CALG_SM3, {message});
  EXPECT_EQ(IndependentSm3WithZ(Sm2(0), message), value);
  EXPECT_NE(OpensslDigest(EVP_sm3(), message), value);
}

TEST_F(CspHashSm2, WithoutASignaturePairTheExchangePairGivesZ) {
  Container exchangeOnly(SIGIL_SM2_PROV_W, nullptr, &Sm2(1));
  Bytes message(0x4001, 0x5A);
  EXPECT_EQ(IndependentSm3WithZ(Sm2(1), message),
            DigestThrough(exchangeOnly.context.handle, CALG_SM3,
                          {Bytes(message.begin(), message.begin() + 0x4000), {0x5A}}));
}

TEST_F(CspHashSm2, AKeyHandleChoosesZAndAVerifyContextNeedsOne) {
  Context verify;
  ASSERT_TRUE(CryptAcquireContextW(&verify.handle, nullptr, SIGIL_SM2_PROV_W, PROV_RSA_FULL,
                                   CRYPT_VERIFYCONTEXT));
  HCRYPTHASH hash = 0;
  EXPECT_FALSE(CryptCreateHash(verify.handle, CALG_SM3, 0, 0, &hash));
  EXPECT_EQ(NTE_NO_KEY, LastHr());
  EXPECT_FALSE(CryptCreateHash(verify.handle, CALG_SM3, 0xDEAD, 0, &hash));
  EXPECT_EQ(NTE_BAD_KEY, LastHr());

  Key imported;
  imported.handle = ImportCertKey(verify.handle, Sm2(1));
  ASSERT_NE(0u, imported.handle);
  Bytes empty;
  EXPECT_EQ(IndependentSm3WithZ(Sm2(1), empty),
            DigestThrough(verify.handle, CALG_SM3, {}, imported.handle));

  // The standard digests need no key there.
  EXPECT_EQ(OpensslDigest(EVP_sha256(), empty), DigestThrough(verify.handle, CALG_SHA_256, {}));
}

TEST_F(CspHashSm2, HashSizeIs32AndUnknownAlgorithmsAreRefused) {
  Container one(SIGIL_SM2_PROV_W, &Sm2(0), nullptr);
  Hash hash;
  ASSERT_TRUE(CryptCreateHash(one.context.handle, CALG_SM3, 0, 0, &hash.handle));
  DWORD value = 0;
  DWORD size = sizeof value;
  ASSERT_TRUE(
      CryptGetHashParam(hash.handle, HP_HASHSIZE, reinterpret_cast<BYTE*>(&value), &size, 0));
  EXPECT_EQ(32u, value);
  HCRYPTHASH other = 0;
  EXPECT_FALSE(CryptCreateHash(one.context.handle, 0x8010, 0, 0, &other));
  EXPECT_EQ(NTE_BAD_ALGID, LastHr());
}

TEST_F(CspHashRsa, ADuplicateOfAClosedHashKeepsItsValueAndStaysClosed) {
  Hash hash;
  ASSERT_TRUE(CryptCreateHash(base_.handle, CALG_SHA_512, 0, 0, &hash.handle));
  ASSERT_TRUE(CryptHashData(hash.handle, reinterpret_cast<const BYTE*>("abc"), 3, 0));
  Bytes value = HashValue(hash.handle);
  Hash copy;
  ASSERT_TRUE(CryptDuplicateHash(hash.handle, nullptr, 0, &copy.handle));
  EXPECT_EQ(value, HashValue(copy.handle));
  EXPECT_FALSE(CryptHashData(copy.handle, reinterpret_cast<const BYTE*>("d"), 1, 0));
  EXPECT_EQ(NTE_BAD_HASH_STATE, LastHr());
  DWORD size = 0;
  DWORD bytes = sizeof size;
  ASSERT_TRUE(
      CryptGetHashParam(copy.handle, HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &bytes, 0));
  EXPECT_EQ(64u, size);
}

TEST_F(CspHashSm2, DuplicatesCarryEveryZ) {
  Container both(SIGIL_SM2_PROV_W, &Sm2(0), &Sm2(1));
  Hash hash;
  ASSERT_TRUE(CryptCreateHash(both.context.handle, CALG_SM3, 0, 0, &hash.handle));
  ASSERT_TRUE(CryptHashData(hash.handle, reinterpret_cast<const BYTE*>("ab"), 2, 0));
  Hash copy;
  ASSERT_TRUE(CryptDuplicateHash(hash.handle, nullptr, 0, &copy.handle));
  ASSERT_TRUE(CryptHashData(copy.handle, reinterpret_cast<const BYTE*>("c"), 1, 0));
  EXPECT_EQ(IndependentSm3WithZ(Sm2(0), AsBytes("abc")), HashValue(copy.handle));
  EXPECT_EQ(IndependentSm3WithZ(Sm2(0), AsBytes("ab")), HashValue(hash.handle));
}
