// CRYPT_KEY_PROV_INFO as one position-independent block: the property is
// stored flattened and handed out as a self-contained structure.
#pragma once

#include <vector>

#include "platform/cert/CertContext.h"

// False for inconsistent input (counts without arrays, sizes without data).
bool FlattenKeyProvInfo(const CRYPT_KEY_PROV_INFO& info, std::vector<BYTE>& out);
// Turns the offsets of a flattened block copied to `block` into pointers.
void RelocateKeyProvInfo(BYTE* block);
