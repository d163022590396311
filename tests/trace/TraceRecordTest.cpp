#include <numeric>

#include "platform/base/LastError.h"
#include "trace/TraceTestSupport.h"

namespace {

using namespace tracetest;

class TraceRecordTest : public TraceTest {
 protected:
  void SetUp() override {
    Enable(0xF);
    StartTracing();
  }
};

TEST(TraceArgTest, TextsAreEncodedWithTerminatorsAndStandIns) {
  const TraceArg nullWide = TraceArgW(nullptr);
  EXPECT_EQ(Bytes(nullWide.data, nullWide.size), WideBytes(u"NULL"));
  EXPECT_EQ(nullWide.size, 10u);
  const TraceArg emptyWide = TraceArgW(u"");
  EXPECT_EQ(Bytes(emptyWide.data, emptyWide.size), WideBytes(u"<NULL>"));
  EXPECT_EQ(emptyWide.size, 14u);
  const char16_t* wide = u"ab";
  EXPECT_EQ(TraceArgW(wide).data, wide);
  EXPECT_EQ(TraceArgW(wide).size, 6u);

  const TraceArg nullNarrow = TraceArgA(nullptr);
  EXPECT_EQ(Bytes(nullNarrow.data, nullNarrow.size), NarrowBytes("NULL"));
  const char* empty = "";
  EXPECT_EQ(TraceArgA(empty).data, empty);  // passed unchanged
  EXPECT_EQ(TraceArgA(empty).size, 1u);
  EXPECT_EQ(TraceArgA("abc").size, 4u);
}

TEST_F(TraceRecordTest, RecordsCarryGuidNumberFlagsAndArguments) {
  TraceValue(kTraceGuidPlugin, "argc", 6u);
  TraceValue(kTraceGuidPlugin, "text", u"");
  TraceValue(kTraceGuidPlugin, "text", static_cast<LPCWSTR>(nullptr));
  TraceValue(kTraceGuidPlugin, "narrow", "");
  ASSERT_EQ(m_records.size(), 4u);
  const TRACE_RECORD& first = m_records[0];
  EXPECT_FALSE(first.IsEvent);
  EXPECT_EQ(first.Guid, kTraceGuidPlugin);
  EXPECT_EQ(first.MessageNumber, TRACE_MSG_VALUE_INT);
  EXPECT_EQ(first.MessageFlags, 0x2Bu);
  EXPECT_EQ(first.Arguments, (std::vector<std::string>{NarrowBytes("argc"), U32Bytes(6)}));
  EXPECT_EQ(m_records[1].Arguments[1], WideBytes(u"<NULL>"));
  EXPECT_EQ(m_records[2].Arguments[1], WideBytes(u"NULL"));
  EXPECT_EQ(m_records[3].MessageNumber, TRACE_MSG_VALUE_A);
  EXPECT_EQ(m_records[3].Arguments[1], std::string(1, '\0'));
  EXPECT_LT(m_records[0].Sequence, m_records[3].Sequence);
}

TEST_F(TraceRecordTest, ResultPicksRecordAndFlagBySign) {
  TraceResult(kTraceGuidAgent, E_INVALIDARG, u"bad");
  TraceResult(kTraceGuidAgent, S_FALSE, u"fine");
  ASSERT_EQ(m_records.size(), 2u);
  EXPECT_EQ(m_records[0].MessageNumber, TRACE_MSG_FAILURE);
  EXPECT_EQ(m_records[0].Arguments,
            (std::vector<std::string>{WideBytes(u"bad"), U32Bytes(0x80070057u)}));
  EXPECT_EQ(m_records[1].MessageNumber, TRACE_MSG_STEP);

  m_records.clear();
  Enable(TRACE_FLAG_INFO);
  TraceResult(kTraceGuidAgent, E_FAIL, u"not written");
  EXPECT_TRUE(m_records.empty());
}

TEST_F(TraceRecordTest, HelperWritesEntryAndExitAndKeepsLastError) {
  SetLastError(77);
  {
    TraceHelper helper("CPlugin::GetValue");
    EXPECT_EQ(GetLastError(), 77u);
    SetLastError(88);
  }
  EXPECT_EQ(GetLastError(), 88u);
  ASSERT_EQ(m_records.size(), 2u);
  for (const TRACE_RECORD& r : m_records) {
    EXPECT_EQ(r.Guid, kTraceGuidHelper);
    EXPECT_EQ(r.Arguments, std::vector<std::string>{NarrowBytes("CPlugin::GetValue")});
  }
  EXPECT_EQ(m_records[0].MessageNumber, TRACE_MSG_ENTER);
  EXPECT_EQ(m_records[1].MessageNumber, TRACE_MSG_EXIT);
}

TEST_F(TraceRecordTest, OversizedOrOverflowingRecordsAreDropped) {
  const std::string big(8193, 'x');
  for (bool fallback : {false, true}) {
    trace_internal::ForceTraceEventPath(fallback);
    m_records.clear();
    TraceRecord(TRACE_FLAG_INFO, kTraceGuidAgent, 40, {{big.data(), 8192}});
    TraceRecord(TRACE_FLAG_INFO, kTraceGuidAgent, 41, {{big.data(), 8193}});
    TraceRecord(TRACE_FLAG_INFO, kTraceGuidAgent, 42, {{big.data(), 4096}, {big.data(), 4097}});
    // Lengths that wrap around when added; the data must never be read.
    TraceRecord(TRACE_FLAG_INFO, kTraceGuidAgent, 43, {{big.data(), SIZE_MAX}, {big.data(), 2}});
    ASSERT_EQ(m_records.size(), 1u) << fallback;
    EXPECT_EQ(m_records[0].IsEvent, fallback);
    EXPECT_EQ(m_records[0].Arguments.back(), big.substr(0, 8192));
  }
}

class TraceFallbackTest : public TraceRecordTest, public ::testing::WithParamInterface<int> {};

// Up to seven arguments travel as separate MOF fields after the message
// number, eight or more joined into one.
TEST_P(TraceFallbackTest, EventCarriesNumberThenArguments) {
  trace_internal::ForceTraceEventPath(true);
  const int count = GetParam();
  std::vector<std::string> texts;
  for (int i = 0; i < count; ++i) texts.push_back(std::string(i + 1, static_cast<char>('a' + i)));
  std::vector<TraceArg> args;
  for (const std::string& t : texts) args.push_back({t.data(), t.size()});
  switch (count) {
    case 3:
      TraceRecord(TRACE_FLAG_ERROR, kTraceGuidWinsvc, 300, {args[0], args[1], args[2]});
      break;
    case 7:
      TraceRecord(TRACE_FLAG_ERROR, kTraceGuidWinsvc, 300,
                  {args[0], args[1], args[2], args[3], args[4], args[5], args[6]});
      break;
    case 9:
      TraceRecord(
          TRACE_FLAG_ERROR, kTraceGuidWinsvc, 300,
          {args[0], args[1], args[2], args[3], args[4], args[5], args[6], args[7], args[8]});
      break;
  }
  ASSERT_EQ(m_records.size(), 1u);
  const TRACE_RECORD& r = m_records[0];
  EXPECT_TRUE(r.IsEvent);
  EXPECT_EQ(r.EventType, 255);
  EXPECT_EQ(r.Guid, kTraceGuidWinsvc);
  const USHORT number = 300;
  std::vector<std::string> expected{Bytes(&number, sizeof number)};
  if (count <= 7)
    expected.insert(expected.end(), texts.begin(), texts.end());
  else
    expected.push_back(std::accumulate(texts.begin(), texts.end(), std::string()));
  EXPECT_EQ(r.Arguments, expected);
}

INSTANTIATE_TEST_SUITE_P(ArgumentCounts, TraceFallbackTest, ::testing::Values(3, 7, 9));

TEST_F(TraceRecordTest, MoreArgumentsThanTheMessageCallTakesGoAsOneEvent) {
  const std::uint32_t v = 1;
  const TraceArg a = TraceArgU32(v);
  TraceRecord(TRACE_FLAG_INFO, kTraceGuidAgent, 50,
              {a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a});
  TraceRecord(TRACE_FLAG_INFO, kTraceGuidAgent, 51,
              {a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a});
  ASSERT_EQ(m_records.size(), 2u);
  EXPECT_FALSE(m_records[0].IsEvent);
  EXPECT_EQ(m_records[0].Arguments.size(), 16u);
  EXPECT_TRUE(m_records[1].IsEvent);
  EXPECT_EQ(m_records[1].Arguments.size(), 2u);
  EXPECT_EQ(m_records[1].Arguments[1].size(), 17 * 4u);
}

}  // namespace
