// Key-usage checks on certificates the SM2 engine is about to use. Every
// required bit must be granted; a certificate without a key-usage extension
// grants nothing.
#pragma once

#include <openssl/types.h>

namespace engine {

// Bits as OpenSSL reports them: digitalSignature 0x80, nonRepudiation 0x40,
// keyEncipherment 0x20, dataEncipherment 0x10, keyAgreement 0x08,
// keyCertSign 0x04, cRLSign 0x02, encipherOnly 0x01, decipherOnly 0x8000.
inline constexpr unsigned int SM2_KU_DIGITAL_SIGNATURE = 0x80;
inline constexpr unsigned int SM2_KU_KEY_ENCIPHERMENT = 0x20;

// 0xA0072021 when a required bit is missing or there is no key usage; -1
// when OpenSSL cannot work out the certificate's extensions.
int CheckX509KeyUsage(X509* pX509, unsigned int uRequiredKeyUsage);

// The same on certificate bytes (PEM or DER); -1 when they do not convert.
int CheckCertKeyUsage(const unsigned char* pbyCertData, int nCertDataSize,
                      unsigned int uRequiredKeyUsage);

}  // namespace engine
