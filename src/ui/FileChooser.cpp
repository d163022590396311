// The file chooser as a page's bridge asks for it. Only a well-formed
// answer from a helper that ends cleanly is the user's choice; anything
// else is a failure, never a path.
#include "ui/FileChooser.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>

#include "ui/FileChooserProtocol.h"
#include "ui/HelperProcess.h"

namespace ui {
namespace {

constexpr char kHelperProgram[] = "npsigil-select-dialog";
constexpr HRESULT kFileExists = HRESULT_FROM_WIN32(80);  // ERROR_FILE_EXISTS
// A chooser forgotten on screen would hold every other dialog of the
// process back (one at a time); past this it is closed as cancelled.
constexpr std::chrono::minutes kFileChooserDeadline{10};

}  // namespace

HRESULT ChooseFile(const FileChoice& request, std::string* path, StepTrace& trace) {
  if (!path) return E_POINTER;
  path->clear();

  trace.Step(u"Check request");
  const std::string text = EncodeFileChoiceRequest(request);
  FileChoice checked;
  if (!DecodeFileChoiceRequest(text, &checked)) {
    trace.Failed(E_INVALIDARG, u"malformed request");
    return E_INVALIDARG;
  }
  TraceValue(kTraceGuidUi, "origin", checked.origin.c_str());
  TraceValue(kTraceGuidUi, "mode", checked.save ? "save" : "open");
  trace.Passed();

  const char* standIn = std::getenv(kFileChooserPathVariable);
  const bool bStandIn = standIn != nullptr && *standIn != '\0';
  trace.Step(u"Check display");
  if (!bStandIn && !HasDisplay()) {
    trace.Failed(E_FAIL, u"DISPLAY == NULL && WAYLAND_DISPLAY == NULL");
    return E_FAIL;
  }
  trace.Passed();

  trace.Step(u"Find npsigil-select-dialog");
  const std::string program = HelperProgramPath(kFileChooserPathVariable, kHelperProgram);
  if (program.empty()) {
    trace.Failed(E_FAIL, u"no helper program");
    return E_FAIL;
  }
  TraceValue(kTraceGuidUi, "program", program.c_str());
  trace.Passed();

  HelperLimits limits;
  limits.maxAnswerBytes = kMaxFileChoiceAnswerBytes;
  limits.deadline = kFileChooserDeadline;
  HelperResult result;
  const HRESULT hRun = RunHelperProcess(program, text, limits, &result, trace);
  if (hRun == kHelperTimedOut) return kFileChoiceCancelled;
  if (FAILED(hRun)) return hRun;

  trace.Step(u"DecodeFileChoiceAnswer");
  FileChoiceAnswer answer;
  if (result.output.empty()) {
    trace.Failed(E_FAIL, u"no answer");
    return E_FAIL;
  }
  if (!DecodeFileChoiceAnswer(result.output, &answer)) {
    trace.Failed(E_FAIL, u"malformed answer");
    return E_FAIL;
  }
  if (answer.outcome == FileChoiceOutcome::kFailed) {
    const HRESULT failure = FAILED(answer.failure) ? answer.failure : E_FAIL;
    trace.Failed(failure, u"failed answer");
    return failure;
  }
  if (answer.outcome == FileChoiceOutcome::kCancelled) {
    trace.Passed();
    return kFileChoiceCancelled;
  }
  if (!result.exitedCleanly) {
    trace.Failed(E_FAIL, u"choice from a helper that did not exit cleanly");
    return E_FAIL;
  }
  // The helper refuses an existing name in save mode; checked again here
  // because a page's output must never land on a file the user did not
  // mean to replace, whoever answered.
  struct stat st {};
  if (checked.save && ::lstat(answer.path.c_str(), &st) == 0) {
    trace.Failed(kFileExists, u"save over an existing file");
    return kFileExists;
  }
  trace.Passed();
  *path = std::move(answer.path);
  return S_OK;
}

}  // namespace ui
