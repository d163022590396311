// Win32 file handles and the C run-time's wide-name stream open, over POSIX
// descriptors. Sharing modes are accepted but not enforced (POSIX has no
// mandatory sharing).
#pragma once

#include <cstdio>
#include <memory>

#include "foundation/Unique.h"
#include "platform/base/WinTypes.h"

inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD FILE_SHARE_READ = 0x1;
inline constexpr DWORD FILE_SHARE_WRITE = 0x2;
inline constexpr DWORD FILE_SHARE_DELETE = 0x4;
inline constexpr DWORD CREATE_NEW = 1;
inline constexpr DWORD CREATE_ALWAYS = 2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD OPEN_ALWAYS = 4;
inline constexpr DWORD TRUNCATE_EXISTING = 5;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD FILE_BEGIN = 0;
inline constexpr DWORD FILE_CURRENT = 1;
inline constexpr DWORD FILE_END = 2;
inline constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFFu;

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  };
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

// INVALID_HANDLE_VALUE and the last error on failure. A directory cannot be
// opened (ERROR_ACCESS_DENIED). security, flags and templ are ignored.
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   void* lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// Reads until nNumberOfBytesToRead or end of file; *lpNumberOfBytesRead 0 at
// end of file. lpOverlapped must be null.
BOOL ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead,
              void* lpOverlapped);
BOOL WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite,
               DWORD* lpNumberOfBytesWritten, void* lpOverlapped);
// Low 32 bits of the size (high 32 bits in *lpFileSizeHigh); INVALID_FILE_SIZE
// with a last error on failure.
DWORD GetFileSize(HANDLE hFile, DWORD* lpFileSizeHigh);
BOOL GetFileSizeEx(HANDLE hFile, LARGE_INTEGER* lpFileSize);
BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, LARGE_INTEGER* lpNewFilePointer,
                      DWORD dwMoveMethod);
BOOL FlushFileBuffers(HANDLE hFile);
BOOL CloseHandle(HANDLE hObject);
// A directory is refused with ERROR_ACCESS_DENIED.
BOOL DeleteFileW(LPCWSTR lpFileName);

// A file handle over a descriptor the caller opened; the handle owns it from
// then on (CloseHandle closes it). INVALID_HANDLE_VALUE and
// ERROR_INVALID_HANDLE for a negative descriptor.
HANDLE HandleFromDescriptor(int fd);

// Opens a C stream. Returns 0 or an errno value (also set as the last error)
// and sets *ppFile (null on failure). Modes: r, w, a with optional '+', 'b',
// 't'. A mode that creates for writing ("w", "wb", "w+") creates the file
// exclusively: an existing file is never replaced (EEXIST, ERROR_FILE_EXISTS).
// A directory is refused with EACCES.
int _wfopen_s(FILE** ppFile, LPCWSTR filename, LPCWSTR mode);
// 64-bit stream positions: 0 / -1 and the position / -1.
int _fseeki64(FILE* stream, LONGLONG offset, int origin);
LONGLONG _ftelli64(FILE* stream);

struct HandleCloser {
  void operator()(HANDLE h) const {
    if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};
// Holds a handle from CreateFileW; test get() against INVALID_HANDLE_VALUE.
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

using foundation::UniqueFile;
