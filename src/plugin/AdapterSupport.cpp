#include "plugin/AdapterSupport.h"

#include <cstring>
#include <new>

#include "platform/base/Format.h"
#include "platform/base/WideString.h"
#include "plugin/BrowserFuncs.h"
#include "smengine/common/TextUtility.h"

namespace plugin {

HRESULT ConverNPStringtoNULLEndString(LPSTR* ppszOut, const NPUTF8* pChars, std::uint32_t nLength) {
  std::unique_ptr<char[]> text(new (std::nothrow) char[std::size_t{nLength} + 1]);
  if (!text) return E_OUTOFMEMORY;
  std::memset(text.get(), 0, std::size_t{nLength} + 1);
  if (nLength) std::memcpy(text.get(), pChars, nLength);
  *ppszOut = text.release();
  return S_OK;
}

void TraceParameterInfo(const NPVariant* args, std::uint32_t argCount) {
  if (!IsTraceOn(TRACE_FLAG_INFO)) return;
  TraceValue(kTraceGuidPlugin, "argCount", argCount);
  for (std::uint32_t i = 0; i < argCount; ++i) {
    const NPVariant& arg = args[i];
    char line[64] = {};
    switch (arg.type) {
      case NPVariantType_Void:
        sprintf_s(line, sizeof line, "args[%u]: void", i);
        break;
      case NPVariantType_Null:
        sprintf_s(line, sizeof line, "args[%u]: null", i);
        break;
      case NPVariantType_Bool:
        sprintf_s(line, sizeof line, "args[%u]: boolean %s", i,
                  arg.value.boolValue ? "true" : "false");
        break;
      case NPVariantType_Int32:
        sprintf_s(line, sizeof line, "args[%u]: int32 %d", i, arg.value.intValue);
        break;
      case NPVariantType_Double:
        sprintf_s(line, sizeof line, "args[%u]: double %g", i, arg.value.doubleValue);
        break;
      case NPVariantType_String:
        sprintf_s(line, sizeof line, "args[%u]: string of %u bytes", i,
                  arg.value.stringValue.UTF8Length);
        break;
      case NPVariantType_Object:
        sprintf_s(line, sizeof line, "args[%u]: object", i);
        break;
      default:
        sprintf_s(line, sizeof line, "args[%u]: other type %d", i, static_cast<int>(arg.type));
    }
    TraceValue(kTraceGuidPlugin, "argument", line);
  }
}

bool ReturnUTF8String(LPCSTR pszText, NPVariant* result) {
  if (!pszText) {
    TraceResult(kTraceGuidPlugin, E_POINTER, u"ReturnUTF8String - null text");
    return false;
  }
  const std::size_t nLength = std::strlen(pszText);
  auto* pBuffer = static_cast<char*>(NPN_MemAlloc(static_cast<std::uint32_t>(nLength + 1)));
  if (!pBuffer) {
    TraceResult(kTraceGuidPlugin, E_OUTOFMEMORY, u"ReturnUTF8String - NPN_MemAlloc");
    return false;
  }
  std::memset(pBuffer, 0, nLength + 1);
  std::memcpy(pBuffer, pszText, nLength);
  result->type = NPVariantType_String;
  result->value.stringValue = {pBuffer, static_cast<std::uint32_t>(nLength)};
  return true;
}

namespace {

void TraceLength(LPCSTR name, std::size_t length) {
  if (!IsTraceOn(TRACE_FLAG_INFO)) return;
  char line[48] = {};
  sprintf_s(line, sizeof line, "%u characters", length);
  TraceValue(kTraceGuidPlugin, name, line);
}

void TraceArgument(const AdapterArg& arg, LPCWSTR text, std::size_t length) {
  switch (arg.shown) {
    case Shown::Value:
      TraceValue(kTraceGuidPlugin, "argument", text);
      break;
    case Shown::Masked:
      TraceValue(kTraceGuidPlugin, "argument", u"***");
      break;
    case Shown::Length:
      TraceLength("argument", length);
      break;
  }
}

}  // namespace

AdapterCall::AdapterCall(const ScriptMethod& method, const NPVariant* args, std::uint32_t argCount,
                         std::source_location where)
    : m_trace(method.function),
      m_method(method),
      m_args(args),
      m_argCount(argCount),
      m_where(where),
      m_step(kTraceGuidPlugin, method.sourceFile, method.functionW),
      m_texts(new std::unique_ptr<WCHAR[]>[method.args.size() + 1]) {
  TraceParameterInfo(args, argCount);
}

AdapterCall::~AdapterCall() = default;

bool AdapterCall::Fail(HRESULT hResult, LPCWSTR reason) {
  m_step.Failed(hResult, reason, m_where);
  return false;
}

bool AdapterCall::CheckArguments() {
  m_step.Step(u"Check parameter");
  bool ok = m_argCount == m_method.args.size();
  for (std::size_t i = 0; ok && i < m_method.args.size(); ++i) {
    ok = m_method.args[i].kind == ArgKind::Boolean ? NPVARIANT_IS_BOOLEAN(m_args[i])
                                                   : NPVARIANT_IS_STRING(m_args[i]);
  }
  if (ok) {
    m_step.Passed();
    return true;
  }
  // The reason quotes the check as source text, as the other failure lines do.
  WCHAR reason[TRACE_LINE_CHARS] = {};
  std::size_t used = static_cast<std::size_t>(
      swprintf_s(reason, TRACE_LINE_CHARS, u"%u != argCount", unsigned(m_method.args.size())));
  for (std::size_t i = 0; i < m_method.args.size(); ++i) {
    const bool isBool = m_method.args[i].kind == ArgKind::Boolean;
    int n = _snwprintf_s(reason + used, TRACE_LINE_CHARS - used, _TRUNCATE, u"%ws!%ws(args[%u])",
                         i == 0 ? u" || " : u"|| ",
                         isBool ? u"NPVARIANT_IS_BOOLEAN" : u"NPVARIANT_IS_STRING", unsigned(i));
    if (n < 0) break;
    used += static_cast<std::size_t>(n);
  }
  return Fail(E_INVALIDARG, reason);
}

bool AdapterCall::ConvertArguments() {
  for (std::size_t i = 0; i < m_method.args.size(); ++i) {
    const AdapterArg& arg = m_method.args[i];
    if (arg.kind != ArgKind::String) continue;
    WCHAR step[TRACE_LINE_CHARS] = {};

    swprintf_s(step, TRACE_LINE_CHARS, u"ConverNPStringtoNULLEndString - %ws", arg.label);
    m_step.Step(step);
    LPSTR pszUtf8 = nullptr;
    const NPString& text = m_args[i].value.stringValue;
    HRESULT hResult = ConverNPStringtoNULLEndString(&pszUtf8, text.UTF8Characters, text.UTF8Length);
    if (FAILED(hResult)) return Fail(hResult, u"FAILED(hResult)");
    std::unique_ptr<char[]> utf8(pszUtf8);
    m_step.Passed();

    swprintf_s(step, TRACE_LINE_CHARS, u"UTF8ToUTF16 - %ws", arg.label);
    m_step.Step(step);
    LPWSTR pwszText = nullptr;
    int nLength = 0;
    hResult = UTF8ToUTF16(utf8.get(), &pwszText, &nLength);
    if (FAILED(hResult)) return Fail(hResult, u"FAILED(hResult)");
    m_texts[i].reset(pwszText);
    m_step.Passed();
    TraceArgument(arg, pwszText, wcslen(pwszText));
  }
  return true;
}

VARIANT_BOOL AdapterCall::Flag(std::size_t index) const {
  return m_args[index].value.boolValue ? VARIANT_TRUE : VARIANT_FALSE;
}

bool AdapterCall::AgentCall(HRESULT hResult) {
  m_step.Step(m_method.agentStep);
  if (FAILED(hResult)) return Fail(hResult, u"FAILED(hResult)");
  m_step.Passed(hResult);
  return true;
}

bool AdapterCall::ReturnText(BSTR bstrResult, NPVariant* result) {
  WCHAR step[TRACE_LINE_CHARS] = {};
  swprintf_s(step, TRACE_LINE_CHARS, u"UTF16ToUTF8 - %ws", m_method.resultLabel);
  m_step.Step(step);
  LPSTR pszUtf8 = nullptr;
  int nLength = 0;
  HRESULT hResult = UTF16ToUTF8(bstrResult, &pszUtf8, &nLength);
  if (FAILED(hResult)) return Fail(hResult, u"FAILED(hResult)");
  std::unique_ptr<char[]> utf8(pszUtf8);
  m_step.Passed();
  // Results are signatures that carry the message, envelopes and decrypted
  // plaintext: their length is all a trace needs.
  TraceLength("result", std::strlen(utf8.get()));

  m_step.Step(u"ReturnUTF8String");
  if (!ReturnUTF8String(utf8.get(), result))
    return Fail(E_OUTOFMEMORY, u"false == ReturnUTF8String");
  m_step.Passed();
  return true;
}

}  // namespace plugin
