// Registration of the provider, its control callback and the global-logger
// start-up.
#include "platform/base/LastError.h"
#include "platform/registry/Registry.h"
#include "trace/TraceInternal.h"

namespace trace_internal {
namespace {

TraceControlEntry g_controlEntry;
std::atomic<TraceControlEntry*> g_pControlList{nullptr};

bool ReadDword(HKEY hKey, LPCWSTR lpValueName, DWORD& dwValue) {
  DWORD dwType = 0;
  DWORD cbData = sizeof dwValue;
  DWORD dwRead = 0;
  if (RegQueryValueExW(hKey, lpValueName, nullptr, &dwType, reinterpret_cast<BYTE*>(&dwRead),
                       &cbData) != ERROR_SUCCESS ||
      dwType != REG_DWORD || cbData != sizeof dwRead)
    return false;
  dwValue = dwRead;
  return true;
}

// Lets a provider loaded while the boot-time global logger runs still trace.
void StartGlobalLogger(TraceControlEntry& entry) {
  const GlobalLoggerSettings settings = ReadGlobalLoggerSettings();
  if (settings.dwStart != 1) return;
  EVENT_TRACE_PROPERTIES properties{};
  properties.Wnode.BufferSize = sizeof properties;
  properties.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
  const ULONG ulStatus =
      ControlTraceW(0, GLOBAL_LOGGER_NAME, &properties, EVENT_TRACE_CONTROL_QUERY);
  if (ulStatus != ERROR_SUCCESS && ulStatus != ERROR_MORE_DATA) return;
  const TRACEHANDLE hLogger = properties.Wnode.HistoricalContext;
  if (hLogger == 0) return;
  entry.hLogger.store(hLogger, std::memory_order_relaxed);
  entry.byEnableLevel.store(static_cast<UCHAR>(settings.dwLevel & 0xFF), std::memory_order_relaxed);
  entry.dwEnableFlags.store(settings.dwFlags & 0x7FFFFFFFu, std::memory_order_release);
}

}  // namespace

const TraceControlEntry* ControlListHead() {
  return g_pControlList.load(std::memory_order_acquire);
}

ULONG ControlCallback(int RequestCode, PVOID RequestContext, ULONG* /*BufferSize*/, PVOID Buffer) {
  auto* pEntry = static_cast<TraceControlEntry*>(RequestContext);
  if (!pEntry) return ERROR_INVALID_PARAMETER;
  switch (RequestCode) {
    case WMI_ENABLE_EVENTS: {
      const TRACEHANDLE hLogger = GetTraceLoggerHandle(Buffer);
      pEntry->hLogger.store(hLogger, std::memory_order_relaxed);
      pEntry->byEnableLevel.store(GetTraceEnableLevel(hLogger), std::memory_order_relaxed);
      // Flags last: a writer that sees them set also finds the logger.
      pEntry->dwEnableFlags.store(GetTraceEnableFlags(hLogger), std::memory_order_release);
      return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS:
      pEntry->dwEnableFlags.store(0, std::memory_order_release);
      pEntry->byEnableLevel.store(0, std::memory_order_relaxed);
      pEntry->hLogger.store(0, std::memory_order_relaxed);
      return ERROR_SUCCESS;
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

void FormatGuidKeyName(const GUID& guid, WCHAR (&text)[GUID_KEY_CHARS]) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::size_t pos = 0;
  const auto put = [&](std::uint64_t value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
      text[pos++] = static_cast<WCHAR>(kDigits[(value >> shift) & 0xF]);
  };
  put(guid.Data1, 8);
  text[pos++] = u'-';
  put(guid.Data2, 4);
  text[pos++] = u'-';
  put(guid.Data3, 4);
  text[pos++] = u'-';
  put(guid.Data4[0], 2);
  put(guid.Data4[1], 2);
  text[pos++] = u'-';
  for (int i = 2; i < 8; ++i) put(guid.Data4[i], 2);
  text[pos] = u'\0';
}

GlobalLoggerSettings ReadGlobalLoggerSettings() {
  GlobalLoggerSettings settings;
  HKEY hKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, GLOBAL_LOGGER_KEY, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
    return settings;
  const UniqueHKEY key(hKey);
  DWORD dwStart = 0;
  if (!ReadDword(key.get(), u"Start", dwStart) || dwStart == 0) return settings;
  settings.dwStart = dwStart;
  WCHAR szGuid[GUID_KEY_CHARS];
  FormatGuidKeyName(kTraceControlGuid, szGuid);
  HKEY hGuidKey = nullptr;
  if (RegOpenKeyExW(key.get(), szGuid, 0, KEY_READ, &hGuidKey) != ERROR_SUCCESS) return settings;
  const UniqueHKEY guidKey(hGuidKey);
  ReadDword(guidKey.get(), u"Flags", settings.dwFlags);
  ReadDword(guidKey.get(), u"Level", settings.dwLevel);
  return settings;
}

}  // namespace trace_internal

using namespace trace_internal;

void StartTracing() {
  LastErrorKeeper keeper;
  if (g_pControlList.load(std::memory_order_acquire)) return;  // already started
  LoadTraceMessageServices();
  TraceControlEntry& entry = g_controlEntry;
  entry.dwEnableFlags.store(0, std::memory_order_relaxed);
  entry.byEnableLevel.store(0, std::memory_order_relaxed);
  entry.hLogger.store(0, std::memory_order_relaxed);
  entry.hRegistration.store(0, std::memory_order_relaxed);
  g_pControlList.store(&entry, std::memory_order_release);
  TRACEHANDLE hRegistration = 0;
  if (RegisterTraceGuidsW(ControlCallback, &entry, &kTraceControlGuid, 1, nullptr, nullptr, nullptr,
                          &hRegistration) == ERROR_SUCCESS)
    entry.hRegistration.store(hRegistration, std::memory_order_relaxed);
  if (entry.hLogger.load(std::memory_order_relaxed) == 0) StartGlobalLogger(entry);
}

void StopTracing() {
  LastErrorKeeper keeper;
  TraceControlEntry& entry = g_controlEntry;
  if (const TRACEHANDLE hRegistration = entry.hRegistration.exchange(0))
    UnregisterTraceGuids(hRegistration);
  g_pControlList.store(nullptr, std::memory_order_release);
  entry.dwEnableFlags.store(0, std::memory_order_relaxed);
  entry.hLogger.store(0, std::memory_order_relaxed);
}

bool IsTraceOn(ULONG flag) {
  const TraceControlEntry* pHead = g_pControlList.load(std::memory_order_acquire);
  return pHead && (pHead->dwEnableFlags.load(std::memory_order_acquire) & flag) != 0;
}
