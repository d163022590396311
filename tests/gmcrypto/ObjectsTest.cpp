#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>

#include <memory>
#include <string>
#include <vector>

#include "foundation/Unique.h"
#include "gmcrypto/objects/Objects.h"

namespace gmcrypto {
namespace {

using Bytes = std::vector<unsigned char>;
using ObjectPtr = foundation::Unique<ASN1_OBJECT, ASN1_OBJECT_free>;

Bytes Content(const ASN1_OBJECT* o) {
  return Bytes(OBJ_get0_data(o), OBJ_get0_data(o) + OBJ_length(o));
}

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

struct Expected {
  int nid;
  const char* sn;
  const char* ln;
  const char* oid;
  const char* der;
};
// clang-format off
const Expected kTable[] = {
    {893, "ChinaSM2256",     "prime256v1SM2",     "1.2.156.10197.1.301", "2A811CCF5501822D"},
    {894, "ChinaSM2TEST256", "prime256v1SM2TEST", "1.2.156.10197.1.888", "2A811CCF55018678"},
    {895, "sm3",             "ChinaSM3",          "1.2.156.10197.1.401", "2A811CCF55018311"},
    {896, "sm4-cbc",         "ChinaSM4-CBC",      "1.2.156.10197.1.104", "2A811CCF550168"},
    {897, "sm2-sm3",         "ChinaSM2withSM3",   "1.2.156.10197.1.501", "2A811CCF55018375"},
};
// clang-format on

TEST(ObjectsTest, EveryWayRoundTheTable) {
  ASSERT_EQ(Objects().size(), std::size(kTable));
  for (std::size_t i = 0; i < std::size(kTable); ++i) {
    const Expected& e = kTable[i];
    SCOPED_TRACE(e.sn);
    EXPECT_EQ(Objects()[i].nid, e.nid);
    EXPECT_EQ(Bytes(Objects()[i].der.begin(), Objects()[i].der.end()), FromHex(e.der));
    ObjectPtr parsed(OBJ_txt2obj(e.oid, 1));  // bytes and text were written separately
    EXPECT_EQ(Content(parsed.get()), FromHex(e.der));
    EXPECT_EQ(NidFromObject(parsed.get()), e.nid);
    EXPECT_EQ(NidFromOid(e.oid), e.nid);
    EXPECT_STREQ(OidFromNid(e.nid), e.oid);
    EXPECT_EQ(NidFromShortName(e.sn), e.nid);
    EXPECT_EQ(NidFromLongName(e.ln), e.nid);
    EXPECT_STREQ(ShortNameFromNid(e.nid), e.sn);
    EXPECT_STREQ(LongNameFromNid(e.nid), e.ln);

    ObjectPtr made(NewObjectFromNid(e.nid));
    ASSERT_NE(made, nullptr);
    unsigned char* der = nullptr;
    const int len = i2d_ASN1_OBJECT(made.get(), &der);
    const unsigned char* p = der;
    ObjectPtr back(d2i_ASN1_OBJECT(nullptr, &p, len));
    OPENSSL_free(der);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(Content(back.get()), FromHex(e.der));
    EXPECT_EQ(NidFromObject(back.get()), e.nid);
    EXPECT_EQ(OBJ_obj2nid(made.get()), OpensslNidFromNid(e.nid));
  }
  EXPECT_EQ(NidFromOid("1.2.156.10197.1.104"), 896);
}

TEST(ObjectsTest, AnythingElseIsNotOurs) {
  for (const char* text : {"1.2.156.10197.1.105", "1.2.156.10197.1.104.2", "1.2.156.10197.1", "sm3",
                           "", "1..2", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(NidFromOid(text), NID_undef) << (text ? text : "null");
  }
  for (const char* name :
       {"SM3", "SM4-CBC", "chinasm3", "ChinaSM3", "SM2", "", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(NidFromShortName(name), NID_undef) << (name ? name : "null");
  }
  EXPECT_EQ(NidFromLongName("sm3"), NID_undef);  // case-sensitive, and a short name
  EXPECT_EQ(NidFromObject(nullptr), NID_undef);
  EXPECT_EQ(NidFromObject(OBJ_nid2obj(NID_sm4_cbc)), NID_undef);  // ...104.2, not ...104
  EXPECT_EQ(NidFromObject(OBJ_nid2obj(NID_sha256)), NID_undef);
  for (int nid : {NID_undef, 892, 898, NID_sm3}) {
    EXPECT_EQ(FindObject(nid), nullptr);
    EXPECT_EQ(NewObjectFromNid(nid), nullptr);
    EXPECT_EQ(OidFromNid(nid), nullptr);
    EXPECT_EQ(ShortNameFromNid(nid), nullptr);
  }
}

TEST(ObjectsTest, OpensslNidsComeFromTheOid) {
  EXPECT_EQ(OpensslNidFromNid(NID_prime256v1SM2), NID_sm2);
  EXPECT_EQ(OpensslNidFromNid(NID_prime256v1SM2TEST), NID_undef);
  EXPECT_EQ(OpensslNidFromNid(NID_ChinaSM3), NID_sm3);
  EXPECT_EQ(OpensslNidFromNid(NID_ChinaSM2withSM3), NID_SM2_with_SM3);
  EXPECT_EQ(NidFromOpensslNid(NID_sm3), NID_ChinaSM3);
  EXPECT_EQ(NidFromObject(OBJ_nid2obj(NID_SM2_with_SM3)), NID_ChinaSM2withSM3);
  EXPECT_EQ(NidFromOpensslNid(NID_undef), NID_undef);     // must not find the test curve
  EXPECT_EQ(NidFromOpensslNid(NID_ChinaSM3), NID_undef);  // OpenSSL's 895 is AES-128-GCM
}

TEST(ObjectsTest, Sm2WithSm3IsSm3OverAnEcKey) {
  int digest = -1;
  int key = -1;
  int sig = -1;
  ASSERT_EQ(FindSignatureAlgorithms(NID_ChinaSM2withSM3, &digest, &key), 1);
  EXPECT_EQ(digest, NID_ChinaSM3);
  EXPECT_EQ(key, 408);
  ASSERT_EQ(FindSignatureId(NID_ChinaSM3, NID_X9_62_id_ecPublicKey, &sig), 1);
  EXPECT_EQ(sig, NID_ChinaSM2withSM3);
  EXPECT_EQ(FindSignatureAlgorithms(NID_ChinaSM2withSM3, nullptr, nullptr), 1);

  digest = key = sig = -1;
  EXPECT_EQ(FindSignatureAlgorithms(NID_SM2_with_SM3, &digest, &key), 0);
  EXPECT_EQ(FindSignatureAlgorithms(NID_ChinaSM3, &digest, &key), 0);
  EXPECT_EQ(FindSignatureId(NID_ChinaSM3, NID_rsaEncryption, &sig), 0);
  EXPECT_EQ(FindSignatureId(NID_sm3, NID_X9_62_id_ecPublicKey, &sig), 0);
  EXPECT_EQ(digest + key + sig, -3);  // untouched on failure
}

}  // namespace
}  // namespace gmcrypto
