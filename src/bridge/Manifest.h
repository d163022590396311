// What installing the host needs: the browsers' host manifest for this very
// program, and where the unpacked extension built beside it lies.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace bridge {

enum class Browser { Chromium, Firefox };

std::optional<Browser> BrowserNamed(std::string_view name);
// The manifest JSON (pretty, ending in a newline) for the host at `program`.
std::string HostManifest(Browser browser, std::string_view program);
// `<folder of program>/extension` when it holds a manifest.json, else
// `share/npsigil/extension` one or two folders up (an installed host in
// <prefix>/bin or <prefix>/lib/npsigil) when that does; nullopt otherwise.
std::optional<std::string> ExtensionFolder(std::string_view program);
// The absolute path of the running program (empty if it cannot be read).
std::string ProgramPath();

}  // namespace bridge
