// Arbitrary bytes as the browser's side of the bridge: a stream of frames
// read with a small limit (so the discarding path runs too), each frame
// parsed as a message, and the answers the host would give built from what
// was read. Whatever arrives, the answers are JSON objects the browser can
// read, within the frame limit, and the texts survive their conversions.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "bridge/Chunker.h"
#include "bridge/Framing.h"
#include "bridge/Messages.h"
#include "bridge/MethodTable.h"
#include "bridge/Utf.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckAnswer(const std::string& frame) {
  Check(frame.size() <= bridge::kMaxOutgoingFrame);
  const bridge::Json json = bridge::Json::parse(frame, nullptr, false);
  Check(!json.is_discarded() && json.is_object());
}

void CheckText(const std::string& text) {
  std::u16string wide;
  if (!bridge::Utf8ToUtf16Strict(text, &wide)) return;
  Check(bridge::Utf16ToUtf8Lenient(wide) == text);
  std::string joined;
  for (std::string_view piece : bridge::SplitForFrames(text, 64)) {
    Check(bridge::EscapedSize(piece) <= 64 || piece.size() <= 4);
    std::u16string ignored;
    Check(bridge::Utf8ToUtf16Strict(piece, &ignored));
    joined.append(piece);
  }
  Check(joined == text);
}

void Answer(const bridge::Message& message) {
  if (const auto* call = std::get_if<bridge::CallMessage>(&message)) {
    Check(call->args.is_array());
    const bridge::MethodInfo* method = bridge::FindMethod(call->method);
    if (method) CheckAnswer(bridge::FailureFrame(call->session, call->id, {"arguments", E_INVALIDARG, bridge::Signature(*method)}));
    for (const bridge::Json& arg : call->args)
      if (arg.is_string()) CheckText(arg.get<std::string>());
    CheckAnswer(bridge::TextResultFrame(call->session, call->id, call->method));
    CheckAnswer(bridge::ChunkFrame(call->session, call->id, 0, call->method));
  } else if (const auto* open = std::get_if<bridge::OpenMessage>(&message)) {
    CheckText(open->origin);
    CheckAnswer(bridge::ErrorFrame("busy", static_cast<HRESULT>(0x800700AAu), open->origin, open->session));
  } else if (const auto* manage = std::get_if<bridge::ManageMessage>(&message)) {
    CheckText(manage->origin);
    CheckText(manage->folder);
  } else if (const auto* bad = std::get_if<bridge::BadMessage>(&message)) {
    Check(!bad->message.empty());
    if (bad->session && bad->id)
      CheckAnswer(bridge::FailureFrame(*bad->session, *bad->id, {"protocol", E_INVALIDARG, bad->message}));
    else
      CheckAnswer(bridge::ErrorFrame("protocol", E_INVALIDARG, bad->message, bad->session));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  // The bytes behind a descriptor, as the browser's pipe would hold them.
  const int fd = ::memfd_create("frames", 0);
  if (fd < 0) return 0;
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::lseek(fd, 0, SEEK_SET);
  bridge::FrameReader reader(fd, 4096);
  std::string frame;
  for (int frames = 0; frames < 1000; ++frames) {
    const bridge::FrameStatus status = reader.Next(&frame);
    if (status == bridge::FrameStatus::End || status == bridge::FrameStatus::Truncated) break;
    if (status == bridge::FrameStatus::TooLarge) {
      Check(reader.DiscardedLength() > 4096);
      continue;
    }
    Check(frame.size() <= 4096);
    Answer(bridge::ParseMessage(frame));
  }
  ::close(fd);
  return 0;
}
