// The system's trace provider: switches, records and the scope object that
// marks function entry and exit. Tracing never fails an operation and never
// changes the thread's last error.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <source_location>

#include "platform/base/WinTypes.h"

// Enable flags, as the writers test them.
inline constexpr ULONG TRACE_FLAG_ENGINE = 0x1;  // engine failure lines, a few plug-in errors
inline constexpr ULONG TRACE_FLAG_ERROR = 0x2;   // agent and adapter failure lines
inline constexpr ULONG TRACE_FLAG_INFO = 0x4;    // steps, traced values, engine success lines
inline constexpr ULONG TRACE_FLAG_FUNC = 0x8;    // function entry and exit

// Record numbers.
inline constexpr USHORT TRACE_MSG_ENTER = 10;
inline constexpr USHORT TRACE_MSG_EXIT = 11;
inline constexpr USHORT TRACE_MSG_FAILURE = 12;      // wide failure line, result code
inline constexpr USHORT TRACE_MSG_STEP = 13;         // wide step line, result code
inline constexpr USHORT TRACE_MSG_ENGINE_OK = 10;    // narrow success line
inline constexpr USHORT TRACE_MSG_ENGINE_FAIL = 11;  // narrow failure line
inline constexpr USHORT TRACE_MSG_VALUE_W = 20;      // name (narrow), value (wide)
inline constexpr USHORT TRACE_MSG_VALUE_A = 21;      // name (narrow), value (narrow)
inline constexpr USHORT TRACE_MSG_VALUE_INT = 22;    // name (narrow), value (32-bit)

// The provider's control GUID {5C8F2A58-369A-44F0-9235-C05ECB1DD73E}.
inline constexpr GUID kTraceControlGuid = {
    0x5C8F2A58, 0x369A, 0x44F0, {0x92, 0x35, 0xC0, 0x5E, 0xCB, 0x1D, 0xD7, 0x3E}};

// Message GUIDs, one per subsystem that writes records.
extern const GUID kTraceGuidHelper;    // TraceHelper entry/exit
extern const GUID kTraceGuidPlugin;    // plug-in layer
extern const GUID kTraceGuidAgent;     // crypto agent
extern const GUID kTraceGuidWinsvc;    // certificate services, path gate
extern const GUID kTraceGuidEngine;    // SM2 message engine and utilities
extern const GUID kTraceGuidUi;        // selection dialog
extern const GUID kTraceGuidRegister;  // trust installation

// One record argument: a pointer and a byte length.
struct TraceArg {
  const void* data;
  std::size_t size;
};
// Wide text with its terminator; null becomes "NULL", empty becomes "<NULL>".
TraceArg TraceArgW(LPCWSTR text);
// Narrow text with its terminator; null becomes "NULL", empty stays empty.
TraceArg TraceArgA(LPCSTR text);
// A 32-bit value; the reference must outlive the record call.
inline TraceArg TraceArgU32(const std::uint32_t& value) { return {&value, sizeof value}; }
inline TraceArg TraceArgI32(const std::int32_t& value) { return {&value, sizeof value}; }

void StartTracing();  // first thing in NP_Initialize
void StopTracing();   // NP_Shutdown
bool IsTraceOn(ULONG flag);

// Sends one record when tracing is on for the flag; silent otherwise.
void TraceRecord(ULONG flag, const GUID& messageGuid, USHORT number,
                 std::initializer_list<TraceArg> args);

// Record 12 (flag 0x2) for a negative code, else record 13 (flag 0x4).
void TraceResult(const GUID& messageGuid, HRESULT code, LPCWSTR line);

// Informational single values (flag 0x4).
void TraceValue(const GUID& messageGuid, LPCSTR name, LPCWSTR value);
void TraceValue(const GUID& messageGuid, LPCSTR name, LPCSTR value);
void TraceValue(const GUID& messageGuid, LPCSTR name, std::uint32_t value);

// Writes the entry record on construction and the exit record on destruction,
// keeping the thread's last error as it was.
class TraceHelper {
 public:
  explicit TraceHelper(LPCSTR functionName);
  virtual ~TraceHelper();
  TraceHelper(const TraceHelper&) = delete;
  TraceHelper& operator=(const TraceHelper&) = delete;

 private:
  LPCSTR m_pszFunctionName;
};

inline constexpr std::size_t TRACE_LINE_CHARS = 512;

// Wide lines of the plug-in layer, agent and certificate services.
// "%ws - %ws"
void FormatStepLine(WCHAR (&line)[TRACE_LINE_CHARS], LPCWSTR function, LPCWSTR step);
// "[%ws(%d):] %ws - %ws [Reason:%ws]"
void FormatFailureLine(WCHAR (&line)[TRACE_LINE_CHARS], LPCWSTR sourceFile, int lineNumber,
                       LPCWSTR function, LPCWSTR step, LPCWSTR reason);

// The step pattern every wide-tracing operation follows: announce a step,
// report it passed (record 13 when informational lines are on) or failed
// (failure line through TraceResult, which returns the code for chaining).
class StepTrace {
 public:
  StepTrace(const GUID& messageGuid, LPCWSTR sourceFile, LPCWSTR function);
  void Step(LPCWSTR step);
  void Passed(HRESULT code = S_OK);
  HRESULT Failed(HRESULT code, LPCWSTR reason,
                 std::source_location where = std::source_location::current());
  // The last line written (step or failure), for tests and callers that
  // need to quote it.
  LPCWSTR Line() const { return m_line; }

 private:
  const GUID& m_guid;
  LPCWSTR m_sourceFile;
  LPCWSTR m_function;
  LPCWSTR m_step = u"";
  WCHAR m_line[TRACE_LINE_CHARS] = {};
};

// Narrow lines of the SM2 message engine:
// "[%s(%d)]:(%s -- %s)\t\t--OK\n" as record 10 (flag 0x4) and
// "[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x) [Reason:%s]\n" as record 11
// (flag 0x1), optionally followed by " Openssl <last library error>".
class EngineTrace {
 public:
  EngineTrace(LPCSTR sourceFile, LPCSTR function);
  void Ok(LPCSTR step, std::source_location where = std::source_location::current());
  // Returns the code so that callers can write `return trace.Failed(...)`.
  int Failed(LPCSTR step, int code, LPCSTR reason,
             std::source_location where = std::source_location::current());
  int FailedWithLibraryError(LPCSTR step, int code, LPCSTR reason,
                             std::source_location where = std::source_location::current());
  // A progress line in the caller's own words, e.g. "Once read file size:
  // %lld\n", sent as a success record. Formatted only when it will be sent.
  void Note(LPCSTR format, ...) __attribute__((format(printf, 2, 3)));

 private:
  LPCSTR m_sourceFile;
  LPCSTR m_function;
};
