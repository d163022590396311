#include "gmcrypto/objects/Objects.h"

#include <openssl/asn1.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace gmcrypto {
namespace {

constexpr std::uint8_t kSm2Der[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};
constexpr std::uint8_t kSm2TestDer[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x86, 0x78};
constexpr std::uint8_t kSm3Der[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x11};
constexpr std::uint8_t kSm4CbcDer[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x68};
constexpr std::uint8_t kSm2Sm3Der[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x75};

// Asking OpenSSL by OID rather than writing its numbers down keeps us right
// across OpenSSL versions that add or renumber objects.
int OpensslNidOf(const char* oid) {
  ASN1_OBJECT* obj = OBJ_txt2obj(oid, 1);
  const int nid = obj == nullptr ? NID_undef : OBJ_obj2nid(obj);
  ASN1_OBJECT_free(obj);
  return nid;
}

std::array<ObjectInfo, 5> BuildTable() {
  std::array<ObjectInfo, 5> t = {{
      {NID_prime256v1SM2, "ChinaSM2256", "prime256v1SM2", "1.2.156.10197.1.301", kSm2Der, 0},
      {NID_prime256v1SM2TEST, "ChinaSM2TEST256", "prime256v1SM2TEST", "1.2.156.10197.1.888",
       kSm2TestDer, 0},
      {NID_ChinaSM3, "sm3", "ChinaSM3", "1.2.156.10197.1.401", kSm3Der, 0},
      {NID_ChinaSM4_CBC, "sm4-cbc", "ChinaSM4-CBC", "1.2.156.10197.1.104", kSm4CbcDer, 0},
      {NID_ChinaSM2withSM3, "sm2-sm3", "ChinaSM2withSM3", "1.2.156.10197.1.501", kSm2Sm3Der, 0},
  }};
  for (ObjectInfo& o : t) o.opensslNid = OpensslNidOf(o.oid);
  return t;
}

const ObjectInfo* FindIf(auto pred) {
  const auto table = Objects();
  const auto it = std::find_if(table.begin(), table.end(), pred);
  return it == table.end() ? nullptr : &*it;
}

const ObjectInfo* FindByDer(const unsigned char* data, std::size_t len) {
  if (data == nullptr || len == 0) return nullptr;
  return FindIf([&](const ObjectInfo& o) {
    return o.der.size() == len && std::memcmp(o.der.data(), data, len) == 0;
  });
}

const ObjectInfo* FindByName(const char* name, const char* ObjectInfo::*field) {
  if (name == nullptr) return nullptr;
  return FindIf([&](const ObjectInfo& o) { return std::strcmp(o.*field, name) == 0; });
}

int NidOf(const ObjectInfo* o) { return o == nullptr ? NID_undef : o->nid; }

}  // namespace

std::span<const ObjectInfo> Objects() {
  static const std::array<ObjectInfo, 5> table = BuildTable();
  return table;
}

const ObjectInfo* FindObject(int nid) {
  return FindIf([nid](const ObjectInfo& o) { return o.nid == nid; });
}

int NidFromOid(const char* oidText) {
  if (oidText == nullptr) return NID_undef;
  ASN1_OBJECT* obj = OBJ_txt2obj(oidText, 1);  // 1: numeric only, names are not OIDs
  const int nid = NidFromObject(obj);
  ASN1_OBJECT_free(obj);
  return nid;
}

const char* OidFromNid(int nid) {
  const ObjectInfo* o = FindObject(nid);
  return o == nullptr ? nullptr : o->oid;
}

int NidFromObject(const ASN1_OBJECT* obj) {
  if (obj == nullptr) return NID_undef;
  return NidOf(FindByDer(OBJ_get0_data(obj), OBJ_length(obj)));
}

ASN1_OBJECT* NewObjectFromNid(int nid) {
  const ObjectInfo* o = FindObject(nid);
  if (o == nullptr) return nullptr;
  // NID_undef: the object's nid field is OpenSSL's numbering, and OBJ_obj2nid
  // finds OpenSSL's own entry from the content octets anyway.
  return ASN1_OBJECT_create(NID_undef, const_cast<unsigned char*>(o->der.data()),
                            static_cast<int>(o->der.size()), o->shortName, o->longName);
}

int NidFromShortName(const char* sn) { return NidOf(FindByName(sn, &ObjectInfo::shortName)); }

int NidFromLongName(const char* ln) { return NidOf(FindByName(ln, &ObjectInfo::longName)); }

const char* ShortNameFromNid(int nid) {
  const ObjectInfo* o = FindObject(nid);
  return o == nullptr ? nullptr : o->shortName;
}

const char* LongNameFromNid(int nid) {
  const ObjectInfo* o = FindObject(nid);
  return o == nullptr ? nullptr : o->longName;
}

int OpensslNidFromNid(int nid) {
  const ObjectInfo* o = FindObject(nid);
  return o == nullptr ? NID_undef : o->opensslNid;
}

int NidFromOpensslNid(int opensslNid) {
  if (opensslNid == NID_undef) return NID_undef;
  return NidOf(FindIf([opensslNid](const ObjectInfo& o) { return o.opensslNid == opensslNid; }));
}

int FindSignatureAlgorithms(int signatureNid, int* digestNid, int* keyTypeNid) {
  if (signatureNid != NID_ChinaSM2withSM3) return 0;
  if (digestNid != nullptr) *digestNid = NID_ChinaSM3;
  if (keyTypeNid != nullptr) *keyTypeNid = NID_X9_62_id_ecPublicKey;
  return 1;
}

int FindSignatureId(int digestNid, int keyTypeNid, int* signatureNid) {
  if (digestNid != NID_ChinaSM3 || keyTypeNid != NID_X9_62_id_ecPublicKey) return 0;
  if (signatureNid != nullptr) *signatureNid = NID_ChinaSM2withSM3;
  return 1;
}

}  // namespace gmcrypto
