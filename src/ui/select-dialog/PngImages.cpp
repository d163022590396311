#include "ui/select-dialog/PngImages.h"

#include <cstring>

#include "platform/base/LastError.h"

namespace select_dialog {
namespace {

struct ByteCursor {
  const BYTE* data;
  std::size_t size;
  std::size_t offset;
};

// The decoder asks for exact lengths; a request past the end is a broken
// picture, never a read beyond the resource.
cairo_status_t ReadBytes(void* closure, unsigned char* out, unsigned int length) {
  auto* cursor = static_cast<ByteCursor*>(closure);
  if (length > cursor->size - cursor->offset) return CAIRO_STATUS_READ_ERROR;
  std::memcpy(out, cursor->data + cursor->offset, length);
  cursor->offset += length;
  return CAIRO_STATUS_SUCCESS;
}

HRESULT LastErrorResult() {
  const DWORD error = GetLastError();
  return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

}  // namespace

HRESULT _LoadImageFromData(const BYTE* data, DWORD size, SurfacePtr* image) {
  image->reset();
  if (data == nullptr || size == 0) return E_INVALIDARG;
  ByteCursor cursor{data, size, 0};
  SurfacePtr decoded(cairo_image_surface_create_from_png_stream(&ReadBytes, &cursor));
  if (!decoded || cairo_surface_status(decoded.get()) != CAIRO_STATUS_SUCCESS) return E_POINTER;
  *image = std::move(decoded);
  return S_OK;
}

HRESULT LoadImageFromResource(HMODULE module, UINT id, SurfacePtr* image, const char** failedCall) {
  image->reset();
  const char* unused = nullptr;
  const char*& call = failedCall ? *failedCall : unused;
  call = "FindResourceW";
  HRSRC info = FindResourceW(module, id, u"PNG");
  if (info == nullptr) return LastErrorResult();
  call = "SizeofResource";
  const DWORD size = SizeofResource(module, info);
  if (size == 0) return LastErrorResult();
  call = "LoadResource";
  HRSRC loaded = LoadResource(module, info);
  if (loaded == nullptr) return LastErrorResult();
  call = "LockResource";
  const void* bytes = LockResource(loaded);
  if (bytes == nullptr) return LastErrorResult();
  call = "_LoadImageFromData";
  const HRESULT hr = _LoadImageFromData(static_cast<const BYTE*>(bytes), size, image);
  if (SUCCEEDED(hr)) call = nullptr;
  return hr;
}

}  // namespace select_dialog
