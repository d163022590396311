// Values too large for one frame go out as chunks. A browser drops the
// connection for a message over 1 MiB, and what counts is the JSON text,
// where a quote or a control character takes two to six bytes; so pieces
// are measured escaped, and cut only between code points (never inside a
// UTF-8 sequence, hence never between the halves of a surrogate pair once
// the extension decodes it).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace bridge {

// Budget of a chunk frame's whole JSON text.
inline constexpr std::size_t kMaxChunkFrameJson = 960u << 10;
// What a chunk frame holds besides its data: type, session, id, seq.
inline constexpr std::size_t kChunkFrameOverhead = 160;

// Bytes `c` takes inside a JSON string as Dump writes it.
std::size_t EscapedSize(unsigned char c);
std::size_t EscapedSize(std::string_view text);

// Splits `value` into pieces whose escaped size is at most `budget` each.
// A value that fits is one piece.
std::vector<std::string_view> SplitForFrames(std::string_view value,
                                             std::size_t budget = kMaxChunkFrameJson -
                                                                  kChunkFrameOverhead);

}  // namespace bridge
