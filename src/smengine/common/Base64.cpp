#include "smengine/common/Base64.h"

#include <climits>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string_view>

#include "trace/Trace.h"

namespace {

constexpr LPCWSTR kSourceUnit = u"Base64";
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kGroupsPerLine = 19;  // 76 characters

int DecodeBase64Char(char ch) {
  if (ch >= 'A' && ch <= 'Z') return ch - 'A';
  if (ch >= 'a' && ch <= 'z') return ch - 'a' + 26;
  if (ch >= '0' && ch <= '9') return ch - '0' + 52;
  if (ch == '+') return 62;
  if (ch == '/') return 63;
  return -1;
}

// Appends to the caller's buffer and refuses to go past its end.
class TextSink {
 public:
  explicit TextSink(std::span<char> dest) : m_dest(dest) {}
  void Put(char ch) {
    if (m_nWritten < m_dest.size())
      m_dest[m_nWritten] = ch;
    else
      m_bOverflow = true;
    ++m_nWritten;
  }
  // Four (or fewer) characters from the top 24 bits of dwGroup.
  void PutGroup(std::uint32_t dwGroup, int nChars) {
    for (int i = 0; i < nChars; ++i) Put(kAlphabet[(dwGroup >> (18 - 6 * i)) & 0x3F]);
  }
  bool Overflowed() const { return m_bOverflow; }
  std::size_t Written() const { return m_nWritten; }

 private:
  std::span<char> m_dest;
  std::size_t m_nWritten = 0;
  bool m_bOverflow = false;
};

}  // namespace

int Base64EncodeGetRequiredLength(int nSrcLen, DWORD dwFlags) {
  if (nSrcLen < 0) return -1;
  const std::int64_t nSrcLen4 = std::int64_t{nSrcLen} * 4;
  if (nSrcLen4 > INT_MAX) return -1;

  std::int64_t nLength = nSrcLen4 / 3;
  if ((dwFlags & ATL_BASE64_FLAG_NOPAD) == 0) nLength += nSrcLen % 3;
  const std::int64_t nOnLastLine = nLength % 76;
  if (nOnLastLine % 4 != 0) nLength += 4 - nOnLastLine % 4;
  if ((dwFlags & ATL_BASE64_FLAG_NOCRLF) == 0) nLength += 2 * (nLength / 76 + 1);
  return nLength > INT_MAX ? -1 : static_cast<int>(nLength);
}

bool Base64Encode(const BYTE* pbSrc, int nSrcLen, LPSTR szDest, int* pnDestLen, DWORD dwFlags) {
  if (pbSrc == nullptr || szDest == nullptr || pnDestLen == nullptr) return false;
  const int nRequired = Base64EncodeGetRequiredLength(nSrcLen, dwFlags);
  if (nRequired < 0 || *pnDestLen < nRequired) return false;

  const std::span<const BYTE> src(pbSrc, static_cast<std::size_t>(nSrcLen));
  TextSink sink(std::span<char>(szDest, static_cast<std::size_t>(*pnDestLen)));
  const bool bLineBreaks = (dwFlags & ATL_BASE64_FLAG_NOCRLF) == 0;

  // Every full line ends in CR LF, so a source whose length is a multiple of
  // 57 ends in CR LF and a short last group sits on a line of its own.
  const std::size_t nGroups = src.size() / 3;
  for (std::size_t g = 0; g < nGroups; ++g) {
    const auto group = src.subspan(3 * g, 3);
    sink.PutGroup(std::uint32_t{group[0]} << 16 | std::uint32_t{group[1]} << 8 | group[2], 4);
    if (bLineBreaks && (g + 1) % kGroupsPerLine == 0) {
      sink.Put('\r');
      sink.Put('\n');
    }
  }

  const std::size_t nRemainder = src.size() % 3;
  if (nRemainder != 0) {
    const auto tail = src.subspan(3 * nGroups);
    std::uint32_t dwGroup = std::uint32_t{tail[0]} << 16;
    if (nRemainder == 2) dwGroup |= std::uint32_t{tail[1]} << 8;
    sink.PutGroup(dwGroup, static_cast<int>(nRemainder) + 1);
    if ((dwFlags & ATL_BASE64_FLAG_NOPAD) == 0) {
      for (std::size_t i = nRemainder; i < 3; ++i) sink.Put('=');
    }
  }

  if (sink.Overflowed()) return false;
  *pnDestLen = static_cast<int>(sink.Written());
  return true;
}

bool Base64Decode(LPCSTR szSrc, int nSrcLen, BYTE* pbDest, int* pnDestLen) {
  if (szSrc == nullptr || pnDestLen == nullptr || nSrcLen < 0) return false;

  std::string_view src(szSrc, static_cast<std::size_t>(nSrcLen));
  const std::size_t nCapacity = (pbDest != nullptr && *pnDestLen > 0) ? *pnDestLen : 0;
  const std::span<BYTE> dest(pbDest, nCapacity);
  bool bOverflow = pbDest == nullptr;
  std::size_t nWritten = 0;

  auto atEnd = [&src] { return src.empty() || src.front() == '\0'; };
  while (!atEnd()) {
    // Up to four alphabet characters; everything else is skipped.
    std::uint32_t dwCurr = 0;
    int nBits = 0;
    for (int nChars = 0; nChars < 4 && !atEnd();) {
      const int nValue = DecodeBase64Char(src.front());
      src.remove_prefix(1);
      if (nValue < 0) continue;
      dwCurr = dwCurr << 6 | static_cast<std::uint32_t>(nValue);
      nBits += 6;
      ++nChars;
    }
    const std::size_t nBytes = static_cast<std::size_t>(nBits / 8);
    if (!bOverflow && nWritten + nBytes > dest.size()) bOverflow = true;
    dwCurr <<= 24 - nBits;
    for (std::size_t i = 0; i < nBytes; ++i) {
      if (!bOverflow) dest[nWritten] = static_cast<BYTE>(dwCurr >> 16);
      dwCurr <<= 8;
      ++nWritten;
    }
  }

  *pnDestLen = static_cast<int>(nWritten);  // at most 3/4 of nSrcLen
  return !bOverflow;
}

HRESULT Base64EncodeEx(LPSTR* ppszText, const BYTE* pbSrc, int nSrcLen, int* pnTextLen,
                       DWORD dwFlags) {
  TraceHelper helper("Base64EncodeEx");
  StepTrace trace(kTraceGuidEngine, kSourceUnit, u"Base64EncodeEx");

  trace.Step(u"Check parameter");
  if (ppszText == nullptr || pbSrc == nullptr)
    return trace.Failed(E_POINTER, u"NULL == ppszText || NULL == pbSrc");

  trace.Step(u"Base64EncodeGetRequiredLength");
  const int nRequired = Base64EncodeGetRequiredLength(nSrcLen, dwFlags);
  if (nRequired < 0) return trace.Failed(E_FAIL, u"nRequired < 0");

  trace.Step(u"New Memory");
  std::unique_ptr<char[]> pszText(new (std::nothrow) char[std::size_t(nRequired) + 1]());
  if (!pszText) return trace.Failed(E_OUTOFMEMORY, u"!pszText");

  trace.Step(u"Base64Encode");
  int nTextLen = nRequired;
  if (!Base64Encode(pbSrc, nSrcLen, pszText.get(), &nTextLen, dwFlags))
    return trace.Failed(E_FAIL, u"false == bSuccess");
  trace.Passed();

  *ppszText = pszText.release();
  if (pnTextLen != nullptr) *pnTextLen = nTextLen;
  return S_OK;
}

HRESULT Base64DecodeEx(int nSrcLen, LPCSTR pszSrc, BYTE** ppbData, int* pnDataLen) {
  TraceHelper helper("Base64DecodeEx");
  StepTrace trace(kTraceGuidEngine, kSourceUnit, u"Base64DecodeEx");

  trace.Step(u"Check parameter");
  if (nSrcLen <= 0) return trace.Failed(E_FAIL, u"nSrcLen <= 0");
  if (pszSrc == nullptr || ppbData == nullptr || pnDataLen == nullptr)
    return trace.Failed(E_POINTER, u"NULL == pszSrc || NULL == ppbData || NULL == pnDataLen");

  // Decoding only shrinks, so the text's length always suffices.
  trace.Step(u"New Memory");
  std::unique_ptr<BYTE[]> pbData(new (std::nothrow) BYTE[nSrcLen]());
  if (!pbData) return trace.Failed(E_OUTOFMEMORY, u"!pbData");

  trace.Step(u"Base64Decode");
  int nDataLen = nSrcLen;
  if (!Base64Decode(pszSrc, nSrcLen, pbData.get(), &nDataLen))
    return trace.Failed(E_FAIL, u"false == bSuccess");
  trace.Passed();

  *ppbData = pbData.release();
  *pnDataLen = nDataLen;
  return S_OK;
}
