// The text lines of the records, built in fixed buffers without the heap:
// the layouts are fixed, so a few appends replace a general formatter.
#include <openssl/err.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <source_location>

#include "platform/base/LastError.h"
#include "trace/Trace.h"

namespace {

// Appends into a cleared, always-terminated buffer; text that does not fit
// is cut, never in the middle of a character.
template <typename Ch, std::size_t N>
class LineWriter {
 public:
  explicit LineWriter(Ch (&buffer)[N]) : m_buffer(buffer) { std::fill_n(buffer, N, Ch{}); }

  LineWriter& Text(const Ch* text) {
    if (!text) return Ascii("(null)");
    for (; *text && !m_full; ++text) Put(*text);
    return *this;
  }
  LineWriter& Ascii(const char* text) {
    for (; *text && !m_full; ++text) Put(static_cast<Ch>(*text));
    return *this;
  }
  LineWriter& Decimal(int value) {
    char digits[12];
    int n = 0;
    // Through unsigned, so INT_MIN has a magnitude.
    std::uint32_t magnitude =
        value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
    do {
      digits[n++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) Put(static_cast<Ch>('-'));
    while (n > 0 && !m_full) Put(static_cast<Ch>(digits[--n]));
    return *this;
  }
  LineWriter& Hex8(std::uint32_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (int shift = 28; shift >= 0 && !m_full; shift -= 4)
      Put(static_cast<Ch>(kDigits[(value >> shift) & 0xF]));
    return *this;
  }

 private:
  void Put(Ch c) {
    if (m_full) return;
    if (m_length + 1 < N) {
      m_buffer[m_length++] = c;
      return;
    }
    m_full = true;
    if (!IsContinuation(c)) return;
    std::size_t cut = m_length;
    while (cut > 0 && IsContinuation(m_buffer[cut - 1])) --cut;
    if (cut > 0 && IsLead(m_buffer[cut - 1])) {  // drop the partly written character
      std::fill(m_buffer + cut - 1, m_buffer + m_length, Ch{});
      m_length = cut - 1;
    }
  }
  static bool IsContinuation(Ch c) {
    if constexpr (sizeof(Ch) == 1)
      return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
    else
      return c >= 0xDC00 && c <= 0xDFFF;
  }
  static bool IsLead(Ch c) {
    if constexpr (sizeof(Ch) == 1)
      return (static_cast<unsigned char>(c) & 0xC0) == 0xC0;
    else
      return c >= 0xD800 && c <= 0xDBFF;
  }

  Ch (&m_buffer)[N];
  std::size_t m_length = 0;
  bool m_full = false;
};

using NarrowLine = char[TRACE_LINE_CHARS];

int LineOf(const std::source_location& where) { return static_cast<int>(where.line()); }

}  // namespace

void FormatStepLine(WCHAR (&line)[TRACE_LINE_CHARS], LPCWSTR function, LPCWSTR step) {
  LastErrorKeeper keeper;
  LineWriter(line).Text(function).Ascii(" - ").Text(step);
}

void FormatFailureLine(WCHAR (&line)[TRACE_LINE_CHARS], LPCWSTR sourceFile, int lineNumber,
                       LPCWSTR function, LPCWSTR step, LPCWSTR reason) {
  LastErrorKeeper keeper;
  LineWriter(line)
      .Ascii("[")
      .Text(sourceFile)
      .Ascii("(")
      .Decimal(lineNumber)
      .Ascii("):] ")
      .Text(function)
      .Ascii(" - ")
      .Text(step)
      .Ascii(" [Reason:")
      .Text(reason)
      .Ascii("]");
}

StepTrace::StepTrace(const GUID& messageGuid, LPCWSTR sourceFile, LPCWSTR function)
    : m_guid(messageGuid), m_sourceFile(sourceFile), m_function(function) {}

void StepTrace::Step(LPCWSTR step) {
  LastErrorKeeper keeper;
  m_step = step ? step : u"";
  FormatStepLine(m_line, m_function, m_step);
}

void StepTrace::Passed(HRESULT code) {
  LastErrorKeeper keeper;
  const std::int32_t nCode = code;
  TraceRecord(TRACE_FLAG_INFO, m_guid, TRACE_MSG_STEP, {TraceArgW(m_line), TraceArgI32(nCode)});
}

HRESULT StepTrace::Failed(HRESULT code, LPCWSTR reason, std::source_location where) {
  LastErrorKeeper keeper;
  FormatFailureLine(m_line, m_sourceFile, LineOf(where), m_function, m_step, reason);
  TraceResult(m_guid, code, m_line);
  return code;
}

EngineTrace::EngineTrace(LPCSTR sourceFile, LPCSTR function)
    : m_sourceFile(sourceFile), m_function(function) {}

void EngineTrace::Ok(LPCSTR step, std::source_location where) {
  LastErrorKeeper keeper;
  NarrowLine szLine;
  LineWriter(szLine)
      .Ascii("[")
      .Text(m_sourceFile)
      .Ascii("(")
      .Decimal(LineOf(where))
      .Ascii(")]:(")
      .Text(m_function)
      .Ascii(" -- ")
      .Text(step)
      .Ascii(")\t\t--OK\n");
  TraceRecord(TRACE_FLAG_INFO, kTraceGuidEngine, TRACE_MSG_ENGINE_OK, {TraceArgA(szLine)});
}

namespace {

void FormatEngineFailure(NarrowLine& szLine, LPCSTR sourceFile, LPCSTR function, LPCSTR step,
                         int code, LPCSTR reason, const std::source_location& where,
                         LPCSTR libraryError) {
  LineWriter writer(szLine);
  writer.Ascii("[")
      .Text(sourceFile)
      .Ascii("(")
      .Decimal(LineOf(where))
      .Ascii("):](")
      .Text(function)
      .Ascii(" -- ")
      .Text(step)
      .Ascii(")\t\t--Failed:(0x")
      .Hex8(static_cast<std::uint32_t>(code))
      .Ascii(") [Reason:")
      .Text(reason)
      .Ascii("]");
  if (libraryError) writer.Ascii(" Openssl ").Text(libraryError);
  writer.Ascii("\n");
}

}  // namespace

void EngineTrace::Note(LPCSTR format, ...) {
  if (!IsTraceOn(TRACE_FLAG_INFO)) return;
  LastErrorKeeper keeper;
  NarrowLine szLine;
  va_list args;
  va_start(args, format);
  std::vsnprintf(szLine, sizeof szLine, format, args);
  va_end(args);
  TraceRecord(TRACE_FLAG_INFO, kTraceGuidEngine, TRACE_MSG_ENGINE_OK, {TraceArgA(szLine)});
}

int EngineTrace::Failed(LPCSTR step, int code, LPCSTR reason, std::source_location where) {
  LastErrorKeeper keeper;
  NarrowLine szLine;
  FormatEngineFailure(szLine, m_sourceFile, m_function, step, code, reason, where, nullptr);
  TraceRecord(TRACE_FLAG_ENGINE, kTraceGuidEngine, TRACE_MSG_ENGINE_FAIL, {TraceArgA(szLine)});
  return code;
}

int EngineTrace::FailedWithLibraryError(LPCSTR step, int code, LPCSTR reason,
                                        std::source_location where) {
  LastErrorKeeper keeper;
  char szError[256] = {};
  ERR_error_string_n(ERR_peek_last_error(), szError, sizeof szError);
  NarrowLine szLine;
  FormatEngineFailure(szLine, m_sourceFile, m_function, step, code, reason, where, szError);
  TraceRecord(TRACE_FLAG_ENGINE, kTraceGuidEngine, TRACE_MSG_ENGINE_FAIL, {TraceArgA(szLine)});
  return code;
}
