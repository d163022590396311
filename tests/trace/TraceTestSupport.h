// Captures the provider's records through an in-process trace session and
// cleans up the process-wide trace state after each test.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/etw/EventTrace.h"
#include "platform/registry/Registry.h"
#include "trace/Trace.h"
#include "trace/TraceInternal.h"

namespace tracetest {

inline std::string Bytes(const void* data, std::size_t size) {
  return std::string(static_cast<const char*>(data), size);
}
// Wide text with its terminator, as recorded.
inline std::string WideBytes(std::u16string_view text) {
  std::u16string copy(text);
  return Bytes(copy.c_str(), (copy.size() + 1) * sizeof(char16_t));
}
inline std::string NarrowBytes(std::string_view text) { return std::string(text) + '\0'; }
inline std::string U32Bytes(std::uint32_t value) { return Bytes(&value, sizeof value); }

inline void WriteDword(HKEY key, LPCWSTR name, DWORD value) {
  ASSERT_EQ(
      RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
      ERROR_SUCCESS);
}

// The machine's global-logger key, created for the test.
inline UniqueHKEY CreateMachineKey(LPCWSTR path) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  return UniqueHKEY(key);
}

class TraceTest : public ::testing::Test {
 protected:
  void TearDown() override {
    StopTracing();
    if (m_hSession) StopTraceSession(m_hSession);
    trace_internal::ForceTraceEventPath(false);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SYSTEM");
  }

  // A session that enables the provider now or when it registers.
  void Enable(ULONG flags, UCHAR level = 5) {
    if (!m_hSession)
      m_hSession = StartTraceSession([this](const TRACE_RECORD& r) { m_records.push_back(r); });
    ASSERT_NE(m_hSession, 0u);
    ASSERT_EQ(EnableTrace(TRUE, flags, level, &kTraceControlGuid, m_hSession), ERROR_SUCCESS);
  }

  std::vector<TRACE_RECORD> m_records;
  TRACEHANDLE m_hSession = 0;
};

}  // namespace tracetest
