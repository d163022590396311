#include <fstream>
#include <sstream>
#include <thread>

#include "platform/base/LastError.h"
#include "platform/base/WideString.h"
#include "support/TempEnvironment.h"
#include "trace/TraceTestSupport.h"

namespace {

using namespace tracetest;
using trace_internal::ControlListHead;

class TraceProviderTest : public TraceTest {};

void WriteEverything() {
  TraceRecord(0xFFFFFFFFu, kTraceGuidAgent, 40, {TraceArgA("x")});
  TraceResult(kTraceGuidAgent, E_FAIL, u"failure");
  TraceResult(kTraceGuidAgent, S_OK, u"step");
  TraceValue(kTraceGuidAgent, "name", u"value");
  StepTrace steps(kTraceGuidAgent, u"Unit", u"Fn");
  steps.Step(u"Call");
  steps.Passed();
  steps.Failed(E_FAIL, u"TRUE");
  TraceHelper helper("Fn");
  EngineTrace engine("Unit", "Fn");
  engine.Ok("step");
  engine.Failed("step", -1, "TRUE");
}

TEST_F(TraceProviderTest, WithoutLoggerNothingIsWrittenAndLastErrorStays) {
  m_hSession = StartTraceSession([this](const TRACE_RECORD& r) { m_records.push_back(r); });
  for (bool started : {false, true}) {
    if (started) StartTracing();
    EXPECT_EQ(ControlListHead() != nullptr, started);
    EXPECT_FALSE(IsTraceOn(0xFFFFFFFFu));
    SetLastError(1234);
    WriteEverything();
    EXPECT_EQ(GetLastError(), 1234u);
  }
  EXPECT_TRUE(m_records.empty());
}

TEST_F(TraceProviderTest, LoggerEnablesAndDisablesThroughTheCallback) {
  StartTracing();
  Enable(TRACE_FLAG_ERROR | TRACE_FLAG_INFO, 3);
  const auto* entry = ControlListHead();
  ASSERT_NE(entry, nullptr);
  EXPECT_NE(entry->hRegistration.load(), 0u);
  EXPECT_NE(entry->hLogger.load(), 0u);
  EXPECT_EQ(entry->dwEnableFlags.load(), 0x6u);
  EXPECT_EQ(entry->byEnableLevel.load(), 3);
  EXPECT_TRUE(IsTraceOn(TRACE_FLAG_ERROR));
  EXPECT_FALSE(IsTraceOn(TRACE_FLAG_ENGINE));

  ASSERT_EQ(EnableTrace(FALSE, 0, 0, &kTraceControlGuid, m_hSession), ERROR_SUCCESS);
  EXPECT_EQ(entry->hLogger.load(), 0u);
  EXPECT_EQ(entry->dwEnableFlags.load(), 0u);
  EXPECT_EQ(entry->byEnableLevel.load(), 0);
  EXPECT_NE(ControlListHead(), nullptr);  // still started
}

TEST_F(TraceProviderTest, CallbackAnswersOnlyEnableAndDisable) {
  trace_internal::TraceControlEntry entry;
  WNODE_HEADER wnode{};
  wnode.HistoricalContext = 0x0000000C00050007ull;
  ULONG size = sizeof wnode;
  EXPECT_EQ(trace_internal::ControlCallback(WMI_ENABLE_EVENTS, &entry, &size, &wnode),
            ERROR_SUCCESS);
  EXPECT_EQ(entry.hLogger.load(), wnode.HistoricalContext);
  EXPECT_EQ(entry.dwEnableFlags.load(), GetTraceEnableFlags(wnode.HistoricalContext));
  EXPECT_EQ(entry.byEnableLevel.load(), GetTraceEnableLevel(wnode.HistoricalContext));
  for (int code : {0, 1, 2, 3, 6, -1}) {
    EXPECT_EQ(trace_internal::ControlCallback(code, &entry, &size, &wnode),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(entry.hLogger.load(), wnode.HistoricalContext);  // untouched
  }
  EXPECT_EQ(trace_internal::ControlCallback(WMI_DISABLE_EVENTS, &entry, &size, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(entry.hLogger.load(), 0u);
  EXPECT_EQ(entry.dwEnableFlags.load(), 0u);
}

// The callback may run on a logger's thread while records are written; each
// record then goes out under the old or the new state, never a torn one.
TEST_F(TraceProviderTest, EnableRacingWritersStaysConsistent) {
  Enable(TRACE_FLAG_ERROR);
  StartTracing();
  std::thread toggler([this] {
    for (int i = 0; i < 200; ++i)
      EnableTrace(i % 2 == 0, TRACE_FLAG_ERROR, 5, &kTraceControlGuid, m_hSession);
  });
  for (int i = 0; i < 2000; ++i) TraceResult(kTraceGuidAgent, E_FAIL, u"racing");
  toggler.join();
  for (const TRACE_RECORD& r : m_records) EXPECT_EQ(r.Arguments[0], WideBytes(u"racing"));
}

TEST_F(TraceProviderTest, StopEmptiesTheListAndStartAgainWorks) {
  Enable(TRACE_FLAG_ERROR);  // before the provider registers
  StartTracing();
  StartTracing();  // a second start changes nothing
  EXPECT_TRUE(IsTraceOn(TRACE_FLAG_ERROR));
  StopTracing();
  EXPECT_EQ(ControlListHead(), nullptr);
  EXPECT_FALSE(IsTraceOn(TRACE_FLAG_ERROR));
  TraceResult(kTraceGuidAgent, E_FAIL, u"after stop");
  EXPECT_TRUE(m_records.empty());

  StartTracing();
  TraceResult(kTraceGuidAgent, E_FAIL, u"again");
  ASSERT_EQ(m_records.size(), 1u);
  EXPECT_EQ(m_records[0].Arguments[0], WideBytes(u"again"));
}

TEST_F(TraceProviderTest, GuidSubkeyIsLowerCaseWithoutBraces) {
  WCHAR text[trace_internal::GUID_KEY_CHARS];
  trace_internal::FormatGuidKeyName(kTraceControlGuid, text);
  EXPECT_EQ(std::u16string(text), u"5c8f2a58-369a-44f0-9235-c05ecb1dd73e");
}

class GlobalLoggerTest : public TraceTest {
 protected:
  // Start, and Flags/Level under the provider's GUID subkey.
  void Configure(DWORD start, DWORD flags, DWORD level, const std::string& file = "") {
    UniqueHKEY key = CreateMachineKey(trace_internal::GLOBAL_LOGGER_KEY);
    WriteDword(key.get(), u"Start", start);
    if (!file.empty()) {
      const std::u16string name = FromUtf8(file);
      ASSERT_EQ(RegSetValueExW(key.get(), u"FileName", 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(name.c_str()),
                               static_cast<DWORD>((name.size() + 1) * 2)),
                ERROR_SUCCESS);
    }
    UniqueHKEY guid = CreateMachineKey(
        u"SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger\\5c8f2a58-369a-44f0-9235-"
        u"c05ecb1dd73e");
    WriteDword(guid.get(), u"Flags", flags);
    WriteDword(guid.get(), u"Level", level);
  }
};

TEST_F(GlobalLoggerTest, StartTwoReadsFlagsAndLevelButDoesNotEnable) {
  Configure(2, 0x6, 4);
  const auto settings = trace_internal::ReadGlobalLoggerSettings();
  EXPECT_EQ(settings.dwStart, 2u);
  EXPECT_EQ(settings.dwFlags, 0x6u);
  EXPECT_EQ(settings.dwLevel, 4u);
  StartTracing();
  EXPECT_FALSE(IsTraceOn(0x6));
  EXPECT_EQ(ControlListHead()->hLogger.load(), 0u);
}

TEST_F(GlobalLoggerTest, StartZeroOrMissingKeyReadsNothingMore) {
  EXPECT_EQ(trace_internal::ReadGlobalLoggerSettings().dwStart, 0u);
  Configure(0, 0x6, 4);
  const auto settings = trace_internal::ReadGlobalLoggerSettings();
  EXPECT_EQ(settings.dwFlags, 0u);
  EXPECT_EQ(settings.dwLevel, 0u);
}

TEST_F(GlobalLoggerTest, StartOneEnablesWithBit31ClearedAndWritesTheFile) {
  const auto file = testsupport::MakeTempDir("global") / "boot.log";
  Configure(1, 0x80000006u, 0x104, file.string());
  StartTracing();
  const auto* entry = ControlListHead();
  EXPECT_EQ(entry->dwEnableFlags.load(), 0x6u);
  EXPECT_EQ(entry->byEnableLevel.load(), 4);
  EXPECT_FALSE(IsTraceOn(0x80000000u));
  TraceResult(kTraceGuidAgent, E_FAIL, u"boot time");
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find(" 12 \"boot time\" 0x80004005\n"), std::string::npos) << text.str();
}

TEST_F(GlobalLoggerTest, NotConsultedWhenALoggerAlreadyEnabledTheProvider) {
  Configure(1, 0x6, 4, (testsupport::MakeTempDir("global") / "unused.log").string());
  Enable(TRACE_FLAG_ENGINE);
  StartTracing();
  EXPECT_EQ(ControlListHead()->dwEnableFlags.load(), TRACE_FLAG_ENGINE);
}

}  // namespace
