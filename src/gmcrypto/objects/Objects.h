// Object identifiers of the national algorithms under our own NIDs. Our
// numbers come from the old object table the rest of the system was written
// against; in OpenSSL 3.0 the same numbers name other objects (895 is
// AES-128-GCM there), so our NIDs are only meaningful to the functions below
// and never to OpenSSL's OBJ_* calls.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <span>

namespace gmcrypto {

inline constexpr int NID_prime256v1SM2 = 893;
inline constexpr int NID_prime256v1SM2TEST = 894;
inline constexpr int NID_ChinaSM3 = 895;
inline constexpr int NID_ChinaSM4_CBC = 896;
inline constexpr int NID_ChinaSM2withSM3 = 897;

struct ObjectInfo {
  int nid;
  const char* shortName;
  const char* longName;
  const char* oid;
  std::span<const std::uint8_t> der;  // content octets, without tag and length
  int opensslNid;                     // NID_undef where OpenSSL doesn't know the OID
};

// All five, in NID order.
std::span<const ObjectInfo> Objects();
// nullptr unless nid is one of ours.
const ObjectInfo* FindObject(int nid);

// Each lookup answers NID_undef (0) or nullptr for anything not ours.
int NidFromOid(const char* oidText);
const char* OidFromNid(int nid);
int NidFromObject(const ASN1_OBJECT* obj);  // by content octets, so 1.2.156.10197.1.888 works
ASN1_OBJECT* NewObjectFromNid(int nid);     // caller frees with ASN1_OBJECT_free

// Case-sensitive, like OBJ_sn2nid and OBJ_ln2nid.
int NidFromShortName(const char* sn);
int NidFromLongName(const char* ln);
const char* ShortNameFromNid(int nid);
const char* LongNameFromNid(int nid);

// Between our NIDs and OpenSSL's for the same OID.
int OpensslNidFromNid(int nid);
int NidFromOpensslNid(int opensslNid);

// Like OBJ_find_sigid_algs and OBJ_find_sigid_by_algs, over our one entry:
// sm2-sm3 is sm3 with an id-ecPublicKey key. Outputs may be null; 1 if found.
int FindSignatureAlgorithms(int signatureNid, int* digestNid, int* keyTypeNid);
int FindSignatureId(int digestNid, int keyTypeNid, int* signatureNid);

}  // namespace gmcrypto
