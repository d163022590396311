#include "agent/OperationScope.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string_view>

#include "agent/CryptoAgent.h"
#include "agent/SiteConsent.h"
#include "platform/base/Bstr.h"
#include "platform/base/Format.h"
#include "platform/base/LastError.h"
#include "platform/fs/Paths.h"
#include "platform/base/WideString.h"
#include "resources/ResultCodes.h"

namespace agent {
namespace {

// Soft certificates are read whole: an SM2 one is a few KiB, a PKCS#12 file
// with a long chain well under this.
constexpr ULONGLONG kMaxSoftCertFileSize = 1u << 20;

// Names here are ASCII identifiers, so widening is a plain copy.
std::u16string Widen(LPCSTR text) { return std::u16string(text, text + std::strlen(text)); }

// A trace file outlives the call and may be read by others: passwords never
// appear in it, and what a page signs, encrypts or decrypts only by length.
void TraceInput(const TextInput& input) {
  const std::string_view name(input.name);
  if (name.find("Password") != std::string_view::npos) {
    // Whether one came at all still helps to read a failure.
    TraceValue(kTraceGuidAgent, input.name, input.value && *input.value ? u"***" : input.value);
    return;
  }
  static constexpr std::string_view kContents[] = {"bstrSourceData", "bstrMessage",
                                                   "bstrSourceMsg", "bstrSignature",
                                                   "bstrEnvelope"};
  if (std::find(std::begin(kContents), std::end(kContents), name) != std::end(kContents)) {
    if (!IsTraceOn(TRACE_FLAG_INFO)) return;
    char line[48] = {};
    sprintf_s(line, sizeof line, "%u characters", input.value ? wcslen(input.value) : 0);
    TraceValue(kTraceGuidAgent, input.name, line);
    return;
  }
  TraceValue(kTraceGuidAgent, input.name, input.value);
}

}  // namespace

bool TraceCheck(StepTrace& trace, LPCWSTR step, bool passed, HRESULT failure, LPCWSTR reason,
                std::source_location where) {
  trace.Step(step);
  if (passed) {
    trace.Passed();
    return true;
  }
  trace.Failed(failure, reason, where);
  return false;
}

HRESULT TraceStep(StepTrace& trace, LPCWSTR step, HRESULT hResult, LPCWSTR reason,
                  std::source_location where) {
  TraceCheck(trace, step, SUCCEEDED(hResult), hResult, reason, where);
  return hResult;
}

bool IsTypeName(LPCWSTR value, LPCWSTR name) { return value && _wcsicmp(value, name) == 0; }

OperationScope::OperationScope(LPCWSTR sourceFile, LPCSTR function,
                               std::initializer_list<TextInput> inputs)
    : m_helper(function),
      m_function(Widen(function)),
      m_trace(kTraceGuidAgent, sourceFile, m_function.c_str()) {
  for (const TextInput& input : inputs) TraceInput(input);
}

OperationScope::OperationScope(LPCWSTR sourceFile, LPCSTR function, BSTR* pbstrOutput,
                               std::initializer_list<TextInput> inputs, TextOnExit onExit)
    : OperationScope(sourceFile, function, inputs) {
  m_pbstrOutput = pbstrOutput;
  m_onExit = onExit;
  if (m_pbstrOutput) *m_pbstrOutput = nullptr;
}

OperationScope::OperationScope(LPCWSTR sourceFile, LPCSTR function, VARIANT_BOOL* pbOutput,
                               std::initializer_list<TextInput> inputs)
    : OperationScope(sourceFile, function, inputs) {
  if (pbOutput) *pbOutput = VARIANT_FALSE;
}

OperationScope::~OperationScope() {
  if (m_pbstrOutput && !*m_pbstrOutput && m_onExit == TextOnExit::Empty)
    *m_pbstrOutput = SysAllocString(u"");
}

void OperationScope::Step(std::u16string step) { m_step = std::move(step); }

bool OperationScope::Check(bool passed, HRESULT failure, LPCWSTR reason,
                           std::source_location where) {
  if (TraceCheck(m_trace, m_step.c_str(), passed, failure, reason, where)) return true;
  m_hResult = failure;
  return false;
}

bool OperationScope::RequireText(const TextInput& input, std::source_location where) {
  return RequireText(input, (u"Check parameter(" + Widen(input.name) + u")").c_str(), where);
}

bool OperationScope::RequireText(const TextInput& input, LPCWSTR step, std::source_location where) {
  Step(step);
  const std::u16string name = Widen(input.name);
  const std::u16string reason = u"(NULL == " + name + u" || 0 == wcslen(" + name + u"))";
  return Check(input.value && wcslen(input.value) != 0, E_INVALIDARG, reason.c_str(), where);
}

bool OperationScope::RequireSignCertificate(const void* pCertContext,
                                            const void* pUnregisteredCertContext, LPCWSTR step,
                                            std::source_location where) {
  Step(step);
  return Check(pCertContext || pUnregisteredCertContext, SIGIL_E_CERT_NOT_READY,
               u"NULL == m_pSignCertContext && NULL == m_pUnregisteredSignCertContext", where);
}

bool OperationScope::RequireEncryptCertificate(const void* pCertContext,
                                               const void* pUnregisteredCertContext, LPCWSTR step,
                                               std::source_location where) {
  Step(step);
  return Check(pCertContext || pUnregisteredCertContext, SIGIL_E_CERT_NOT_READY,
               u"NULL == m_pEncryptCertContext && NULL == m_pUnregisteredEncryptCertContext",
               where);
}

bool OperationScope::RequireExistingFile(LPCWSTR path, std::source_location where) {
  Step(u"PathFileExists");
  const BOOL bRetCode = PathFileExistsW(path);
  // Read at once: nothing may touch the last error in between.
  const HRESULT hResult = bRetCode ? S_OK : ResultFromLastError(GetLastError());
  return Check(bRetCode != FALSE, hResult, u"bRetCode == FALSE", where);
}

bool OperationScope::RequireSafePath(LPCWSTR& path, int outputFile, std::source_location where) {
  Step(u"IsMaliciousFilePathName");
  CheckedFile checked;
  const HRESULT hResult = OpenCheckedFilePath(path, outputFile, &checked);
  if (!Check(SUCCEEDED(hResult), hResult, u"FAILED(hResult)", where)) return false;
  path = m_checkedFiles.emplace_back(std::move(checked)).OpenPath();
  return true;
}

bool OperationScope::RequireSoftCertFile(LPCWSTR& path, std::source_location where) {
  if (!RequireSafePath(path, 0, where)) return false;
  Step(u"Check soft certificate size");
  return Check(m_checkedFiles.back().Size() <= kMaxSoftCertFileSize, SIGIL_E_FILE_TOO_LARGE,
               u"dwFileSize > MAX_SOFT_CERT_FILE_SIZE", where);
}

bool OperationScope::RequirePasswordTry(const PasswordTry& attempt, std::source_location where) {
  Step(u"Check password tries");
  return Check(attempt.Allowed(), SIGIL_E_TOO_MANY_PASSWORDS, u"wait for the next try running",
               where);
}

bool OperationScope::RequireOneOf(LPCWSTR value, std::initializer_list<LPCWSTR> names, LPCWSTR step,
                                  std::source_location where) {
  Step(step);
  bool known = false;
  for (LPCWSTR name : names) known = known || IsTypeName(value, name);
  return Check(known, E_INVALIDARG, u"TRUE", where);
}

HRESULT OperationScope::NotImplemented(std::source_location where) {
  Step(u"Not implemented");
  Check(false, E_NOTIMPL, u"TRUE", where);
  return m_hResult;
}

}  // namespace agent
