// Sending one record: through TraceMessage when the platform has it, else as
// an ordinary trace event carrying the same data.
#include <cstring>
#include <memory>
#include <new>

#include "platform/base/LastError.h"
#include "trace/TraceInternal.h"

namespace {

using PFN_TRACE_MESSAGE = ULONG (*)(TRACEHANDLE, ULONG, const GUID*, UINT, ...);
using PFN_TRACE_MESSAGE_VA = ULONG (*)(TRACEHANDLE, ULONG, const GUID*, USHORT, va_list);

// Sequence number, GUID, time stamp and system information in each record.
constexpr ULONG kTraceMessageFlags = TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID |
                                     TRACE_MESSAGE_TIMESTAMP | TRACE_MESSAGE_SYSTEMINFO;
constexpr UCHAR kEventClassType = 255;
constexpr std::size_t kMaxSeparateFields = 7;  // beside the message number
// Records with more arguments go out as events with one joined field.
constexpr std::size_t kMaxMessageArgs = 16;

PFN_TRACE_MESSAGE g_pfnTraceMessage = nullptr;
PFN_TRACE_MESSAGE_VA g_pfnTraceMessageVa = nullptr;
bool g_bForceTraceEvent = false;

// A null data pointer would end the argument list early.
const void* ArgData(const TraceArg& arg) { return arg.data ? arg.data : ""; }
std::size_t ArgSize(const TraceArg& arg) { return arg.data ? arg.size : 0; }

// Expands the list into (data, length) pairs of the variadic call, one
// instantiation per argument count.
template <typename... Pairs>
ULONG SendMessage(TRACEHANDLE hLogger, const GUID* pGuid, USHORT usNumber, const TraceArg* pArg,
                  const TraceArg* pEnd, Pairs... pairs) {
  if (pArg == pEnd)
    return g_pfnTraceMessage(hLogger, kTraceMessageFlags, pGuid, usNumber, pairs...,
                             static_cast<const void*>(nullptr));
  if constexpr (sizeof...(Pairs) < 2 * kMaxMessageArgs) {
    return SendMessage(hLogger, pGuid, usNumber, pArg + 1, pEnd, pairs..., ArgData(*pArg),
                       ArgSize(*pArg));
  } else {
    return ERROR_INVALID_PARAMETER;
  }
}

struct MofEvent {
  EVENT_TRACE_HEADER Header;
  MOF_FIELD Fields[1 + kMaxSeparateFields];
};

ULONG64 MofPointer(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

void SendEvent(TRACEHANDLE hLogger, const GUID& guid, USHORT usNumber,
               std::initializer_list<TraceArg> args, std::size_t cbTotal) {
  MofEvent event{};
  event.Header.Class.Type = kEventClassType;
  event.Header.Flags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_GUID_PTR | WNODE_FLAG_USE_MOF_PTR;
  event.Header.GuidPtr = MofPointer(&guid);
  event.Fields[0] = {MofPointer(&usNumber), sizeof usNumber, 0};
  std::size_t cFields = 1;
  std::unique_ptr<BYTE[]> pbJoined;
  if (args.size() <= kMaxSeparateFields) {
    for (const TraceArg& arg : args)
      event.Fields[cFields++] = {MofPointer(ArgData(arg)), static_cast<ULONG>(ArgSize(arg)), 0};
  } else {
    pbJoined.reset(new (std::nothrow) BYTE[cbTotal + 1]);
    if (!pbJoined) return;
    BYTE* pbNext = pbJoined.get();
    for (const TraceArg& arg : args) {
      std::memcpy(pbNext, ArgData(arg), ArgSize(arg));
      pbNext += ArgSize(arg);
    }
    event.Fields[cFields++] = {MofPointer(pbJoined.get()), static_cast<ULONG>(cbTotal), 0};
  }
  event.Header.Size = static_cast<USHORT>(sizeof(EVENT_TRACE_HEADER) + cFields * sizeof(MOF_FIELD));
  TraceEvent(hLogger, &event.Header);
}

}  // namespace

namespace trace_internal {

void LoadTraceMessageServices() {
  g_pfnTraceMessage = nullptr;
  g_pfnTraceMessageVa = nullptr;
  if (HMODULE hAdvapi = GetModuleHandleW(u"advapi32")) {
    g_pfnTraceMessage =
        reinterpret_cast<PFN_TRACE_MESSAGE>(GetProcAddress(hAdvapi, "TraceMessage"));
    g_pfnTraceMessageVa =
        reinterpret_cast<PFN_TRACE_MESSAGE_VA>(GetProcAddress(hAdvapi, "TraceMessageVa"));
  }
}

void ForceTraceEventPath(bool force) { g_bForceTraceEvent = force; }

}  // namespace trace_internal

void TraceRecord(ULONG flag, const GUID& messageGuid, USHORT number,
                 std::initializer_list<TraceArg> args) {
  if (!IsTraceOn(flag)) return;
  LastErrorKeeper keeper;
  const trace_internal::TraceControlEntry* pEntry = trace_internal::ControlListHead();
  if (!pEntry) return;
  const TRACEHANDLE hLogger = pEntry->hLogger.load(std::memory_order_relaxed);
  if (hLogger == 0) return;
  std::size_t cbTotal = 0;
  for (const TraceArg& arg : args) {
    if (ArgSize(arg) > TRACE_MESSAGE_MAXIMUM_SIZE - cbTotal) return;  // too big, or overflows
    cbTotal += ArgSize(arg);
  }
  if (g_pfnTraceMessage && g_pfnTraceMessageVa && !g_bForceTraceEvent &&
      args.size() <= kMaxMessageArgs)
    SendMessage(hLogger, &messageGuid, number, args.begin(), args.end());
  else
    SendEvent(hLogger, messageGuid, number, args, cbTotal);
}

TraceArg TraceArgW(LPCWSTR text) {
  static constexpr WCHAR kNull[] = u"NULL";
  static constexpr WCHAR kEmpty[] = u"<NULL>";
  if (!text) return {kNull, sizeof kNull};
  if (!*text) return {kEmpty, sizeof kEmpty};
  std::size_t cch = 0;
  while (text[cch]) ++cch;
  return {text, (cch + 1) * sizeof(WCHAR)};
}

TraceArg TraceArgA(LPCSTR text) {
  static constexpr char kNull[] = "NULL";
  if (!text) return {kNull, sizeof kNull};
  return {text, std::strlen(text) + 1};
}

void TraceResult(const GUID& messageGuid, HRESULT code, LPCWSTR line) {
  LastErrorKeeper keeper;
  const std::int32_t nCode = code;
  if (FAILED(code))
    TraceRecord(TRACE_FLAG_ERROR, messageGuid, TRACE_MSG_FAILURE,
                {TraceArgW(line), TraceArgI32(nCode)});
  else
    TraceRecord(TRACE_FLAG_INFO, messageGuid, TRACE_MSG_STEP,
                {TraceArgW(line), TraceArgI32(nCode)});
}

void TraceValue(const GUID& messageGuid, LPCSTR name, LPCWSTR value) {
  LastErrorKeeper keeper;
  TraceRecord(TRACE_FLAG_INFO, messageGuid, TRACE_MSG_VALUE_W, {TraceArgA(name), TraceArgW(value)});
}

void TraceValue(const GUID& messageGuid, LPCSTR name, LPCSTR value) {
  LastErrorKeeper keeper;
  TraceRecord(TRACE_FLAG_INFO, messageGuid, TRACE_MSG_VALUE_A, {TraceArgA(name), TraceArgA(value)});
}

void TraceValue(const GUID& messageGuid, LPCSTR name, std::uint32_t value) {
  LastErrorKeeper keeper;
  TraceRecord(TRACE_FLAG_INFO, messageGuid, TRACE_MSG_VALUE_INT,
              {TraceArgA(name), TraceArgU32(value)});
}

TraceHelper::TraceHelper(LPCSTR functionName) : m_pszFunctionName(functionName) {
  LastErrorKeeper keeper;
  TraceRecord(TRACE_FLAG_FUNC, kTraceGuidHelper, TRACE_MSG_ENTER, {TraceArgA(m_pszFunctionName)});
}

TraceHelper::~TraceHelper() {
  LastErrorKeeper keeper;
  TraceRecord(TRACE_FLAG_FUNC, kTraceGuidHelper, TRACE_MSG_EXIT, {TraceArgA(m_pszFunctionName)});
}
