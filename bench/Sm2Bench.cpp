// SM2 sign, verify, encrypt and decrypt of a 16-byte message: ours beside
// OpenSSL's default provider, with the same key and message. Signing and
// verification include Z and e = SM3(Z || M) on both sides.
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <vector>

#include "foundation/Unique.h"
#include "gmcrypto/sm2/Ec.h"
#include "gmcrypto/sm2/Sm2.h"
#include "gmcrypto/sm3/Sm3.h"

namespace {

using gmcrypto::BnPtr;
using PkeyPtr = foundation::Unique<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtxPtr = foundation::Unique<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdCtxPtr = foundation::Unique<EVP_MD_CTX, EVP_MD_CTX_free>;
using MdPtr = foundation::Unique<EVP_MD, EVP_MD_free>;

constexpr unsigned char kId[] = "1234567812345678";
constexpr size_t kIdLen = 16;
constexpr unsigned char kMessage[16] = {'n', 'p', 'S', 'i', 'g', 'i', 'l', ' ',
                                        's', 'e', 's', 's', 'i', 'o', 'n', '!'};

struct Fixture {
  PkeyPtr pkey;
  MdPtr sm3;
  unsigned char d[32], x[32], y[32];
  BnPtr bd, bx, by;

  Fixture()
      : pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")),
        sm3(EVP_MD_fetch(nullptr, "SM3", nullptr)) {
    BIGNUM* priv = nullptr;
    unsigned char pub[65];
    size_t pubLen = 0;
    EVP_PKEY_get_bn_param(pkey.get(), OSSL_PKEY_PARAM_PRIV_KEY, &priv);
    EVP_PKEY_get_octet_string_param(pkey.get(), OSSL_PKEY_PARAM_PUB_KEY, pub, sizeof pub, &pubLen);
    bd.reset(priv);
    BN_bn2binpad(priv, d, 32);
    std::memcpy(x, pub + 1, 32);
    std::memcpy(y, pub + 33, 32);
    bx.reset(BN_bin2bn(x, 32, nullptr));
    by.reset(BN_bin2bn(y, 32, nullptr));
  }
};

const Fixture& F() {
  static const Fixture f;
  return f;
}

void OurDigest(unsigned char e[32]) {
  const Fixture& f = F();
  unsigned char z[32];
  gmcrypto::_SM2_CalculateDefaultZValue(f.x, f.y, z);
  gmcrypto::SM3_CTX c;
  gmcrypto::SM3_Init(&c);
  gmcrypto::SM3_Update(&c, z, sizeof z);
  gmcrypto::SM3_Update(&c, kMessage, sizeof kMessage);
  gmcrypto::SM3_Final(e, &c);
}

// A digest-sign/verify context with the same identity as ours. The digest
// context does not own the key context, so both live here.
struct DigestCtx {
  PkeyCtxPtr pctx;
  MdCtxPtr md;
};

DigestCtx OpensslDigestCtx(bool sign) {
  const Fixture& f = F();
  DigestCtx c{PkeyCtxPtr(EVP_PKEY_CTX_new_from_pkey(nullptr, f.pkey.get(), nullptr)),
              MdCtxPtr(EVP_MD_CTX_new())};
  EVP_PKEY_CTX_set1_id(c.pctx.get(), kId, kIdLen);
  EVP_MD_CTX_set_pkey_ctx(c.md.get(), c.pctx.get());
  if (sign) {
    EVP_DigestSignInit(c.md.get(), nullptr, f.sm3.get(), nullptr, f.pkey.get());
  } else {
    EVP_DigestVerifyInit(c.md.get(), nullptr, f.sm3.get(), nullptr, f.pkey.get());
  }
  return c;
}

void Sm2Sign_Ours(benchmark::State& state) {
  unsigned char e[32], r[32], s[32];
  for (auto _ : state) {
    OurDigest(e);
    if (!gmcrypto::_SM2_sign_ex(e, F().d, r, s)) state.SkipWithError("sign failed");
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
}

void Sm2Sign_OpenSSL(benchmark::State& state) {
  unsigned char sig[80];
  for (auto _ : state) {
    DigestCtx c = OpensslDigestCtx(true);
    size_t len = sizeof sig;
    if (EVP_DigestSign(c.md.get(), sig, &len, kMessage, sizeof kMessage) != 1) {
      state.SkipWithError("sign failed");
    }
    benchmark::DoNotOptimize(sig);
  }
  state.SetItemsProcessed(state.iterations());
}

void Sm2Verify_Ours(benchmark::State& state) {
  unsigned char e[32], r[32], s[32];
  OurDigest(e);
  gmcrypto::_SM2_sign_ex(e, F().d, r, s);
  for (auto _ : state) {
    OurDigest(e);
    if (gmcrypto::_SM2_verify_ex(r, s, F().x, F().y, e) != 1) state.SkipWithError("bad signature");
  }
  state.SetItemsProcessed(state.iterations());
}

void Sm2Verify_OpenSSL(benchmark::State& state) {
  unsigned char sig[80];
  size_t len = sizeof sig;
  EVP_DigestSign(OpensslDigestCtx(true).md.get(), sig, &len, kMessage, sizeof kMessage);
  for (auto _ : state) {
    DigestCtx c = OpensslDigestCtx(false);
    if (EVP_DigestVerify(c.md.get(), sig, len, kMessage, sizeof kMessage) != 1) {
      state.SkipWithError("bad signature");
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void Sm2Encrypt_Ours(benchmark::State& state) {
  unsigned char out[sizeof kMessage + 97];
  for (auto _ : state) {
    if (!gmcrypto::_SM2_encrypt(gmcrypto::NID_prime256v1SM2, kMessage, sizeof kMessage,
                                F().bx.get(), F().by.get(), out)) {
      state.SkipWithError("encrypt failed");
    }
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations());
}

bool OpensslEncrypt(std::vector<unsigned char>& out) {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, F().pkey.get(), nullptr));
  size_t len = 0;
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_encrypt(ctx.get(), nullptr, &len, kMessage, sizeof kMessage) != 1) {
    return false;
  }
  out.resize(len);
  if (EVP_PKEY_encrypt(ctx.get(), out.data(), &len, kMessage, sizeof kMessage) != 1) return false;
  out.resize(len);
  return true;
}

void Sm2Encrypt_OpenSSL(benchmark::State& state) {
  std::vector<unsigned char> out;
  for (auto _ : state) {
    if (!OpensslEncrypt(out)) state.SkipWithError("encrypt failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
}

void Sm2Decrypt_Ours(benchmark::State& state) {
  unsigned char ct[sizeof kMessage + 97], pt[sizeof kMessage];
  gmcrypto::_SM2_encrypt(gmcrypto::NID_prime256v1SM2, kMessage, sizeof kMessage, F().bx.get(),
                         F().by.get(), ct);
  for (auto _ : state) {
    if (!gmcrypto::_SM2_decrypt(gmcrypto::NID_prime256v1SM2, ct, sizeof ct, F().bd.get(), pt)) {
      state.SkipWithError("decrypt failed");
    }
    benchmark::DoNotOptimize(pt);
  }
  state.SetItemsProcessed(state.iterations());
}

void Sm2Decrypt_OpenSSL(benchmark::State& state) {
  std::vector<unsigned char> ct;
  OpensslEncrypt(ct);
  unsigned char pt[sizeof kMessage + 200];
  for (auto _ : state) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, F().pkey.get(), nullptr));
    size_t len = sizeof pt;
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_decrypt(ctx.get(), pt, &len, ct.data(), ct.size()) != 1) {
      state.SkipWithError("decrypt failed");
    }
    benchmark::DoNotOptimize(pt);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(Sm2Sign_Ours);
BENCHMARK(Sm2Sign_OpenSSL);
BENCHMARK(Sm2Verify_Ours);
BENCHMARK(Sm2Verify_OpenSSL);
BENCHMARK(Sm2Encrypt_Ours);
BENCHMARK(Sm2Encrypt_OpenSSL);
BENCHMARK(Sm2Decrypt_Ours);
BENCHMARK(Sm2Decrypt_OpenSSL);

}  // namespace
