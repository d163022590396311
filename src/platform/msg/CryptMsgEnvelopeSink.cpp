#include "platform/msg/CryptMsgEnvelopeInternal.h"

namespace platform::msg::detail {

DWORD OutputSink::Emit(std::span<const BYTE> bytes, bool final) {
  if (!streamed_) {
    memory_.insert(memory_.end(), bytes.begin(), bytes.end());
    return 0;
  }
  if (stream_.pfnStreamOutput == nullptr) return ERROR_INVALID_PARAMETER;
  // The callback takes a DWORD count; an update near 4 GiB goes in two calls.
  constexpr std::size_t kMaxPiece = 1u << 30;
  do {
    const std::size_t take = bytes.size() < kMaxPiece ? bytes.size() : kMaxPiece;
    const bool last = take == bytes.size();
    SetLastError(ERROR_SUCCESS);
    if (!stream_.pfnStreamOutput(stream_.pvArg, const_cast<BYTE*>(bytes.data()),
                                 static_cast<DWORD>(take), last && final ? TRUE : FALSE)) {
      const DWORD error = GetLastError();
      return error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT;
    }
    bytes = bytes.subspan(take);
  } while (!bytes.empty());
  return 0;
}

}  // namespace platform::msg::detail
