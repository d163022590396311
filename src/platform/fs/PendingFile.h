// A new file made out of sight in its target's folder and given the target's
// name only once it is complete, so that a failed or killed writer never
// leaves part of its output under the name it was asked for, and nothing is
// ever replaced: the name is taken only if it is still free at that moment.
#pragma once

#include <cstdio>
#include <string>

#include "platform/fs/NoFollow.h"
#include "platform/base/WinTypes.h"

class PendingFile {
 public:
  // Where the file waits for its name. kAutomatic makes it nameless
  // (O_TMPFILE) where the file system allows and falls back to
  // kHiddenName, a unique dot name beside the target created exclusively,
  // where it does not.
  enum class Placement { kAutomatic, kHiddenName };

  PendingFile() = default;
  // Without Commit() the file goes, under every name it had.
  ~PendingFile() { Discard(); }
  PendingFile(PendingFile&& other) noexcept;
  PendingFile& operator=(PendingFile&& other) noexcept;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // Starts a file, mode 0600, for lpwTargetPath: an ordinary path or
  // "/proc/self/fd/<folder descriptor>/<name>" (the folder's links are
  // followed; the name itself never is). FALSE with the last error:
  // ERROR_FILE_EXISTS when the name is taken already (by anything, a
  // dangling link included), ERROR_INVALID_NAME without a file name ("",
  // "dir/", ".", ".."), the converted errno otherwise (ERROR_PATH_NOT_FOUND
  // for a missing folder). A file already started is discarded first.
  BOOL Create(LPCWSTR lpwTargetPath, Placement placement = Placement::kAutomatic);

  // Both are over the same file and position and belong to this object:
  // write through one of them, never close either.
  HANDLE Handle() const { return m_hFile; }
  FILE* Stream() const { return m_pStream; }

  // Flushes and closes the handle and the stream, writes the file through
  // to the disk and gives it the target's name. FALSE with the last error
  // (ERROR_WRITE_FAULT or ERROR_DISK_FULL for a failed flush or close,
  // ERROR_FILE_EXISTS when the name was taken meanwhile, ERROR_INVALID_HANDLE
  // when no file is started), and then the file is discarded: nothing is
  // committed. Either way the handle and stream are gone afterwards.
  BOOL Commit();

  // Drops the file without naming it. Harmless when none is started.
  void Discard();

  bool IsOpen() const { return m_file.valid(); }

 private:
  UniqueFd m_folder;     // O_PATH descriptor of the target's folder
  UniqueFd m_file;       // the file itself, for naming it at the end
  std::string m_name;    // the target's name in m_folder
  std::string m_hidden;  // the dot name it waits under, empty when nameless
  HANDLE m_hFile = INVALID_HANDLE_VALUE;
  FILE* m_pStream = nullptr;
};
