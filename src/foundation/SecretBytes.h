// Bytes of a secret (private keys, session keys, plaintext of an opened
// envelope) that are wiped before their memory is given back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace foundation {

class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(std::size_t size) : bytes_(size) {}
  ~SecretBytes();
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  std::uint8_t* data() { return bytes_.data(); }
  const std::uint8_t* data() const { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  // Shrinking only: growing would reallocate and strand an unwiped copy.
  void Truncate(std::size_t size);
  void Swap(SecretBytes& other) noexcept { bytes_.swap(other.bytes_); }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace foundation
