// Moving text and bytes across the system's boundaries: UTF-16 <-> UTF-8,
// hexadecimal text <-> bytes, byte order, "||" lists and whole-file reads.
// Every buffer handed out is new[]-allocated, owned by the caller and freed
// with delete[]; text buffers carry a terminator that the length leaves out.
#pragma once

#include <string>
#include <vector>

#include "platform/base/WinTypes.h"

// E_POINTER for a null source or output; the outputs are then untouched.
// pnDestLen may be null.
HRESULT UTF16ToUTF8(LPCWSTR lpwSource, LPSTR* ppszDest, int* pnDestLen);
HRESULT UTF8ToUTF16(LPCSTR pszSource, LPWSTR* ppwszDest, int* pnDestLen);

// Reverses the buffer in place (CryptoAPI's little-endian <-> big-endian).
void SwapByteOrder(BYTE* pbyData, DWORD dwDataLen);

// Appends the "||"-separated pieces of lpwSource; the first empty piece ends
// the list. A null source appends nothing.
void SplitStrings(LPCWSTR lpwSource, std::vector<std::u16string>& vtrStrings);

// Lower-case hex, two digits a byte; nReverse == 1 writes the last byte first.
HRESULT ConvertBinaryDataToString(DWORD dwDataLen, const BYTE* pbyData, LPWSTR* ppwszString,
                                  int nReverse);
// The inverse, last digit pair first (hex serial number -> CryptoAPI order).
// Hex digits only; an odd last digit is ignored. The buffer holds the bytes
// followed by four zero bytes.
HRESULT ConvertStringToBinaryData(DWORD* pdwDataLen, LPCWSTR lpwString, BYTE** ppbyData);

// Reads a whole file into a zero-terminated buffer. With ppbyData null only
// the size is reported. Either output may be null. Files of 4 GiB or more
// are refused with SIGIL_E_FILE_TOO_LARGE rather than read in part.
HRESULT ReadFileSimple(LPCWSTR lpwFileName, BYTE** ppbyData, DWORD* pdwFileSize);
