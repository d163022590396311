// Native messaging frames: a 4-byte length in the machine's byte order, then
// that many bytes of UTF-8 JSON. The browser may send up to 32 MiB in one
// frame; a longer one is read and thrown away in pieces, so a hostile length
// costs time but never memory. We send at most 1 MiB: one byte more and both
// browsers drop the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace bridge {

inline constexpr std::size_t kMaxIncomingFrame = 32u << 20;
inline constexpr std::size_t kMaxOutgoingFrame = 1u << 20;

enum class FrameStatus {
  Frame,      // *text holds one whole frame
  TooLarge,   // a frame over the limit was read and discarded
  End,        // end of input between frames
  Truncated,  // end of input inside a frame (or a read error): nothing more will come
};

class FrameReader {
 public:
  explicit FrameReader(int fd, std::size_t limit = kMaxIncomingFrame) : m_fd(fd), m_limit(limit) {}
  FrameStatus Next(std::string* text);
  // The length a discarded frame declared.
  std::uint64_t DiscardedLength() const { return m_discarded; }

 private:
  // Reads exactly `size` bytes; false at end of input or on an error.
  bool ReadFully(char* buffer, std::size_t size);

  int m_fd;
  std::size_t m_limit;
  std::uint64_t m_discarded = 0;
};

// One writer for every thread: each frame goes out whole, under one lock.
class FrameWriter {
 public:
  explicit FrameWriter(int fd) : m_fd(fd) {}
  // False for a frame over the limit (nothing is written) or when the
  // browser is gone; after a failed write nothing more is sent.
  bool Write(std::string_view json);
  bool Broken() const;

 private:
  int m_fd;
  mutable std::mutex m_lock;
  bool m_broken = false;
};

// The frame as bytes: length prefix and text (for tests and the fuzz target).
std::string EncodeFrame(std::string_view json);

}  // namespace bridge
