// The consent prompt as the agent asks for it. Whatever keeps the user's
// own choice from reaching us reads as a refusal: an allow is only ever
// the helper's well-formed answer, from a helper that then ends cleanly.
#include <cstdlib>
#include <string>

#include "trace/Trace.h"
#include "ui/ConsentProtocol.h"
#include "ui/HelperProcess.h"

namespace ui {
namespace {

constexpr LPCWSTR kSourceUnit = u"ConsentPrompt";
constexpr char kHelperProgram[] = "npsigil-select-dialog";

ConsentResponse Refused(HRESULT failure, const char* why) {
  ConsentResponse response;
  response.answer = ConsentAnswer::kDeny;
  response.failure = failure;
  response.message = why;
  return response;
}

const char* AnswerName(ConsentAnswer answer) {
  switch (answer) {
    case ConsentAnswer::kAllowOnce:
      return "allow-once";
    case ConsentAnswer::kAllowAlways:
      return "allow-always";
    case ConsentAnswer::kDeny:
      return "deny";
    case ConsentAnswer::kFailed:
      return "failed";
  }
  return "deny";
}

}  // namespace

ConsentResponse RunConsentPrompt(const ConsentRequest& request) {
  TraceHelper helper("RunConsentPrompt");
  StepTrace trace(kTraceGuidUi, kSourceUnit, u"RunConsentPrompt");

  // What the helper would refuse is not sent: the same decoder checks it.
  trace.Step(u"Check request");
  const std::string text = EncodeConsentRequest(request);
  ConsentRequest checked;
  if (!DecodeConsentRequest(text, &checked)) {
    trace.Failed(E_INVALIDARG, u"malformed request");
    return Refused(E_INVALIDARG, "malformed request");
  }
  TraceValue(kTraceGuidUi, "origin", checked.origin.c_str());
  TraceValue(kTraceGuidUi, "method", checked.method.c_str());
  trace.Passed();

  // A stand-in program (tests, demos) answers without a screen; our own
  // window needs one.
  const char* standIn = std::getenv(kConsentDialogPathVariable);
  const bool bStandIn = standIn != nullptr && *standIn != '\0';
  trace.Step(u"Check display");
  if (!bStandIn && !HasDisplay()) {
    trace.Failed(E_FAIL, u"DISPLAY == NULL && WAYLAND_DISPLAY == NULL");
    return Refused(E_FAIL, "no display");
  }
  trace.Passed();

  trace.Step(u"Find npsigil-select-dialog");
  const std::string program = HelperProgramPath(kConsentDialogPathVariable, kHelperProgram);
  if (program.empty()) {
    trace.Failed(E_FAIL, u"dladdr");
    return Refused(E_FAIL, "no helper program");
  }
  TraceValue(kTraceGuidUi, "program", program.c_str());
  trace.Passed();

  HelperLimits limits;
  limits.maxAnswerBytes = kMaxConsentAnswerBytes;
  limits.deadline = kConsentDeadline;
  HelperResult result;
  const HRESULT hRun = RunHelperProcess(program, text, limits, &result, trace);
  if (FAILED(hRun)) return Refused(hRun, "the helper gave no answer");

  trace.Step(u"DecodeConsentResponse");
  ConsentResponse response;
  if (result.output.empty()) {
    trace.Failed(E_FAIL, u"no answer");
    return Refused(E_FAIL, "no answer");
  }
  if (!DecodeConsentResponse(result.output, &response)) {
    trace.Failed(E_FAIL, u"malformed answer");
    return Refused(E_FAIL, "malformed answer");
  }
  if (response.answer == ConsentAnswer::kFailed) {
    if (!FAILED(response.failure)) response.failure = E_FAIL;
    trace.Failed(response.failure, u"failed answer");
    return response;
  }
  const bool allows = response.answer != ConsentAnswer::kDeny;
  if (allows && !result.exitedCleanly) {
    trace.Failed(E_FAIL, u"allow from a helper that did not exit cleanly");
    return Refused(E_FAIL, "the helper did not exit cleanly");
  }
  // The prompt never offers "always" to a page that is not secure, so such
  // an answer cannot be what the user saw; it still allows this once.
  if (response.answer == ConsentAnswer::kAllowAlways && !checked.secure)
    response.answer = ConsentAnswer::kAllowOnce;
  // A folder only where the prompt offers one: with an allow, for a page
  // that asked for files and came over a secure connection.
  if (!allows || !checked.asksFiles || !checked.secure) response.folder.clear();
  TraceValue(kTraceGuidUi, "answer", AnswerName(response.answer));
  if (!response.folder.empty()) TraceValue(kTraceGuidUi, "folder", "granted");
  trace.Passed();
  return response;
}

}  // namespace ui
