// Domain parameters of the two SM2 curves, as the standard prints them.
#pragma once

namespace gmcrypto {

struct Sm2CurveParams {
  int nid;
  const char* comment;
  // Hexadecimal, big-endian; the cofactor is 1 on both curves.
  const char* p;
  const char* a;
  const char* b;
  const char* xG;
  const char* yG;
  const char* n;
};

// nullptr for any NID but 893 and 894.
const Sm2CurveParams* FindSm2CurveParams(int nid);

}  // namespace gmcrypto
