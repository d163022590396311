// The provider's control state and the seams its tests reach through.
#pragma once

#include <atomic>

#include "platform/etw/EventTrace.h"
#include "trace/Trace.h"

namespace trace_internal {

// The callback may store while the plug-in thread reads; relaxed atomics are
// the plain 32- and 64-bit stores and loads of x86 without the data race.
struct TraceControlEntry {
  std::atomic<TRACEHANDLE> hRegistration{0};
  std::atomic<TRACEHANDLE> hLogger{0};
  std::atomic<ULONG> dwEnableFlags{0};
  std::atomic<UCHAR> byEnableLevel{0};
  TraceControlEntry* pNext = nullptr;
};

// The control list: null while tracing is not started.
const TraceControlEntry* ControlListHead();

// The provider's control callback; RequestContext is the entry it updates.
ULONG ControlCallback(int RequestCode, PVOID RequestContext, ULONG* BufferSize, PVOID Buffer);

inline constexpr std::size_t GUID_KEY_CHARS = 37;
// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", lower case, no braces.
void FormatGuidKeyName(const GUID& guid, WCHAR (&text)[GUID_KEY_CHARS]);

inline constexpr LPCWSTR GLOBAL_LOGGER_KEY =
    u"SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger";

struct GlobalLoggerSettings {
  DWORD dwStart = 0;  // 0 when the key or the value is missing
  DWORD dwFlags = 0;
  DWORD dwLevel = 0;
};
GlobalLoggerSettings ReadGlobalLoggerSettings();

// Looks up TraceMessage and TraceMessageVa in the system library by name.
void LoadTraceMessageServices();

// Sends records as ordinary trace events, as when the platform lacks
// TraceMessage.
void ForceTraceEventPath(bool force);

}  // namespace trace_internal
