// OLE Automation strings: a 32-bit byte length in front of UTF-16 text with
// a terminator; the BSTR points at the text.
#pragma once

#include "platform/base/WinTypes.h"

BSTR SysAllocString(LPCWSTR psz);
BSTR SysAllocStringLen(LPCWSTR pch, UINT cch);
// Copies len bytes (or leaves them zero when psz is null) and adds a
// terminator; the length prefix counts bytes.
BSTR SysAllocStringByteLen(LPCSTR psz, UINT len);
UINT SysStringLen(BSTR bstr);
UINT SysStringByteLen(BSTR bstr);
void SysFreeString(BSTR bstr);
