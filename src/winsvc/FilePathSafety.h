// The gate every file name from page script passes before the agent opens
// it: absolute names only, judged as the kernel resolves them (symbolic
// links followed, "link/.." being the parent of the link's target); no
// system, start-up, program or state folders, no hidden components, no
// executable or script types, no overwriting, and inputs only when they are
// non-empty regular files.
#pragma once

#include <string>

#include "platform/fs/NoFollow.h"
#include "platform/base/WinTypes.h"

// A path the gate accepted, held open so that the operation reaches exactly
// what was checked, whatever happens to the names in between. The paths it
// gives are valid in this process only and only while it lives.
class CheckedFile {
 public:
  CheckedFile();
  ~CheckedFile();
  CheckedFile(CheckedFile&&) noexcept;
  CheckedFile& operator=(CheckedFile&&) noexcept;
  CheckedFile(const CheckedFile&) = delete;
  CheckedFile& operator=(const CheckedFile&) = delete;

  // What the operation opens: for an input "/proc/self/fd/<fd of the checked
  // file>"; for an output "/proc/self/fd/<fd of the checked folder>/<name>".
  // "" before a successful OpenCheckedFilePath.
  LPCWSTR OpenPath() const { return m_openPath.c_str(); }
  // The resolved absolute path the checks judged (for traces).
  LPCWSTR ResolvedPath() const { return m_resolvedPath.c_str(); }
  // Inputs: the size measured on the open descriptor; outputs: 0.
  ULONGLONG Size() const { return m_ullSize; }
  bool IsOutput() const { return m_bOutput; }

 private:
  friend HRESULT OpenCheckedFilePath(LPCWSTR, int, CheckedFile*);
  UniqueFd m_fd;  // the input file, or the output's folder (O_PATH)
  std::u16string m_openPath;
  std::u16string m_resolvedPath;
  ULONGLONG m_ullSize = 0;
  bool m_bOutput = false;
};

// nOutputFile: 1 for a file the operation will create, 0 for an existing
// input. S_OK and *pChecked filled when the gate accepts; on failure
// *pChecked is left empty. Codes: E_INVALIDARG for a null path or result,
// 0xA0071006 for a relative path, a refused folder, type or hidden
// component, or an input that is not a regular file; 0x800700B7 for an
// output name that exists as anything (a dangling link included);
// 0xA0071007 for an empty input; else the converted platform error
// (0x80070002 for a missing input, 0x80070003 for an output whose folder
// does not exist, 0x800700CE past MAX_PATH).
HRESULT OpenCheckedFilePath(LPCWSTR lpwFilePath, int nOutputFile, CheckedFile* pChecked);

// The same checks as OpenCheckedFilePath, as a pure answer (0 =
// acceptable): nothing is kept open, and an output whose folder does not
// exist yet is accepted.
HRESULT IsMaliciousFilePathName(LPCWSTR lpwFilePath, int nOutputFile);

// 0xA0071006 when a system or start-up folder occurs anywhere in the folder
// (case-insensitive substring, not a prefix test), or when the folder is or
// lies below one of this platform's program, system, kernel, start-up or
// state folders (whole components, case as the file system has it; the
// user's and state folders also as their links resolve).
HRESULT IsMaliciousFileFolder(LPCWSTR lpwFileFolder);

// 0xA0071006 for an executable, script, library or launcher extension
// (".exe", ".js", ".sh", ".desktop", ".so", ...; A-Z folded only).
HRESULT IsMaliciousFileExtention(LPCWSTR lpwFileExtention);

// 0 when the file opens for reading and is not empty; 0xA0071007 when
// empty, 0xA0071006 when it is not a regular file (a FIFO or device is
// never opened for reading, so this never blocks).
HRESULT CheckFileAvailability(LPCWSTR lpwFilePath);
