// The dialog's pictures: PNG resources of the module decoded into cairo
// image surfaces.
#pragma once

#include <cairo.h>

#include <memory>

#include "platform/base/Resources.h"

namespace select_dialog {

struct SurfaceRelease {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceRelease>;

// Resource id `id` of type "PNG" in `module`. On failure `*image` is empty
// and the result is the converted last error of the failing call (or the
// decoder's code); `failedCall` (when given) names that call.
HRESULT LoadImageFromResource(HMODULE module, UINT id, SurfacePtr* image,
                              const char** failedCall = nullptr);

// E_INVALIDARG for no bytes, E_POINTER when they are not a PNG picture.
HRESULT _LoadImageFromData(const BYTE* data, DWORD size, SurfacePtr* image);

}  // namespace select_dialog
