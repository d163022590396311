// The one pattern every script method follows: check the arguments, turn
// script strings into wide texts, call the agent, hand the answer back.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "platform/base/Bstr.h"
#include "platform/base/WinTypes.h"
#include "plugin/npapi.h"
#include "trace/Trace.h"

namespace plugin {

enum class ArgKind { String, Boolean };

// How a text argument appears in the trace: a trace file is readable long
// after the call, so passwords never appear and contents only by length.
enum class Shown { Value, Masked, Length };

struct AdapterArg {
  LPCWSTR label;  // as the trace lines name it
  ArgKind kind = ArgKind::String;
  Shown shown = Shown::Value;
};

struct ScriptMethod {
  LPCSTR function;     // "CScriptablePluginObject::npSignMsgPKCS7"
  LPCWSTR functionW;   // the same, wide, for step and failure lines
  LPCWSTR sourceFile;  // "npMessageSigning"
  std::span<const AdapterArg> args;
  LPCWSTR agentStep;    // "m_objCryptoAgent.SignMsgPKCS7"
  LPCWSTR resultLabel;  // "Reture Signature" (text methods only); traced by length only
};

// Copies an NPString into a new terminated narrow text.
HRESULT ConverNPStringtoNULLEndString(LPSTR* ppszOut, const NPUTF8* pChars, std::uint32_t nLength);
// Informational records: the count and each argument's type and value.
void TraceParameterInfo(const NPVariant* args, std::uint32_t argCount);
// Hands a terminated UTF-8 text to script in browser-allocated memory.
bool ReturnUTF8String(LPCSTR pszText, NPVariant* result);

class AdapterCall {
 public:
  // `where` is the adapter's own call site, which the failure lines quote.
  AdapterCall(const ScriptMethod& method, const NPVariant* args, std::uint32_t argCount,
              std::source_location where = std::source_location::current());
  ~AdapterCall();
  AdapterCall(const AdapterCall&) = delete;
  AdapterCall& operator=(const AdapterCall&) = delete;

  // Count and types; a mismatch is traced with E_INVALIDARG.
  bool CheckArguments();
  // Every string argument to a wide text, in order.
  bool ConvertArguments();
  LPCWSTR Text(std::size_t index) const { return m_texts[index].get(); }
  VARIANT_BOOL Flag(std::size_t index) const;
  // Traces the agent step and judges its result.
  bool AgentCall(HRESULT hResult);
  // The agent's text answer back to script.
  bool ReturnText(BSTR bstrResult, NPVariant* result);

 private:
  bool Fail(HRESULT hResult, LPCWSTR reason);

  TraceHelper m_trace;
  const ScriptMethod& m_method;
  const NPVariant* m_args;
  std::uint32_t m_argCount;
  std::source_location m_where;
  StepTrace m_step;
  std::unique_ptr<std::unique_ptr<WCHAR[]>[]> m_texts;
};

// A text method: the result is a string, or null after a failure.
template <typename Call>
bool RunTextAdapter(const ScriptMethod& method, const NPVariant* args, std::uint32_t argCount,
                    NPVariant* result, Call&& callAgent,
                    std::source_location where = std::source_location::current()) {
  AdapterCall call(method, args, argCount, where);
  BSTR bstrResult = nullptr;
  const bool ok = call.CheckArguments() && call.ConvertArguments() &&
                  call.AgentCall(callAgent(call, &bstrResult)) &&
                  call.ReturnText(bstrResult, result);
  SysFreeString(bstrResult);
  if (!ok) {
    result->type = NPVariantType_Null;
    result->value = {};
  }
  return ok;
}

// A boolean method: the result is always a boolean, false after any failure;
// the call succeeds only when the agent's result is not negative.
template <typename Call>
bool RunBooleanAdapter(const ScriptMethod& method, const NPVariant* args, std::uint32_t argCount,
                       NPVariant* result, Call&& callAgent,
                       std::source_location where = std::source_location::current()) {
  AdapterCall call(method, args, argCount, where);
  VARIANT_BOOL bResult = VARIANT_FALSE;
  const bool ok =
      call.CheckArguments() && call.ConvertArguments() && call.AgentCall(callAgent(call, &bResult));
  result->type = NPVariantType_Bool;
  result->value = {};
  result->value.boolValue = bResult != VARIANT_FALSE;
  return ok;
}

}  // namespace plugin
