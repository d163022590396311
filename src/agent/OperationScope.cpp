#include "agent/OperationScope.h"

#include <cstring>
#include <string_view>

#include "agent/CryptoAgent.h"
#include "platform/Bstr.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/WideString.h"
#include "resources/ResultCodes.h"
#include "winsvc/FilePathSafety.h"

namespace agent {
namespace {

// Names here are ASCII identifiers, so widening is a plain copy.
std::u16string Widen(LPCSTR text) { return std::u16string(text, text + std::strlen(text)); }

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
  for (const TextInput& input : inputs) {
    // A trace file is no place for a password: record only whether one came.
    const bool secret = std::string_view(input.name).find("Password") != std::string_view::npos;
    LPCWSTR value = input.value;
    if (secret && value && *value) value = u"********";
    TraceValue(kTraceGuidAgent, input.name, value);
  }
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

bool OperationScope::RequireSafePath(LPCWSTR path, int outputFile, std::source_location where) {
  Step(u"IsMaliciousFilePathName");
  const HRESULT hResult = IsMaliciousFilePathName(path, outputFile);
  return Check(SUCCEEDED(hResult), hResult, u"FAILED(hResult)", where);
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
