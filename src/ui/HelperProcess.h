// Running our helper program (npsigil-select-dialog) from inside the
// browser's process: the request goes to its stdin, the answer comes back
// on its stdout, and the child is always reaped before we return. The
// selection dialog and the consent prompt both go through here, so the two
// share one careful handling of pipes, signals and children.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/WinTypes.h"
#include "trace/Trace.h"

namespace ui {

// The program as the user installed it: beside the module this code is
// linked into (the plug-in's shared object, or the executable itself for a
// host program such as the bridge, found through /proc/self/exe), under
// `program`; or whatever `overrideVariable` names (tests and demos). Empty
// when the module cannot be located.
std::string HelperProgramPath(const char* overrideVariable, const char* program);

// Whether a graphical session is there to show a window on.
bool HasDisplay();

// A helper still running at its deadline: HRESULT_FROM_WIN32(ERROR_TIMEOUT).
inline constexpr HRESULT kHelperTimedOut = HRESULT_FROM_WIN32(1460);

struct HelperLimits {
  // Answers are a line; more than this is not an answer.
  std::size_t maxAnswerBytes = 4096;
  // From the start until the helper has exited; past it the helper is
  // killed. None: wait as long as the user takes.
  std::optional<std::chrono::milliseconds> deadline;
};

struct HelperResult {
  std::string output;          // what the helper wrote, at most maxAnswerBytes
  bool exitedCleanly = false;  // exit code 0 (or reaped by someone else), not killed
};

// Runs are one at a time in a process: a second caller waits until the
// first helper has been reaped (its deadline counting from its own start).
// Starts `program`, writes `request` to it and reads its stdout to the end,
// both at once. Traces the steps "pipe2", "posix_spawn" and "Converse" on
// `trace`. Fails for a helper that cannot be started, answers too much or
// is still running at the deadline (kHelperTimedOut);
// a helper that merely ends badly is reported in `exitedCleanly`.
HRESULT RunHelperProcess(const std::string& program, std::string_view request,
                         const HelperLimits& limits, HelperResult* result, StepTrace& trace);

}  // namespace ui
