// The gate every file name from page script passes before the agent opens
// it: no system or start-up folders, no executable or script types, no
// overwriting, no unreadable or empty inputs. A pure check: it changes
// nothing and answers with a result code (0 = acceptable).
#pragma once

#include "platform/WinTypes.h"

// nOutputFile: 1 for a file the operation will create, 0 for an existing
// input. 0x800700B7 for an existing output, 0xA0071006 for a refused folder,
// type or (outputs only) a hidden path component, 0xA0071007 for an empty
// input, else the converted platform error.
HRESULT IsMaliciousFilePathName(LPCWSTR lpwFilePath, int nOutputFile);

// 0xA0071006 when a system or start-up folder occurs anywhere in the folder
// (case-insensitive substring, not a prefix test).
HRESULT IsMaliciousFileFolder(LPCWSTR lpwFileFolder);

// 0xA0071006 for an executable or script extension (".exe", ".js", ...;
// A-Z folded only).
HRESULT IsMaliciousFileExtention(LPCWSTR lpwFileExtention);

// 0 when the file opens for reading and is not empty; 0xA0071007 when empty.
HRESULT CheckFileAvailability(LPCWSTR lpwFilePath);
