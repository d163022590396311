// Base64 as the agent and the certificate services use it (RFC 4648
// alphabet, optional "=" padding, optional CR LF after every 76 characters).
#pragma once

#include "platform/base/WinTypes.h"

inline constexpr DWORD ATL_BASE64_FLAG_NONE = 0;
inline constexpr DWORD ATL_BASE64_FLAG_NOPAD = 1;   // no "=" after a short last group
inline constexpr DWORD ATL_BASE64_FLAG_NOCRLF = 2;  // one line

// The destination size Base64Encode demands (it may exceed the text written).
// -1 for a negative length or one whose text would not fit in an int.
int Base64EncodeGetRequiredLength(int nSrcLen, DWORD dwFlags);

// false for a null pointer, a negative length or a destination shorter than
// the required length. *pnDestLen receives the characters written; no
// terminator is added.
bool Base64Encode(const BYTE* pbSrc, int nSrcLen, LPSTR szDest, int* pnDestLen, DWORD dwFlags);

// Reads at most nSrcLen characters, stopping at a zero; characters outside
// the alphabet are skipped. *pnDestLen receives the full decoded count even
// when it does not fit (or pbDest is null); the result is then false.
bool Base64Decode(LPCSTR szSrc, int nSrcLen, BYTE* pbDest, int* pnDestLen);

// New zero-terminated text, length without the terminator (pnTextLen may be
// null). E_FAIL when the length cannot be represented.
HRESULT Base64EncodeEx(LPSTR* ppszText, const BYTE* pbSrc, int nSrcLen, int* pnTextLen,
                       DWORD dwFlags);
// New byte buffer and its count. E_FAIL for nSrcLen <= 0.
HRESULT Base64DecodeEx(int nSrcLen, LPCSTR pszSrc, BYTE** ppbData, int* pnDataLen);
