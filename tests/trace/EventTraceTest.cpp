#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/fs/StateFolders.h"
#include "platform/base/WideString.h"
#include "support/TempEnvironment.h"
#include "trace/TraceTestSupport.h"

namespace {

using namespace tracetest;
namespace fs = std::filesystem;

std::vector<std::string> ReadLines(const fs::path& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class EventTraceTest : public TraceTest {};

TEST_F(EventTraceTest, EnvironmentLoggerAppendsReadableLines) {
  // A comma in the path: "file" takes the rest of the value.
  const fs::path file = testsupport::MakeTempDir("env") / "trace,1.log";
  { std::ofstream(file) << "earlier\n"; }
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
  const std::string value = "flags=0x6,level=4,file=" + file.string();
  testsupport::ScopedEnv env("NPSIGIL_TRACE", value.c_str());

  StartTracing();
  EXPECT_TRUE(IsTraceOn(TRACE_FLAG_ERROR | TRACE_FLAG_INFO));
  EXPECT_FALSE(IsTraceOn(TRACE_FLAG_ENGINE));
  TraceResult(kTraceGuidAgent, E_FAIL, u"line\twith \"tab\"");
  TraceValue(kTraceGuidAgent, "subject", u"\u4E2D\u6587");
  EngineTrace("Misc", "Fn").Ok("step");
  StopTracing();
  TraceResult(kTraceGuidAgent, E_FAIL, u"after stop");

  const auto lines = ReadLines(file);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "earlier");
  EXPECT_TRUE(Contains(lines[1],
                       " #1 51d3238d-a9e9-42c0-8480-db85527eaef0 12 "
                       "\"line\\twith \\\"tab\\\"\" 0x80004005"))
      << lines[1];
  EXPECT_TRUE(Contains(lines[2],
                       " #2 51d3238d-a9e9-42c0-8480-db85527eaef0 20 \"subject\" "
                       "\"\xE4\xB8\xAD\xE6\x96\x87\""))
      << lines[2];
  EXPECT_TRUE(Contains(lines[3], " 10 \"[Misc(")) << lines[3];
  EXPECT_TRUE(Contains(lines[3], "--OK\\n\"")) << lines[3];
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(EventTraceTest, EnvironmentLoggerCreatesItsFilePrivate) {
  const fs::path file = testsupport::MakeTempDir("env") / "new.log";
  const std::string value = "flags=2,file=" + file.string();
  testsupport::ScopedEnv env("NPSIGIL_TRACE", value.c_str());
  StartTracing();
  EXPECT_TRUE(IsTraceOn(TRACE_FLAG_ERROR));
  EXPECT_FALSE(IsTraceOn(TRACE_FLAG_INFO));
  EXPECT_EQ(trace_internal::ControlListHead()->byEnableLevel.load(), 5);  // the default
  TraceResult(kTraceGuidUi, E_FAIL, u"x");
  StopTracing();
  EXPECT_EQ(ReadLines(file).size(), 1u);
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(EventTraceTest, MalformedEnvironmentValueIsIgnored) {
  for (const char* value : {"flags=zz", "flags=0x1,colour=red", "level=300", "flags", ""}) {
    testsupport::ScopedEnv env("NPSIGIL_TRACE", value);
    StartTracing();
    EXPECT_FALSE(IsTraceOn(0xFFFFFFFFu)) << value;
    StopTracing();
  }
}

TEST_F(EventTraceTest, SessionEnablesProvidersBeforeAndAfterTheyRegister) {
  struct Seen {
    std::vector<std::pair<int, TRACEHANDLE>> requests;
  } seen;
  const WMIDPREQUEST callback = [](int code, PVOID ctx, ULONG*, PVOID buffer) -> ULONG {
    static_cast<Seen*>(ctx)->requests.push_back({code, GetTraceLoggerHandle(buffer)});
    return ERROR_SUCCESS;
  };
  const GUID guid = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  m_hSession = StartTraceSession([](const TRACE_RECORD&) {});
  ASSERT_EQ(EnableTrace(TRUE, 0x30, 2, &guid, m_hSession), ERROR_SUCCESS);
  TRACEHANDLE reg = 0;
  ASSERT_EQ(RegisterTraceGuidsW(callback, &seen, &guid, 1, nullptr, nullptr, nullptr, &reg),
            ERROR_SUCCESS);
  ASSERT_EQ(seen.requests.size(), 1u);
  EXPECT_EQ(seen.requests[0].first, WMI_ENABLE_EVENTS);
  EXPECT_EQ(GetTraceEnableFlags(seen.requests[0].second), 0x30u);
  EXPECT_EQ(GetTraceEnableLevel(seen.requests[0].second), 2);

  ASSERT_EQ(StopTraceSession(m_hSession), ERROR_SUCCESS);  // disables what it enabled
  m_hSession = 0;
  ASSERT_EQ(seen.requests.size(), 2u);
  EXPECT_EQ(seen.requests[1].first, WMI_DISABLE_EVENTS);
  EXPECT_EQ(UnregisterTraceGuids(reg), ERROR_SUCCESS);
  EXPECT_EQ(UnregisterTraceGuids(reg), ERROR_INVALID_HANDLE);
  EXPECT_EQ(EnableTrace(TRUE, 1, 1, &guid, 0xFFFF), ERROR_INVALID_HANDLE);
}

TEST_F(EventTraceTest, TraceMessageDropsOversizedRecordsAndUnknownLoggers) {
  m_hSession = StartTraceSession([this](const TRACE_RECORD& r) { m_records.push_back(r); });
  const std::string data(8193, 'd');
  const GUID guid = kTraceGuidAgent;
  EXPECT_EQ(TraceMessage(m_hSession, 0x2B, &guid, 1, data.data(), std::size_t{8193}, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(TraceMessage(m_hSession, 0x2B, &guid, 2, data.data(), SIZE_MAX, data.data(),
                         std::size_t{2}, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(TraceMessage(m_hSession, 0x2B, &guid, 3, data.data(), std::size_t{8192}, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(TraceMessage(m_hSession + 1, 0x2B, &guid, 4, nullptr), ERROR_INVALID_HANDLE);
  ASSERT_EQ(m_records.size(), 1u);
  EXPECT_EQ(m_records[0].MessageNumber, 3);
}

TEST(EventTraceLineTest, ArgumentsAreDecodedByShape) {
  TRACE_RECORD record;
  record.Guid = kTraceControlGuid;
  record.MessageNumber = 7;
  record.Sequence = 3;
  record.Arguments = {WideBytes(u"a\tb\n"), NarrowBytes("x\\yz"),
                      U32Bytes(42),         std::string("\x01\x02\xff", 3),
                      NarrowBytes(""),      WideBytes(u"\U0001F600"),
                      NarrowBytes("abc"),   U32Bytes(0x80004005u)};
  EXPECT_EQ(FormatTraceRecordLine(record),
            "1970-01-01T00:00:00.000000Z #3 5c8f2a58-369a-44f0-9235-c05ecb1dd73e 7 "
            "\"a\\tb\\n\" \"x\\\\yz\" 0x0000002a hex:0102ff \"\" \"\xF0\x9F\x98\x80\" "
            "\"abc\" 0x80004005");
  record.IsEvent = true;
  record.EventType = 255;
  record.Arguments = {std::string("\x0c\x00", 2)};
  EXPECT_TRUE(Contains(FormatTraceRecordLine(record), " event 255 hex:0c00"));
}

TEST(EventTraceLookupTest, OnlyTheTraceMessageServicesAreFound) {
  const HMODULE advapi = GetModuleHandleW(u"advapi32");
  ASSERT_NE(advapi, nullptr);
  EXPECT_EQ(GetModuleHandleW(u"ADVAPI32.DLL"), advapi);
  EXPECT_EQ(GetModuleHandleW(u"kernel32"), nullptr);
  EXPECT_EQ(GetProcAddress(advapi, "TraceMessage"), reinterpret_cast<FARPROC>(&TraceMessage));
  EXPECT_EQ(GetProcAddress(advapi, "TraceMessageVa"), reinterpret_cast<FARPROC>(&TraceMessageVa));
  EXPECT_EQ(GetProcAddress(advapi, "TraceEvent"), nullptr);
  EXPECT_EQ(GetProcAddress(nullptr, "TraceMessage"), nullptr);
}

TEST_F(EventTraceTest, GlobalLoggerRunsOnlyWithStartOne) {
  EVENT_TRACE_PROPERTIES props{};
  props.Wnode.BufferSize = sizeof props;
  EXPECT_EQ(ControlTraceW(0, u"GlobalLogger", &props, EVENT_TRACE_CONTROL_QUERY),
            ERROR_WMI_INSTANCE_NOT_FOUND);
  UniqueHKEY key = CreateMachineKey(trace_internal::GLOBAL_LOGGER_KEY);
  WriteDword(key.get(), u"Start", 2);
  EXPECT_EQ(ControlTraceW(0, u"GlobalLogger", &props, EVENT_TRACE_CONTROL_QUERY),
            ERROR_WMI_INSTANCE_NOT_FOUND);
  WriteDword(key.get(), u"Start", 1);
  EXPECT_EQ(ControlTraceW(0, u"OtherLogger", &props, EVENT_TRACE_CONTROL_QUERY),
            ERROR_WMI_INSTANCE_NOT_FOUND);
  props.Wnode.BufferSize = sizeof props - 1;
  EXPECT_EQ(ControlTraceW(0, u"GlobalLogger", &props, EVENT_TRACE_CONTROL_QUERY),
            ERROR_INVALID_PARAMETER);
  props.Wnode.BufferSize = sizeof props;
  ASSERT_EQ(ControlTraceW(0, u"GlobalLogger", &props, EVENT_TRACE_CONTROL_QUERY), ERROR_SUCCESS);
  const TRACEHANDLE logger = props.Wnode.HistoricalContext;
  ASSERT_NE(logger, 0u);

  // Without "FileName" the log goes to the machine state folder.
  const GUID guid = kTraceGuidRegister;
  ASSERT_EQ(TraceMessage(logger, 0x2B, &guid, 9, "abc", std::size_t{4}, nullptr), ERROR_SUCCESS);
  const auto lines = ReadLines(MachineStateRoot() / "GlobalLogger.log");
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(Contains(lines.back(), " 863e49da-dae6-4ae4-bf70-616a27b557a8 9 \"abc\""));
}

}  // namespace
