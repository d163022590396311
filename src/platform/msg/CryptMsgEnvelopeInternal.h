// Pieces shared by the EnvelopedData encoder and decoder.
#pragma once

#include <openssl/crypto.h>

#include <span>
#include <vector>

#include "platform/msg/CryptMsgInternal.h"
#include "platform/base/LastError.h"

namespace platform::msg::detail {

// Sets the last error and gives FALSE.
inline BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Where a message's output goes: the caller's stream callback, or memory
// kept for CMSG_CONTENT_PARAM (wiped when the message goes, as it may hold
// decrypted content).
class OutputSink {
 public:
  explicit OutputSink(const CMSG_STREAM_INFO* stream) {
    if (stream != nullptr) {
      streamed_ = true;
      stream_ = *stream;
    }
  }
  ~OutputSink() {
    if (!memory_.empty()) OPENSSL_cleanse(memory_.data(), memory_.size());
  }
  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  bool Streamed() const { return streamed_; }
  DWORD ContentLength() const { return stream_.cbContent; }
  // 0, or the error of a callback that refused the bytes (its own last
  // error when it set one, else ERROR_WRITE_FAULT).
  DWORD Emit(std::span<const BYTE> bytes, bool final);
  const std::vector<BYTE>& Memory() const { return memory_; }

 private:
  bool streamed_ = false;
  CMSG_STREAM_INFO stream_{};
  std::vector<BYTE> memory_;
};

}  // namespace platform::msg::detail
