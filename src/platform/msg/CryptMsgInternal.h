// The message objects behind HCRYPTMSG. Each kind of message (a SignedData
// being decoded, an EnvelopedData being encoded or decoded) implements this
// interface in its own source; CryptMsg.cpp owns the handles and routes the
// calls.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "platform/msg/CryptMsg.h"

namespace platform::msg::detail {

class Message {
 public:
  virtual ~Message() = default;
  // Each returns FALSE with the last error set on failure.
  virtual BOOL Update(std::span<const BYTE> data, BOOL final) = 0;
  virtual BOOL GetParam(DWORD paramType, DWORD index, void* data, DWORD* size) = 0;
  virtual BOOL Control(DWORD flags, DWORD ctrlType, const void* para);
  // The DER certificates the message carries, for CERT_STORE_PROV_MSG;
  // CRYPT_E_STREAM_MSG_NOT_READY (returned) while they are not decoded yet.
  virtual HRESULT Certificates(std::vector<std::vector<BYTE>>* out) const;
};

// Null with the last error set when the open arguments are refused.
std::unique_ptr<Message> OpenSignedDecoder(DWORD flags, DWORD msgType);
std::unique_ptr<Message> OpenEnvelopeEncoder(const CMSG_ENVELOPED_ENCODE_INFO& info,
                                             const CMSG_STREAM_INFO* stream);
std::unique_ptr<Message> OpenEnvelopeDecoder(const CMSG_STREAM_INFO* stream);

// The live message behind a handle, or null; the handle keeps it alive for
// as long as the caller uses the returned pointer under CryptMsg.cpp's rules
// (a message is not closed while one of its own calls runs).
Message* LookupMessage(HCRYPTMSG handle);

// Copies `bytes` out under the size-query rules: null data asks for the
// size, a small buffer gives ERROR_MORE_DATA and the size.
BOOL CopyOut(std::span<const BYTE> bytes, void* data, DWORD* size);

}  // namespace platform::msg::detail
