#include "winsvc/FilePathSafety.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fs/Files.h"
#include "platform/base/LastError.h"
#include "platform/base/LastErrorResult.h"
#include "platform/fs/NoFollow.h"
#include "platform/fs/Paths.h"
#include "platform/fs/StateFolders.h"
#include "platform/base/WideString.h"
#include "resources/ResultCodes.h"
#include "trace/Trace.h"
#include "platform/base/LastErrorResult.h"

namespace {

constexpr LPCWSTR kSourceUnit = u"FilePathSafety";

constexpr int kRefusedFolderIds[] = {CSIDL_SYSTEM, CSIDL_SYSTEMX86, CSIDL_WINDOWS, CSIDL_STARTUP,
                                     CSIDL_COMMON_STARTUP};

constexpr LPCWSTR kRefusedExtensions[] = {
    u".com", u".exe",  u".bat", u".cmd", u".vbs", u".vbe", u".js",       u".jse",
    u".wsf", u".wsh",  u".msc", u".dll",
    // This platform's scripts, launchers and loadable code.
    u".sh",  u".bash", u".zsh", u".csh", u".ksh", u".py",  u".pl",       u".rb",
    u".desktop", u".service", u".timer", u".so", u".appimage", u".run", u".jar"};

// Program, system and kernel folders of this platform, refused with all
// that lies below them (whole components; "/lib" stands for every "/lib*").
constexpr std::string_view kRefusedSystemFolders[] = {
    "/bin",  "/sbin", "/usr/bin", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin", "/boot",
    "/etc",  "/root", "/var/spool", "/run",    "/proc",          "/sys",            "/dev"};
constexpr std::string_view kRefusedLibraryParents[] = {"/", "/usr/"};

bool IsAtOrBelow(std::string_view path, std::string_view folder) {
  if (folder.size() > 1 && folder.back() == '/') folder.remove_suffix(1);
  if (path.substr(0, folder.size()) != folder) return false;
  return path.size() == folder.size() || path[folder.size()] == '/' || folder == "/";
}

// "/lib", "/lib64", "/usr/libexec", ... and what lies below them.
bool IsLibraryFolder(std::string_view path) {
  for (std::string_view parent : kRefusedLibraryParents) {
    if (path.substr(0, parent.size()) != parent) continue;
    const std::string_view rest = path.substr(parent.size());
    if (rest.substr(0, 3) == "lib") return true;
  }
  return false;
}

// The user's own folders that hold programs or start-up hooks, and the
// plug-in's state, each also as its links resolve.
std::vector<std::string> UserRefusedFolders() {
  std::vector<std::string> folders;
  auto add = [&folders](const std::string& folder) {
    if (folder.empty() || folder[0] != '/') return;
    folders.push_back(folder);
    PhysicalPath physical;
    if (ResolvePhysically(folder, &physical) == 0 && physical.path != folder)
      folders.push_back(physical.path);
  };
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home == '/') {
    add(std::string(home) + "/bin");
    add(std::string(home) + "/.local/bin");
    add(std::string(home) + "/.config/autostart");
  }
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && *config == '/') add(std::string(config) + "/autostart");
  add("/etc/xdg/autostart");
  add(UserStateRoot().string());
  add(MachineStateRoot().string());
  return folders;
}

bool IsRefusedOnThisPlatform(const std::string& folder) {
  for (std::string_view refused : kRefusedSystemFolders)
    if (IsAtOrBelow(folder, refused)) return true;
  if (IsLibraryFolder(folder)) return true;
  for (const std::string& refused : UserRefusedFolders())
    if (IsAtOrBelow(folder, refused)) return true;
  return false;
}

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

CheckedFile::CheckedFile() = default;
CheckedFile::~CheckedFile() = default;
CheckedFile::CheckedFile(CheckedFile&&) noexcept = default;
CheckedFile& CheckedFile::operator=(CheckedFile&&) noexcept = default;

namespace {

// The whole gate. With bKeepOpen the input (or the output's folder) is
// opened as it was judged and handed to *pChecked; without it the gate is a
// pure answer and an output whose folder does not exist yet passes.
HRESULT RunGate(LPCWSTR lpwFilePath, int nOutputFile, bool bKeepOpen, CheckedFile* pChecked,
                UniqueFd* pFd, ULONGLONG* pSize, std::string* pResolved, std::string* pName) {
  TraceHelper helper("IsMaliciousFilePathName");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"IsMaliciousFilePathName");
  const bool bOutputFile = nOutputFile != 0;
  TraceValue(kTraceGuidWinsvc, "lpwFilePath", lpwFilePath);
  TraceValue(kTraceGuidWinsvc, "nOutputFile", bOutputFile ? u"TRUE" : u"FALSE");

  trace.Step(u"Check parameter(lpwFilePath)");
  if (lpwFilePath == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == lpwFilePath");

  // A relative name would be judged against whatever folder the browser
  // happens to run in.
  trace.Step(u"CheckAbsolutePath");
  if (lpwFilePath[0] != u'/') return trace.Failed(SIGIL_E_MALICIOUS_PATH, u"'/' != lpwFilePath[0]");
  trace.Passed();

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

  // Judged as the kernel will walk it: links resolved, "link/.." the parent
  // of the link's target. An output's own name is never followed.
  trace.Step(u"ResolvePhysically");
  const std::string strPath = NativePath(lpwFilePath);
  std::string strFolder, strName;
  PhysicalPath physical;
  if (bOutputFile) {
    const std::size_t slash = strPath.find_last_of('/');
    strName = strPath.substr(slash + 1);
    if (strName.empty() || strName == "." || strName == "..")
      return trace.Failed(SIGIL_E_MALICIOUS_PATH, u"no file name");
    const int err = ResolvePhysically(slash == 0 ? "/" : strPath.substr(0, slash), &physical);
    if (err != 0) return trace.Failed(ResultFromErrno(err), u"0 != ResolvePhysically");
    strFolder = physical.path;
  } else {
    const int err = ResolvePhysically(strPath, &physical);
    if (err != 0) return trace.Failed(ResultFromErrno(err), u"0 != ResolvePhysically");
    const std::size_t slash = physical.path.find_last_of('/');
    strFolder = slash == 0 ? "/" : physical.path.substr(0, slash);
    strName = physical.path.substr(slash + 1);
  }
  const std::string strResolved = (strFolder == "/" ? "" : strFolder) + "/" + strName;
  const std::u16string wstrResolved = FromUtf8(strResolved);
  TraceValue(kTraceGuidWinsvc, "ResolvedPath", wstrResolved.c_str());
  trace.Passed();

  // An output file is never overwritten, wherever it lies; a dangling link
  // counts as taken.
  if (bOutputFile) {
    trace.Step(u"PathFileExists");
    struct stat st {};
    if (::lstat(strResolved.c_str(), &st) == 0)
      return trace.Failed(SIGIL_E_ALREADY_EXISTS, u"TRUE == PathFileExistsW(wszFullPath)");
    trace.Passed();
  }

  trace.Step(u"IsMaliciousFileFolder");
  const std::u16string wstrFolder = FromUtf8(strFolder);
  HRESULT hResult = IsMaliciousFileFolder(wstrFolder.c_str());
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  trace.Passed();

  trace.Step(u"CheckHiddenPathComponent");
  if (HasHiddenComponent(wstrResolved.c_str()))
    return trace.Failed(SIGIL_E_MALICIOUS_PATH, u"HasHiddenComponent(wszFullPath)");
  trace.Passed();

  trace.Step(u"CheckFileFolderSecurity");
  SetLastError(ERROR_SUCCESS);
  LPCWSTR lpwExtention = PathFindExtensionW(wstrResolved.c_str());
  if (lpwExtention == nullptr) return trace.Failed(FailureFromLastError(), u"NULL == lpwExtention");
  trace.Passed();

  trace.Step(u"IsMaliciousFileExtention");
  hResult = IsMaliciousFileExtention(lpwExtention);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  trace.Passed();

  if (!bOutputFile) {
    trace.Step(u"CheckFileAvailablity");
    UniqueFd file;
    struct stat st {};
    const int err = OpenRegularFileNoFollow(strResolved, &file, &st);
    if (err == kNotARegularFile)
      return trace.Failed(SIGIL_E_MALICIOUS_PATH, u"!S_ISREG(st.st_mode)");
    if (err != 0) return trace.Failed(ResultFromErrno(err), u"INVALID_HANDLE_VALUE == hFile");
    if (IsKernelFileSystem(file.get()))
      return trace.Failed(SIGIL_E_MALICIOUS_PATH, u"IsKernelFileSystem(hFile)");
    if (st.st_size == 0) return trace.Failed(SIGIL_E_EMPTY_FILE, u"0 == liFileSize.QuadPart");
    trace.Passed();
    if (pFd) *pFd = std::move(file);
    if (pSize) *pSize = static_cast<ULONGLONG>(st.st_size);
  } else if (bKeepOpen) {
    trace.Step(u"OpenOutputFolder");
    UniqueFd folder(OpenFolderNoFollow(strFolder));
    if (!folder.valid()) {
      const int err = errno;
      return trace.Failed(err == ENOENT ? HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)
                                        : ResultFromErrno(err),
                          u"-1 == OpenFolderNoFollow");
    }
    trace.Passed();
    if (pFd) *pFd = std::move(folder);
  }
  (void)pChecked;
  if (pResolved) *pResolved = strResolved;
  if (pName) *pName = strName;
  return S_OK;
}

}  // namespace

HRESULT OpenCheckedFilePath(LPCWSTR lpwFilePath, int nOutputFile, CheckedFile* pChecked) {
  if (pChecked == nullptr) return E_INVALIDARG;
  *pChecked = CheckedFile();
  UniqueFd fd;
  ULONGLONG ullSize = 0;
  std::string strResolved, strName;
  const HRESULT hResult = RunGate(lpwFilePath, nOutputFile, true, pChecked, &fd, &ullSize,
                                  &strResolved, &strName);
  if (FAILED(hResult)) return hResult;
  pChecked->m_bOutput = nOutputFile != 0;
  const std::string strOpen =
      DescriptorPath(fd.get()) + (pChecked->m_bOutput ? "/" + strName : std::string());
  pChecked->m_fd = std::move(fd);
  pChecked->m_openPath = FromUtf8(strOpen);
  pChecked->m_resolvedPath = FromUtf8(strResolved);
  pChecked->m_ullSize = ullSize;
  return S_OK;
}

HRESULT IsMaliciousFilePathName(LPCWSTR lpwFilePath, int nOutputFile) {
  return RunGate(lpwFilePath, nOutputFile, false, nullptr, nullptr, nullptr, nullptr, nullptr);
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
  trace.Step(u"IsRefusedOnThisPlatform");
  if (IsRefusedOnThisPlatform(NativePath(lpwFileFolder)))
    return trace.Failed(SIGIL_E_MALICIOUS_PATH, u"IsRefusedOnThisPlatform(lpwFileFolder)");
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

  // Opened only once it is known to be a regular file, so a FIFO or device
  // can never block or be read.
  trace.Step(u"CreateFile");
  PhysicalPath physical;
  int err = ResolvePhysically(NativePath(lpwFilePath), &physical);
  UniqueFd file;
  struct stat st {};
  if (err == 0) err = OpenRegularFileNoFollow(physical.path, &file, &st);
  if (err == kNotARegularFile) return trace.Failed(SIGIL_E_MALICIOUS_PATH, u"!S_ISREG(st.st_mode)");
  if (err != 0) return trace.Failed(ResultFromErrno(err), u"INVALID_HANDLE_VALUE == hFile");
  trace.Passed();

  TraceValue(kTraceGuidWinsvc, "FileSize.HighPart",
             static_cast<std::uint32_t>(static_cast<std::uint64_t>(st.st_size) >> 32));
  TraceValue(kTraceGuidWinsvc, "FileSize.LowPart",
             static_cast<std::uint32_t>(static_cast<std::uint64_t>(st.st_size)));
  if (st.st_size == 0) return trace.Failed(SIGIL_E_EMPTY_FILE, u"0 == liFileSize.QuadPart");
  return S_OK;
}
