#include "foundation/SecretBytes.h"

#include <openssl/crypto.h>

namespace foundation {

SecretBytes::~SecretBytes() {
  if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
}

void SecretBytes::Truncate(std::size_t size) {
  if (size >= bytes_.size()) return;
  OPENSSL_cleanse(bytes_.data() + size, bytes_.size() - size);
  bytes_.resize(size);
}

}  // namespace foundation
