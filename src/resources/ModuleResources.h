// The plug-in module's resources as one table, and the module handle that
// LoadStringW and FindResourceW take.
#pragma once

#include "platform/base/Resources.h"

const MODULE_RESOURCES& SigilModuleResources();
HMODULE GetSigilModuleHandle();
