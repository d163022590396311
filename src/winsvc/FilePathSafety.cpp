#include "winsvc/FilePathSafety.h"

#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/WideString.h"
#include "resources/ResultCodes.h"
#include "smengine/LastErrorResult.h"
#include "trace/Trace.h"

namespace {

constexpr LPCWSTR kSourceUnit = u"FilePathSafety";

constexpr int kRefusedFolderIds[] = {CSIDL_SYSTEM, CSIDL_SYSTEMX86, CSIDL_WINDOWS, CSIDL_STARTUP,
                                     CSIDL_COMMON_STARTUP};

constexpr LPCWSTR kRefusedExtensions[] = {u".com", u".exe", u".bat", u".cmd", u".vbs", u".vbe",
                                          u".js",  u".jse", u".wsf", u".wsh", u".msc", u".dll"};

// Dot files and folders hold this platform's login and start-up hooks
// (~/.bashrc, ~/.profile, ~/.ssh/authorized_keys): never create inside one.
bool HasHiddenComponent(LPCWSTR lpwFullPath) {
  bool bComponentStart = true;
  for (LPCWSTR p = lpwFullPath; *p != u'\0'; ++p) {
    if (*p == u'/' || *p == u'\\') {
      bComponentStart = true;
      continue;
    }
    if (bComponentStart && *p == u'.') return true;
    bComponentStart = false;
  }
  return false;
}

}  // namespace

HRESULT IsMaliciousFilePathName(LPCWSTR lpwFilePath, int nOutputFile) {
  TraceHelper helper("IsMaliciousFilePathName");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"IsMaliciousFilePathName");
  const bool bOutputFile = nOutputFile != 0;
  TraceValue(kTraceGuidWinsvc, "lpwFilePath", lpwFilePath);
  TraceValue(kTraceGuidWinsvc, "nOutputFile", bOutputFile ? u"TRUE" : u"FALSE");

  trace.Step(u"Check parameter(lpwFilePath)");
  if (lpwFilePath == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == lpwFilePath");

  trace.Step(u"GetFullPathName");
  WCHAR wszFullPath[MAX_PATH] = {};
  SetLastError(ERROR_SUCCESS);
  const DWORD dwFullPathLen = GetFullPathNameW(lpwFilePath, MAX_PATH, wszFullPath, nullptr);
  if (dwFullPathLen == 0)
    return trace.Failed(FailureFromLastError(HRESULT_FROM_WIN32(ERROR_INVALID_NAME)),
                        u"0 == dwFullPathLen");
  if (dwFullPathLen >= MAX_PATH)
    return trace.Failed(FailureFromLastError(HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE)),
                        u"dwFullPathLen >= MAX_PATH");
  trace.Passed();

  // An output file is never overwritten, wherever it lies.
  if (bOutputFile) {
    trace.Step(u"PathFileExists");
    if (PathFileExistsW(wszFullPath))
      return trace.Failed(SIGIL_E_ALREADY_EXISTS, u"TRUE == PathFileExistsW(wszFullPath)");
    trace.Passed();
  }

  trace.Step(u"PathRemoveFileSpec");
  WCHAR wszFolder[MAX_PATH] = {};
  wcscpy_s(wszFolder, MAX_PATH, wszFullPath);
  SetLastError(ERROR_SUCCESS);
  if (!PathRemoveFileSpecW(wszFolder)) {
    // Nothing to remove (the root): judge the path itself as the folder.
    const HRESULT hResult = HRESULT_FROM_WIN32(GetLastError());
    if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  }
  trace.Passed();

  trace.Step(u"IsMaliciousFileFolder");
  HRESULT hResult = IsMaliciousFileFolder(wszFolder);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  trace.Passed();

  if (bOutputFile) {
    trace.Step(u"CheckHiddenPathComponent");
    if (HasHiddenComponent(wszFullPath))
      return trace.Failed(SIGIL_E_MALICIOUS_PATH, u"HasHiddenComponent(wszFullPath)");
    trace.Passed();
  }

  trace.Step(u"CheckFileFolderSecurity");
  SetLastError(ERROR_SUCCESS);
  LPCWSTR lpwExtention = PathFindExtensionW(wszFullPath);
  if (lpwExtention == nullptr) return trace.Failed(FailureFromLastError(), u"NULL == lpwExtention");
  trace.Passed();

  trace.Step(u"IsMaliciousFileExtention");
  hResult = IsMaliciousFileExtention(lpwExtention);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  trace.Passed();

  if (!bOutputFile) {
    trace.Step(u"CheckFileAvailablity");
    hResult = CheckFileAvailability(wszFullPath);
    if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
    trace.Passed();
  }
  return S_OK;
}

HRESULT IsMaliciousFileFolder(LPCWSTR lpwFileFolder) {
  TraceHelper helper("IsMaliciousFileFolder");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"IsMaliciousFileFolder");

  trace.Step(u"Check parameter(lpwFileFolder)");
  if (lpwFileFolder == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == lpwFileFolder");

  // Asked afresh each time: the user's start-up folder follows the environment.
  std::vector<std::u16string> vtrRefusedFolders;
  for (const int nFolderId : kRefusedFolderIds) {
    trace.Step(u"SHGetSpecialFolderPath");
    WCHAR wszFolder[MAX_PATH] = {};
    SetLastError(ERROR_SUCCESS);
    if (SHGetSpecialFolderPathW(nullptr, wszFolder, nFolderId, FALSE) != TRUE) {
      // A folder this system lacks simply isn't listed.
      trace.Failed(FailureFromLastError(), u"TRUE != SHGetSpecialFolderPathW");
      continue;
    }
    trace.Passed();
    vtrRefusedFolders.emplace_back(wszFolder);
  }

  trace.Step(u"StrStrI");
  for (const std::u16string& strRefused : vtrRefusedFolders) {
    if (StrStrIW(lpwFileFolder, strRefused.c_str()) != nullptr)
      return trace.Failed(SIGIL_E_MALICIOUS_PATH, u"NULL != StrStrIW(lpwFileFolder)");
  }
  return S_OK;
}

HRESULT IsMaliciousFileExtention(LPCWSTR lpwFileExtention) {
  TraceHelper helper("IsMaliciousFileExtention");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"IsMaliciousFileExtention");

  trace.Step(u"Check parameter(lpwFileExtention)");
  if (lpwFileExtention == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == lpwFileExtention");

  trace.Step(u"_wcsicmp");
  for (LPCWSTR lpwRefused : kRefusedExtensions) {
    if (_wcsicmp(lpwFileExtention, lpwRefused) == 0)
      return trace.Failed(SIGIL_E_MALICIOUS_PATH, u"0 == _wcsicmp(lpwFileExtention)");
  }
  return S_OK;
}

HRESULT CheckFileAvailability(LPCWSTR lpwFilePath) {
  TraceHelper helper("CheckFileAvailability");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"CheckFileAvailability");

  trace.Step(u"Check parameter(lpwFilePath)");
  if (lpwFilePath == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == lpwFilePath");

  trace.Step(u"CreateFile");
  SetLastError(ERROR_SUCCESS);
  UniqueHandle hFile(CreateFileW(lpwFilePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  if (hFile.get() == INVALID_HANDLE_VALUE)
    return trace.Failed(FailureFromLastError(), u"INVALID_HANDLE_VALUE == hFile");
  trace.Passed();

  trace.Step(u"GetFileSizeEx");
  LARGE_INTEGER liFileSize{};
  if (!GetFileSizeEx(hFile.get(), &liFileSize))
    return trace.Failed(FailureFromLastError(), u"FALSE == GetFileSizeEx");
  TraceValue(kTraceGuidWinsvc, "FileSize.HighPart",
             static_cast<std::uint32_t>(liFileSize.HighPart));
  TraceValue(kTraceGuidWinsvc, "FileSize.LowPart", liFileSize.LowPart);
  trace.Passed();

  if (liFileSize.QuadPart == 0)
    return trace.Failed(SIGIL_E_EMPTY_FILE, u"0 == liFileSize.QuadPart");
  return S_OK;
}
