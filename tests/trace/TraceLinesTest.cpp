#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <source_location>

#include "platform/base/WideString.h"
#include "trace/TraceTestSupport.h"

namespace {

using namespace tracetest;

TEST(TraceLineTest, WideLayouts) {
  WCHAR line[TRACE_LINE_CHARS];
  FormatStepLine(line, u"CCryptoAgent::SignMsgPKCS1", u"Base64DecodeEx");
  EXPECT_EQ(std::u16string(line), u"CCryptoAgent::SignMsgPKCS1 - Base64DecodeEx");
  FormatFailureLine(line, u"..\\Sigil\\MessageSigning", 120, u"CCryptoAgent::SignMsgPKCS1",
                    u"Base64DecodeEx", u"FAILED(hResult)");
  EXPECT_EQ(std::u16string(line),
            u"[..\\Sigil\\MessageSigning(120):] CCryptoAgent::SignMsgPKCS1 - Base64DecodeEx "
            u"[Reason:FAILED(hResult)]");
  FormatFailureLine(line, u"Misc", -2147483647 - 1, nullptr, u"s", u"TRUE");
  EXPECT_EQ(std::u16string(line), u"[Misc(-2147483648):] (null) - s [Reason:TRUE]");
}

TEST(TraceLineTest, BufferIsClearedAndLongTextCutWholeCharacters) {
  WCHAR line[TRACE_LINE_CHARS];
  // 510 units, then a surrogate pair that would straddle the last slot.
  std::u16string function(510, u'f');
  function += u"\U0001F600tail";
  FormatStepLine(line, function.c_str(), u"step");
  EXPECT_EQ(std::u16string(line), std::u16string(510, u'f'));
  FormatStepLine(line, u"a", u"b");
  EXPECT_EQ(std::u16string(line), u"a - b");
  EXPECT_TRUE(std::all_of(line + 5, line + TRACE_LINE_CHARS, [](WCHAR c) { return c == 0; }));
}

class StepTraceTest : public TraceTest {
 protected:
  void SetUp() override { StartTracing(); }
};

TEST_F(StepTraceTest, ErrorFlagOnlyWritesOneFailureRecord) {
  Enable(TRACE_FLAG_ERROR);
  StepTrace trace(kTraceGuidAgent, u"..\\Sigil\\MessageSigning", u"CCryptoAgent::SignMsgPKCS7");
  trace.Step(u"Check parameter(bstrSourceData)");
  EXPECT_EQ(std::u16string(trace.Line()),
            u"CCryptoAgent::SignMsgPKCS7 - Check parameter(bstrSourceData)");
  trace.Passed();
  trace.Step(u"Base64DecodeEx");
  const auto where = std::source_location::current();
  EXPECT_EQ(trace.Failed(E_INVALIDARG, u"FAILED(hResult)", where), E_INVALIDARG);
  const std::u16string expected = u"[..\\Sigil\\MessageSigning(" +
                                  FromUtf8(std::to_string(where.line())) +
                                  u"):] CCryptoAgent::SignMsgPKCS7 - Base64DecodeEx "
                                  u"[Reason:FAILED(hResult)]";
  EXPECT_EQ(std::u16string(trace.Line()), expected);
  ASSERT_EQ(m_records.size(), 1u);
  EXPECT_EQ(m_records[0].MessageNumber, TRACE_MSG_FAILURE);
  EXPECT_EQ(m_records[0].Arguments,
            (std::vector<std::string>{WideBytes(expected), U32Bytes(0x80070057u)}));
}

TEST_F(StepTraceTest, InfoFlagWritesPassedSteps) {
  Enable(TRACE_FLAG_INFO);
  StepTrace trace(kTraceGuidWinsvc, u"CertificateOperations", u"GetPKCS7Type");
  trace.Step(u"New buffer");
  trace.Passed();
  trace.Step(u"DecodeASN1Memory");
  trace.Failed(E_FAIL, u"0 != nRet");  // negative: flag 0x2, off here
  ASSERT_EQ(m_records.size(), 1u);
  EXPECT_EQ(m_records[0].MessageNumber, TRACE_MSG_STEP);
  EXPECT_EQ(m_records[0].Guid, kTraceGuidWinsvc);
  EXPECT_EQ(m_records[0].Arguments,
            (std::vector<std::string>{WideBytes(u"GetPKCS7Type - New buffer"), U32Bytes(0)}));
}

TEST_F(StepTraceTest, EngineLinesUseTheirFlagsAndLayouts) {
  Enable(TRACE_FLAG_ENGINE | TRACE_FLAG_INFO);
  EngineTrace trace("Base64Utility", "Base64EncodeEx");
  trace.Ok("EVP_EncodeBlock", std::source_location::current());
  const auto where = std::source_location::current();
  EXPECT_EQ(trace.Failed("New buffer", -1, "NULL == pszOut", where), -1);
  const std::string line = std::to_string(where.line());
  ASSERT_EQ(m_records.size(), 2u);
  EXPECT_EQ(m_records[0].MessageNumber, TRACE_MSG_ENGINE_OK);
  EXPECT_EQ(m_records[0].Guid, kTraceGuidEngine);
  const std::string ok = m_records[0].Arguments.at(0);
  EXPECT_EQ(ok.substr(0, 15), "[Base64Utility(");
  EXPECT_EQ(ok.substr(ok.find(')')),
            ")]:(Base64EncodeEx -- EVP_EncodeBlock)\t\t--OK\n" + std::string(1, '\0'));
  EXPECT_EQ(m_records[1].MessageNumber, TRACE_MSG_ENGINE_FAIL);
  EXPECT_EQ(m_records[1].Arguments,
            std::vector<std::string>{NarrowBytes(
                "[Base64Utility(" + line +
                "):](Base64EncodeEx -- New buffer)\t\t--Failed:(0xffffffff) [Reason:NULL == "
                "pszOut]\n")});

  m_records.clear();
  Enable(TRACE_FLAG_INFO);
  trace.Failed("New buffer", 87, "TRUE");
  EXPECT_TRUE(m_records.empty());
}

TEST_F(StepTraceTest, EngineNotesAreFormattedOnlyWhenInfoIsOn) {
  EngineTrace trace("DataSigning", "CalculateSM3FileHash");
  Enable(TRACE_FLAG_ENGINE);
  trace.Note("Once read file size: %lld\n", 16384LL);
  EXPECT_TRUE(m_records.empty());
  Enable(TRACE_FLAG_INFO);
  trace.Note("Total read file size: %lld\n", 4831838208LL);
  ASSERT_EQ(m_records.size(), 1u);
  EXPECT_EQ(m_records[0].MessageNumber, TRACE_MSG_ENGINE_OK);
  EXPECT_EQ(m_records[0].Arguments,
            std::vector<std::string>{NarrowBytes("Total read file size: 4831838208\n")});
}

TEST_F(StepTraceTest, EngineFailureQuotesTheLibraryError) {
  Enable(TRACE_FLAG_ENGINE);
  ERR_clear_error();
  ERR_raise(ERR_LIB_EVP, EVP_R_UNSUPPORTED_ALGORITHM);
  char library[256];
  ERR_error_string_n(ERR_peek_last_error(), library, sizeof library);
  EngineTrace trace("DataSigning", "SignData_PKCS7_BySM2PFX");
  const auto where = std::source_location::current();
  trace.FailedWithLibraryError("EVP_DigestInit", 0x80, "1 != nRet", where);
  ERR_clear_error();
  ASSERT_EQ(m_records.size(), 1u);
  EXPECT_EQ(m_records[0].Arguments[0],
            NarrowBytes("[DataSigning(" + std::to_string(where.line()) +
                        "):](SignData_PKCS7_BySM2PFX -- EVP_DigestInit)\t\t--Failed:(0x00000080) "
                        "[Reason:1 != nRet] Openssl " +
                        library + "\n"));
}

TEST_F(StepTraceTest, LongEngineLinesAreCutOnCharacterBoundaries) {
  Enable(TRACE_FLAG_INFO);
  std::string step;
  for (int i = 0; i < 300; ++i) step += "\xC3\xA9";  // é
  EngineTrace("Misc", "ReadFileSimple").Ok(step.c_str());
  ASSERT_EQ(m_records.size(), 1u);
  const std::string& text = m_records[0].Arguments[0];
  ASSERT_LE(text.size(), TRACE_LINE_CHARS);
  const std::string body = text.substr(0, text.size() - 1);
  EXPECT_EQ(ToUtf8(FromUtf8(body)), body);  // still valid UTF-8
  EXPECT_GE(body.size(), TRACE_LINE_CHARS - 2);
}

}  // namespace
