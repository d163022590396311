// What the bridge needs from outside the agent: the user's folder grants and
// the file chooser. The program uses the real ones; tests put stand-ins in.
#pragma once

#include <string>
#include <string_view>

#include "consent/Origin.h"
#include "platform/base/WinTypes.h"

namespace bridge {

class Services {
 public:
  virtual ~Services() = default;
  virtual bool IsInsideGrantedFolder(const consent::Origin& origin,
                                     std::string_view resolvedPath) = 0;
  // S_OK with *path, kFileChoiceCancelled, or why no choice could be made.
  virtual HRESULT ChooseFile(const consent::Origin& origin, bool save, std::string* path) = 0;
};

// The real grants and chooser (in the program only).
Services& RealServices();

}  // namespace bridge
