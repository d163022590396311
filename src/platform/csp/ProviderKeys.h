// The key pairs behind a live provider handle, for the rooms above the CSP
// that open what a container's key protects (the envelope decoder of the
// message room), without handing them the rest of the provider's insides.
#pragma once

#include <memory>
#include <optional>

#include "platform/csp/CspProvider.h"
#include "platform/base/WinTypes.h"

namespace platform::csp {

namespace detail {
struct ProviderContext;
}

class ProviderKeys {
 public:
  // nullopt for a handle that is not live.
  static std::optional<ProviderKeys> Find(HCRYPTPROV handle);

  // NTE_NO_KEY and the container's own failures as CryptGetUserKey has them.
  HRESULT GetKeyPair(DWORD keySpec, std::shared_ptr<const KeyPair>* out) const;

 private:
  explicit ProviderKeys(std::shared_ptr<const detail::ProviderContext> context)
      : context_(std::move(context)) {}
  std::shared_ptr<const detail::ProviderContext> context_;
};

}  // namespace platform::csp
