#include "bridge/Framing.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace bridge {

namespace {

// Discarded frames go through this much memory at a time.
constexpr std::size_t kDiscardPiece = 64u << 10;
// A frame's memory grows as its bytes arrive, so a declared length that is
// never sent costs nothing.
constexpr std::size_t kGrowPiece = 1u << 20;

}  // namespace

bool FrameReader::ReadFully(char* buffer, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::read(m_fd, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

FrameStatus FrameReader::Next(std::string* text) {
  text->clear();
  char header[4];
  std::size_t got = 0;
  while (got < sizeof header) {
    const ssize_t n = ::read(m_fd, header + got, sizeof header - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return got == 0 && n == 0 ? FrameStatus::End : FrameStatus::Truncated;
    got += static_cast<std::size_t>(n);
  }
  std::uint32_t length = 0;
  std::memcpy(&length, header, sizeof length);  // native byte order, as the browsers write it

  if (length > m_limit) {
    m_discarded = length;
    char piece[kDiscardPiece];
    for (std::uint64_t left = length; left > 0;) {
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof piece));
      if (!ReadFully(piece, take)) return FrameStatus::Truncated;
      left -= take;
    }
    return FrameStatus::TooLarge;
  }

  for (std::size_t done = 0; done < length;) {
    const std::size_t take = std::min<std::size_t>(length - done, kGrowPiece);
    text->resize(done + take);
    if (!ReadFully(text->data() + done, take)) {
      text->clear();
      return FrameStatus::Truncated;
    }
    done += take;
  }
  return FrameStatus::Frame;
}

std::string EncodeFrame(std::string_view json) {
  const auto length = static_cast<std::uint32_t>(json.size());
  std::string frame(sizeof length, '\0');
  std::memcpy(frame.data(), &length, sizeof length);
  frame.append(json);
  return frame;
}

bool FrameWriter::Broken() const {
  std::lock_guard lock(m_lock);
  return m_broken;
}

bool FrameWriter::Write(std::string_view json) {
  if (json.size() > kMaxOutgoingFrame) return false;
  const std::string frame = EncodeFrame(json);
  std::lock_guard lock(m_lock);
  if (m_broken) return false;
  const char* at = frame.data();
  std::size_t left = frame.size();
  while (left > 0) {
    const ssize_t n = ::write(m_fd, at, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // Half a frame out: the stream is unreadable from here on.
      m_broken = true;
      return false;
    }
    at += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace bridge
