// Letting the user pick one file for a web page: the page cannot know local
// paths, so the user chooses, in our helper program, in a window that names
// the page's origin. Only the chosen path comes back.
//
// Request to the helper (the consent prompt's line format):
//   npsigil-choose 1
//   language <LANGID in decimal>
//   origin <origin, printable ASCII>
//   mode <open|save>
//   end
// Answer (one line): "chosen <absolute path, escaped as the request's
// values>", "cancel", or "failed <result code, 8 hex digits> <text>".
// Tests and demos replace the helper with the program NPSIGIL_FILE_CHOOSER
// names.
#pragma once

#include <string>

#include "platform/base/WinTypes.h"
#include "trace/Trace.h"

namespace ui {

struct FileChoice {
  LANGID language = 0;
  std::string origin;  // canonical origin text
  bool save = false;   // a new file to write, else an existing one to read
};

// The user's choice (*path absolute), the user cancelling
// (kFileChoiceCancelled), or why no choice could be made (no display, the
// helper missing or failing). Only one helper window is on screen at a time
// in a process; a second request waits for the first.
inline constexpr HRESULT kFileChoiceCancelled = HRESULT_FROM_WIN32(1223);  // ERROR_CANCELLED
HRESULT ChooseFile(const FileChoice& request, std::string* path, StepTrace& trace);

}  // namespace ui
