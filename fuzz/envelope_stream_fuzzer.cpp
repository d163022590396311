// The streamed EnvelopedData decoder fed arbitrary bytes in updates of
// varying size, reading the header parameters and decrypting with a fixed
// RSA key once the header is there. Nothing may crash, and a message that
// is not complete may never be accepted by the final update.
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/msg/CryptMsg.h"
#include "platform/csp/CspProvider.h"

namespace {

// An exchange key in an in-process container, made once.
HCRYPTPROV Provider() {
  static HCRYPTPROV prov = [] {
    EVP_PKEY* key = EVP_RSA_gen(1024);
    std::u16string container;
    static std::shared_ptr<void> token = platform::csp::CreateVolatileContainer(
        MS_ENHANCED_PROV_W, AT_KEYEXCHANGE, key, {}, &container);
    EVP_PKEY_free(key);
    HCRYPTPROV handle = 0;
    if (!token ||
        !CryptAcquireContextW(&handle, container.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL, 0))
      std::abort();
    return handle;
  }();
  return prov;
}

BOOL Sink(const void* arg, BYTE*, DWORD size, BOOL final) {
  auto* total = static_cast<std::uint64_t*>(const_cast<void*>(arg));
  *total += size;
  if (final) *total |= 1ull << 63;
  return TRUE;
}

void ReadHeader(HCRYPTMSG msg) {
  std::vector<std::uint64_t> buffer(4096);
  for (DWORD param :
       {CMSG_ENVELOPE_ALGORITHM_PARAM, CMSG_RECIPIENT_COUNT_PARAM, CMSG_CMS_RECIPIENT_INFO_PARAM}) {
    for (DWORD index = 0; index < 2; ++index) {
      DWORD size = 0;
      if (!CryptMsgGetParam(msg, param, index, nullptr, &size)) continue;
      if (size > buffer.size() * 8) std::abort();
      size = static_cast<DWORD>(buffer.size() * 8);
      CryptMsgGetParam(msg, param, index, buffer.data(), &size);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > (1u << 20)) return 0;
  // The first octet picks the update sizes; the rest is the message.
  unsigned seed = data[0];
  data += 1;
  size -= 1;
  std::uint64_t received = 0;
  CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, &Sink, &received};
  HCRYPTMSG msg = CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, &stream);
  if (msg == nullptr) std::abort();
  bool decrypted = false;
  bool failed = false;
  std::size_t at = 0;
  do {
    seed = seed * 1103515245u + 12345u;
    const std::size_t step = 1 + (seed >> 16) % 97 * ((seed >> 8) % 4 == 0 ? 61 : 1);
    const std::size_t take = step < size - at ? step : size - at;
    const bool final = at + take == size;
    if (!CryptMsgUpdate(msg, data + at, static_cast<DWORD>(take), final)) {
      failed = true;
      break;
    }
    at += take;
    ReadHeader(msg);
    if (!decrypted) {
      CMSG_CTRL_DECRYPT_PARA para{sizeof para, Provider(), AT_KEYEXCHANGE, 0};
      decrypted = CryptMsgControl(msg, 0, CMSG_CTRL_DECRYPT, &para) != FALSE;
    }
  } while (at < size);
  // Content given out as final must have come from an accepted final update.
  if (failed && (received >> 63) != 0) std::abort();
  CryptMsgClose(msg);
  return 0;
}
