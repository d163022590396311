// Measuring an open C stream. Both leave the stream at its start.
#pragma once

#include <cstdint>
#include <cstdio>

// ORLO_OK, 87 for a null argument, -1 when a seek or tell fails or the size
// does not fit in an int (the file is refused, never measured short).
int GetFileSize_Ex(FILE* fpFile, int* pnFileSize);

// The same for files of any size.
int GetFileSize_Ex64(FILE* fpFile, std::int64_t* pnFileSize);
