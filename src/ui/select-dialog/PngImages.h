// The dialog's pictures: PNG resources of the module decoded into cairo
// image surfaces.
#pragma once

#include <cairo.h>

#include <memory>

#include "foundation/Unique.h"
#include "platform/base/Resources.h"

namespace select_dialog {

using SurfacePtr = foundation::Unique<cairo_surface_t, cairo_surface_destroy>;

// Resource id `id` of type "PNG" in `module`. On failure `*image` is empty
// and the result is the converted last error of the failing call (or the
// decoder's code); `failedCall` (when given) names that call.
HRESULT LoadImageFromResource(HMODULE module, UINT id, SurfacePtr* image,
                              const char** failedCall = nullptr);

// E_INVALIDARG for no bytes, E_POINTER when they are not a PNG picture.
HRESULT _LoadImageFromData(const BYTE* data, DWORD size, SurfacePtr* image);

}  // namespace select_dialog
