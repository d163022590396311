#include "bridge/OriginPolicy.h"

namespace bridge {

namespace {

bool IsLoopbackName(const std::string& host) {
  return host == "localhost" || host == "127.0.0.1" || host == "[::1]";
}

}  // namespace

bool AcceptOrigin(std::string_view text, consent::Origin* origin) {
  if (text.size() > 255) return false;
  if (!consent::ParseOrigin(text, origin)) return false;
  if (origin->scheme == "https") return consent::IsSecureOrigin(*origin);
  // The consent layer trusts every loopback address and *.localhost; pages
  // through the bridge get only the three names browsers treat as secure
  // without question.
  return origin->scheme == "http" && IsLoopbackName(origin->host) &&
         consent::IsSecureOrigin(*origin);
}

}  // namespace bridge
