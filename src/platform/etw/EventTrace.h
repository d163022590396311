// Event tracing in the shape of the Windows calls (classic providers and the
// software-tracing TraceMessage), with loggers of our own: in-process sinks,
// a file logger switched on through NPSIGIL_TRACE, and the global logger
// configured in the machine registry.
//
// NPSIGIL_TRACE="flags=0xF,level=5,file=/path/to/trace.log" enables every
// provider as it registers. Flags are hex (0x...) or decimal and default to
// all bits, level defaults to 5; "file" takes the rest of the text and
// defaults to standard error. A malformed value is ignored.
#pragma once

#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/base/WinTypes.h"

using TRACEHANDLE = std::uint64_t;

enum WMIDPREQUESTCODE : int {
  WMI_GET_ALL_DATA = 0,
  WMI_ENABLE_EVENTS = 4,
  WMI_DISABLE_EVENTS = 5,
};

// The provider's control callback; Buffer is a WNODE_HEADER for enable.
using WMIDPREQUEST = ULONG (*)(int RequestCode, PVOID RequestContext, ULONG* BufferSize,
                               PVOID Buffer);

inline constexpr ULONG WNODE_FLAG_TRACED_GUID = 0x00020000;
inline constexpr ULONG WNODE_FLAG_USE_GUID_PTR = 0x00080000;
inline constexpr ULONG WNODE_FLAG_USE_MOF_PTR = 0x00100000;

struct WNODE_HEADER {
  ULONG BufferSize;
  ULONG ProviderId;
  ULONG64 HistoricalContext;  // the logger handle
  ULONG64 TimeStamp;
  GUID Guid;
  ULONG ClientContext;
  ULONG Flags;
};
static_assert(sizeof(WNODE_HEADER) == 48);

// Laid out as on 32-bit Windows (LoggerThreadId is a 32-bit handle there),
// which makes the block 120 bytes.
struct EVENT_TRACE_PROPERTIES {
  WNODE_HEADER Wnode;
  ULONG BufferSize;
  ULONG MinimumBuffers;
  ULONG MaximumBuffers;
  ULONG MaximumFileSize;
  ULONG LogFileMode;
  ULONG FlushTimer;
  ULONG EnableFlags;
  LONG AgeLimit;
  ULONG NumberOfBuffers;
  ULONG FreeBuffers;
  ULONG EventsLost;
  ULONG BuffersWritten;
  ULONG LogBuffersLost;
  ULONG RealTimeBuffersLost;
  ULONG LoggerThreadId;
  ULONG LogFileNameOffset;
  ULONG LoggerNameOffset;
};
static_assert(sizeof(EVENT_TRACE_PROPERTIES) == 120);

inline constexpr ULONG EVENT_TRACE_CONTROL_QUERY = 0;
inline constexpr LPCWSTR GLOBAL_LOGGER_NAME = u"GlobalLogger";

struct EVENT_TRACE_HEADER {
  USHORT Size;  // header plus the MOF fields that follow it
  USHORT FieldTypeFlags;
  struct {
    UCHAR Type;
    UCHAR Level;
    USHORT Version;
  } Class;
  ULONG ThreadId;
  ULONG ProcessId;
  ULONG64 TimeStamp;
  union {
    GUID Guid;
    ULONG64 GuidPtr;  // with WNODE_FLAG_USE_GUID_PTR
  };
  ULONG ClientContext;
  ULONG Flags;
};
static_assert(sizeof(EVENT_TRACE_HEADER) == 48);

// With WNODE_FLAG_USE_MOF_PTR the header is followed by these fields.
struct MOF_FIELD {
  ULONG64 DataPtr;
  ULONG Length;
  ULONG DataType;
};
inline constexpr std::size_t MAX_MOF_FIELDS = 16;

// TraceMessage flags: what the logger adds to each record.
inline constexpr ULONG TRACE_MESSAGE_SEQUENCE = 0x01;
inline constexpr ULONG TRACE_MESSAGE_GUID = 0x02;
inline constexpr ULONG TRACE_MESSAGE_COMPONENTID = 0x04;
inline constexpr ULONG TRACE_MESSAGE_TIMESTAMP = 0x08;
inline constexpr ULONG TRACE_MESSAGE_SYSTEMINFO = 0x20;

// Records whose data exceed this many bytes are dropped.
inline constexpr std::size_t TRACE_MESSAGE_MAXIMUM_SIZE = 8192;

// Registers one control GUID; the callback may run before this returns when
// a logger already wants the provider. traceGuidReg and the MOF names are
// accepted and ignored.
ULONG RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext,
                          const GUID* ControlGuid, ULONG GuidCount, void* TraceGuidReg,
                          LPCWSTR MofImagePath, LPCWSTR MofResourceName,
                          TRACEHANDLE* RegistrationHandle);
ULONG UnregisterTraceGuids(TRACEHANDLE RegistrationHandle);

// Readers of the enable request handed to the control callback.
TRACEHANDLE GetTraceLoggerHandle(PVOID Buffer);
ULONG GetTraceEnableFlags(TRACEHANDLE TraceHandle);
UCHAR GetTraceEnableLevel(TRACEHANDLE TraceHandle);

// The arguments are pairs (const void* data, size_t length) ended by a null
// data pointer. The message number is a USHORT on the wire; it is declared
// with its promoted type because va_start on a USHORT parameter is undefined.
ULONG TraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, const GUID* MessageGuid,
                   UINT MessageNumber, ...);
ULONG TraceMessageVa(TRACEHANDLE LoggerHandle, ULONG MessageFlags, const GUID* MessageGuid,
                     USHORT MessageNumber, va_list MessageArgList);
ULONG TraceEvent(TRACEHANDLE LoggerHandle, EVENT_TRACE_HEADER* EventTrace);

// Only EVENT_TRACE_CONTROL_QUERY, by session handle or by name. The global
// logger runs while the machine key
// SYSTEM\CurrentControlSet\Control\Wmi\GlobalLogger has the DWORD "Start" = 1;
// it writes to the key's "FileName", else MachineStateRoot()/GlobalLogger.log.
ULONG ControlTraceW(TRACEHANDLE SessionHandle, LPCWSTR SessionName,
                    EVENT_TRACE_PROPERTIES* Properties, ULONG ControlCode);

// ---- the system library's exports, for callers that look them up by name --

// The generic function pointer (void(*)() converts to and from any other).
using FARPROC = void (*)();
// Knows only u"advapi32" (with or without ".dll", any case).
HMODULE GetModuleHandleW(LPCWSTR lpModuleName);
// Knows only "TraceMessage" and "TraceMessageVa" in that module.
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);

// ---- in-process loggers, for tests and tools --------------------------------

struct TRACE_RECORD {
  bool IsEvent = false;  // from TraceEvent rather than TraceMessage
  GUID Guid{};           // message GUID, or the event's GUID
  USHORT MessageNumber = 0;
  ULONG MessageFlags = 0;
  UCHAR EventType = 0;  // class type of an event
  ULONG64 Sequence = 0;
  std::chrono::system_clock::time_point TimeStamp;
  // Message arguments, or an event's MOF fields, as raw bytes.
  std::vector<std::string> Arguments;
};

// The sink runs on the writing thread, one record at a time; it must not call
// back into event tracing. Returns 0 when no session could be made.
TRACEHANDLE StartTraceSession(std::function<void(const TRACE_RECORD&)> sink);
// Enables or disables a provider for the session; a provider registering
// later is enabled as it registers.
ULONG EnableTrace(BOOL Enable, ULONG EnableFlag, UCHAR EnableLevel, const GUID* ControlGuid,
                  TRACEHANDLE SessionHandle);
// Disables the providers the session enabled and ends it.
ULONG StopTraceSession(TRACEHANDLE SessionHandle);

// One readable line, as the file loggers write it (without the newline).
std::string FormatTraceRecordLine(const TRACE_RECORD& record);
