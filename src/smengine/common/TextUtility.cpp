#include "smengine/common/TextUtility.h"

#include <cstdint>
#include <memory>
#include <new>
#include <string_view>

#include "platform/fs/Files.h"
#include "platform/base/LastErrorResult.h"
#include "platform/fs/Paths.h"
#include "platform/base/WideString.h"
#include "resources/ResultCodes.h"
#include "trace/Trace.h"

namespace {

constexpr LPCWSTR kSourceUnit = u"TextUtility";

int HexDigitValue(char16_t ch) {
  if (ch >= u'0' && ch <= u'9') return ch - u'0';
  if (ch >= u'a' && ch <= u'f') return ch - u'a' + 10;
  if (ch >= u'A' && ch <= u'F') return ch - u'A' + 10;
  return -1;
}

}  // namespace

HRESULT UTF16ToUTF8(LPCWSTR lpwSource, LPSTR* ppszDest, int* pnDestLen) {
  TraceHelper helper("UTF16ToUTF8");
  StepTrace trace(kTraceGuidEngine, kSourceUnit, u"UTF16ToUTF8");

  trace.Step(u"Check parameter(lpwSource)");
  if (lpwSource == nullptr || ppszDest == nullptr)
    return trace.Failed(E_POINTER, u"NULL == lpwSource || NULL == ppszDest");

  trace.Step(u"WideCharToMultiByte");
  const int nSize = WideCharToMultiByte(CP_UTF8, 0, lpwSource, -1, nullptr, 0, nullptr, nullptr);
  if (nSize <= 0) return trace.Failed(FailureFromLastError(), u"0 >= nSize");
  trace.Passed();

  trace.Step(u"New Memory");
  std::unique_ptr<char[]> pszDest(new (std::nothrow) char[nSize]());
  if (!pszDest) return trace.Failed(E_OUTOFMEMORY, u"!pszDest");

  trace.Step(u"WideCharToMultiByte");
  if (WideCharToMultiByte(CP_UTF8, 0, lpwSource, -1, pszDest.get(), nSize, nullptr, nullptr) !=
      nSize)
    return trace.Failed(FailureFromLastError(), u"nSize != nConverted");
  trace.Passed();

  *ppszDest = pszDest.release();
  if (pnDestLen != nullptr) *pnDestLen = nSize - 1;
  return S_OK;
}

HRESULT UTF8ToUTF16(LPCSTR pszSource, LPWSTR* ppwszDest, int* pnDestLen) {
  TraceHelper helper("UTF8ToUTF16");
  StepTrace trace(kTraceGuidEngine, kSourceUnit, u"UTF8ToUTF16");

  trace.Step(u"Check parameter(pszSource)");
  if (pszSource == nullptr || ppwszDest == nullptr)
    return trace.Failed(E_POINTER, u"NULL == pszSource || NULL == ppwszDest");

  trace.Step(u"MultiByteToWideChar");
  const int nSize = MultiByteToWideChar(CP_UTF8, 0, pszSource, -1, nullptr, 0);
  if (nSize <= 0) return trace.Failed(FailureFromLastError(), u"0 >= nSize");
  trace.Passed();

  trace.Step(u"New Memory");
  std::unique_ptr<WCHAR[]> pwszDest(new (std::nothrow) WCHAR[nSize]());
  if (!pwszDest) return trace.Failed(E_OUTOFMEMORY, u"!pwszDest");

  trace.Step(u"MultiByteToWideChar");
  if (MultiByteToWideChar(CP_UTF8, 0, pszSource, -1, pwszDest.get(), nSize) != nSize)
    return trace.Failed(FailureFromLastError(), u"nSize != nConverted");
  trace.Passed();

  *ppwszDest = pwszDest.release();
  if (pnDestLen != nullptr) *pnDestLen = nSize - 1;
  return S_OK;
}

void SwapByteOrder(BYTE* pbyData, DWORD dwDataLen) {
  if (pbyData == nullptr || dwDataLen < 2) return;
  for (BYTE *pFirst = pbyData, *pLast = pbyData + dwDataLen - 1; pFirst < pLast;
       ++pFirst, --pLast) {
    const BYTE byTemp = *pFirst;
    *pFirst = *pLast;
    *pLast = byTemp;
  }
}

void SplitStrings(LPCWSTR lpwSource, std::vector<std::u16string>& vtrStrings) {
  if (lpwSource == nullptr) return;
  constexpr std::u16string_view kSeparator = u"||";
  std::u16string_view rest(lpwSource);
  for (;;) {
    const std::size_t pos = rest.find(kSeparator);
    const std::u16string_view piece = rest.substr(0, pos);
    if (piece.empty()) return;
    vtrStrings.emplace_back(piece);
    if (pos == std::u16string_view::npos) return;
    rest.remove_prefix(pos + kSeparator.size());
  }
}

HRESULT ConvertBinaryDataToString(DWORD dwDataLen, const BYTE* pbyData, LPWSTR* ppwszString,
                                  int nReverse) {
  TraceHelper helper("ConvertBinaryDataToString");
  StepTrace trace(kTraceGuidEngine, kSourceUnit, u"ConvertBinaryDataToString");

  trace.Step(u"Check parameter");
  if (ppwszString == nullptr || (pbyData == nullptr && dwDataLen != 0))
    return trace.Failed(E_INVALIDARG, u"NULL == ppwszString || NULL == pbyData");

  trace.Step(u"New buffer");
  const std::size_t cchString = std::size_t{2} * dwDataLen + 1;
  std::unique_ptr<WCHAR[]> pwszString(new (std::nothrow) WCHAR[cchString]());
  if (!pwszString) return trace.Failed(E_OUTOFMEMORY, u"Dispatch memory failed.");

  constexpr char16_t kDigits[] = u"0123456789abcdef";
  for (DWORD i = 0; i < dwDataLen; ++i) {
    const BYTE byValue = nReverse == 1 ? pbyData[dwDataLen - 1 - i] : pbyData[i];
    pwszString[2 * std::size_t{i}] = kDigits[byValue >> 4];
    pwszString[2 * std::size_t{i} + 1] = kDigits[byValue & 0x0F];
  }
  *ppwszString = pwszString.release();
  return S_OK;
}

HRESULT ConvertStringToBinaryData(DWORD* pdwDataLen, LPCWSTR lpwString, BYTE** ppbyData) {
  TraceHelper helper("ConvertStringToBinaryData");
  StepTrace trace(kTraceGuidEngine, kSourceUnit, u"ConvertStringToBinaryData");

  trace.Step(u"Check parameter");
  if (lpwString == nullptr || pdwDataLen == nullptr || ppbyData == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == lpwString");

  const std::u16string_view text(lpwString);
  trace.Step(u"Check hexadecimal text");
  for (const char16_t ch : text) {
    if (HexDigitValue(ch) < 0) return trace.Failed(E_INVALIDARG, u"Not a hexadecimal digit");
  }
  if (text.size() / 2 > UINT32_MAX - 4) return trace.Failed(E_INVALIDARG, u"Text too long");

  const DWORD dwDataLen = static_cast<DWORD>(text.size() / 2);
  trace.Step(u"New buffer");
  std::unique_ptr<BYTE[]> pbyData(new (std::nothrow) BYTE[std::size_t{dwDataLen} + 4]());
  if (!pbyData) return trace.Failed(E_OUTOFMEMORY, u"!pbyData");

  // The last digit pair is the least significant byte, CryptoAPI's first.
  for (DWORD i = 0; i < dwDataLen; ++i) {
    const int nHigh = HexDigitValue(text[2 * std::size_t{i}]);
    const int nLow = HexDigitValue(text[2 * std::size_t{i} + 1]);
    pbyData[dwDataLen - 1 - i] = static_cast<BYTE>(nHigh << 4 | nLow);
  }
  *pdwDataLen = dwDataLen;
  *ppbyData = pbyData.release();
  return S_OK;
}

HRESULT ReadFileSimple(LPCWSTR lpwFileName, BYTE** ppbyData, DWORD* pdwFileSize) {
  TraceHelper helper("ReadFileSimple");
  StepTrace trace(kTraceGuidEngine, kSourceUnit, u"ReadFileSimple");

  trace.Step(u"Check parameter(lpwFileName)");
  if (lpwFileName == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == lpwFileName");

  trace.Step(u"PathFileExists");
  if (!PathFileExistsW(lpwFileName))
    return trace.Failed(FailureFromLastError(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), u"TRUE");
  trace.Passed();

  trace.Step(u"CreateFile");
  UniqueHandle hFile(CreateFileW(lpwFileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  if (hFile.get() == INVALID_HANDLE_VALUE)
    return trace.Failed(FailureFromLastError(), u"INVALID_HANDLE_VALUE == hFile");
  trace.Passed();

  trace.Step(u"GetFileSize");
  LARGE_INTEGER liFileSize{};
  if (!GetFileSizeEx(hFile.get(), &liFileSize))
    return trace.Failed(FailureFromLastError(), u"FALSE == GetFileSizeEx");
  // The size travels as 32 bits; a larger file is refused, never cut short.
  if (liFileSize.QuadPart < 0 || liFileSize.QuadPart > LONGLONG{UINT32_MAX})
    return trace.Failed(SIGIL_E_FILE_TOO_LARGE, u"liFileSize.QuadPart > MAXDWORD");
  const DWORD dwFileSize = static_cast<DWORD>(liFileSize.QuadPart);
  trace.Passed();

  if (ppbyData == nullptr) {
    if (pdwFileSize != nullptr) *pdwFileSize = dwFileSize;
    return S_OK;
  }

  trace.Step(u"New Memory");
  std::unique_ptr<BYTE[]> pbyData(new (std::nothrow) BYTE[std::size_t{dwFileSize} + 1]());
  if (!pbyData) return trace.Failed(E_OUTOFMEMORY, u"!pbyData");

  trace.Step(u"ReadFile");
  DWORD dwRead = 0;
  if (!ReadFile(hFile.get(), pbyData.get(), dwFileSize, &dwRead, nullptr) || dwRead != dwFileSize)
    return trace.Failed(FailureFromLastError(HRESULT_FROM_WIN32(ERROR_READ_FAULT)),
                        u"dwFileSize != dwRead");
  trace.Passed();

  *ppbyData = pbyData.release();
  if (pdwFileSize != nullptr) *pdwFileSize = dwFileSize;
  return S_OK;
}
