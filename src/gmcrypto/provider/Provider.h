// Our SM3 and SM4-CBC as OpenSSL methods, served by our built-in provider
// "npsigil" in the default library context next to OpenSSL's own providers.
//
// These are C++ functions in namespace gmcrypto: libcrypto's C functions
// EVP_sm3 and EVP_sm4_cbc keep answering with OpenSSL's implementations.
#pragma once

#include <openssl/types.h>

namespace gmcrypto {

// Registers and loads the provider once per process, keeping OpenSSL's
// automatic fallback to its default provider. Thread-safe; true once our
// methods can be fetched.
bool LoadProvider();

// The agent's "add all digests" step: OpenSSL's digests plus ours. 1 on
// success, 0 otherwise; repeating it is harmless.
int AddAllDigests();

// Always our implementations (fetched with "provider=npsigil"), kept for the
// life of the process; nullptr if the provider could not be loaded.
const EVP_MD* EVP_sm3();
const EVP_CIPHER* EVP_sm4_cbc();

// "sm3", "ChinaSM3", "tls1-sm3" (any case) and our NID 895 give our SM3;
// "sm4-cbc", "ChinaSM4-CBC" and NID 896 our SM4-CBC. So does the NID OpenSSL
// reports for our methods (EVP_MD_get_type, EVP_CIPHER_get_nid). Anything
// else goes to OpenSSL's EVP_get_digestbyname/EVP_get_cipherbyname.
const EVP_MD* GetDigestByName(const char* name);
const EVP_MD* GetDigestByNID(int nid);
const EVP_CIPHER* GetCipherByName(const char* name);
const EVP_CIPHER* GetCipherByNID(int nid);

}  // namespace gmcrypto
