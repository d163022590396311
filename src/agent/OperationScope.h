// What every scripted agent operation does around its own work: entry and
// exit records, outputs cleared on entry and settled on exit, and the checks
// that open an operation, each traced as a step and failing with its code.
#pragma once

#include <deque>
#include <initializer_list>
#include <source_location>
#include <string>

#include "platform/base/WinTypes.h"
#include "trace/Trace.h"
#include "winsvc/FilePathSafety.h"

namespace agent {

class PasswordTry;

// A text argument and the name it is traced and quoted under.
struct TextInput {
  LPCSTR name;
  LPCWSTR value;
};

// What a text output still null at the end becomes.
enum class TextOnExit {
  Empty,     // an empty BSTR: script always gets a string back
  LeaveNull  // the signing routine owns the output, so a failure may leave it null
};

// One traced step of work after an operation's opening: passed when it
// passed, else the failure line with its reason and code, and false.
bool TraceCheck(StepTrace& trace, LPCWSTR step, bool passed, HRESULT failure, LPCWSTR reason,
                std::source_location where = std::source_location::current());
// The same for a call's result, which passes when it succeeded. Returns
// hResult so that a caller can stop on it.
HRESULT TraceStep(StepTrace& trace, LPCWSTR step, HRESULT hResult, LPCWSTR reason,
                  std::source_location where = std::source_location::current());

// Script's type and algorithm names compare without regard to case; a null
// value is no name at all.
bool IsTypeName(LPCWSTR value, LPCWSTR name);

// Check methods return true when the check passed; on failure the step is
// traced with its reason, Result() holds the code and the caller stops.
class OperationScope {
 public:
  OperationScope(LPCWSTR sourceFile, LPCSTR function, BSTR* pbstrOutput,
                 std::initializer_list<TextInput> inputs, TextOnExit onExit = TextOnExit::Empty);
  OperationScope(LPCWSTR sourceFile, LPCSTR function, VARIANT_BOOL* pbOutput,
                 std::initializer_list<TextInput> inputs);
  ~OperationScope();
  OperationScope(const OperationScope&) = delete;
  OperationScope& operator=(const OperationScope&) = delete;

  // Null or empty fails with E_INVALIDARG; the step defaults to
  // "Check parameter(<name>)".
  bool RequireText(const TextInput& input,
                   std::source_location where = std::source_location::current());
  bool RequireText(const TextInput& input, LPCWSTR step,
                   std::source_location where = std::source_location::current());

  // A side counts as ready when either member of its pair is set.
  bool RequireSignCertificate(const void* pCertContext, const void* pUnregisteredCertContext,
                              LPCWSTR step = u"Check certificate is ready?",
                              std::source_location where = std::source_location::current());
  bool RequireEncryptCertificate(const void* pCertContext, const void* pUnregisteredCertContext,
                                 LPCWSTR step = u"Check certificate is ready?",
                                 std::source_location where = std::source_location::current());

  // A missing path fails with the converted last error.
  bool RequireExistingFile(LPCWSTR path,
                           std::source_location where = std::source_location::current());
  // The path gate; its code passes through unchanged. On success `path`
  // names what the gate checked, held open by this scope until the
  // operation ends, so that nothing swapped in between is reached.
  bool RequireSafePath(LPCWSTR& path, int outputFile,
                       std::source_location where = std::source_location::current());
  // The gate for a soft-certificate file, which is also refused when it is
  // larger than any soft certificate can be (it is read whole).
  bool RequireSoftCertFile(LPCWSTR& path,
                           std::source_location where = std::source_location::current());
  // A password try for a page whose wait for that file still runs fails
  // with SIGIL_E_TOO_MANY_PASSWORDS, before the password is looked at.
  bool RequirePasswordTry(const PasswordTry& attempt,
                          std::source_location where = std::source_location::current());
  // One of the names, compared without regard to case; else E_INVALIDARG.
  bool RequireOneOf(LPCWSTR value, std::initializer_list<LPCWSTR> names, LPCWSTR step,
                    std::source_location where = std::source_location::current());

  // Ends an operation whose work is still to come.
  HRESULT NotImplemented(std::source_location where = std::source_location::current());

  HRESULT Result() const { return m_hResult; }
  StepTrace& Trace() { return m_trace; }

 private:
  OperationScope(LPCWSTR sourceFile, LPCSTR function, std::initializer_list<TextInput> inputs);
  bool Check(bool passed, HRESULT failure, LPCWSTR reason, std::source_location where);
  void Step(std::u16string step);  // the step the next Check traces

  TraceHelper m_helper;  // first in, last out: entry and exit frame every other record
  std::u16string m_function;
  StepTrace m_trace;
  std::u16string m_step;  // StepTrace keeps a pointer to it
  std::deque<CheckedFile> m_checkedFiles;  // stable addresses: paths point into them
  BSTR* m_pbstrOutput = nullptr;
  TextOnExit m_onExit = TextOnExit::Empty;
  HRESULT m_hResult = S_OK;
};

}  // namespace agent
