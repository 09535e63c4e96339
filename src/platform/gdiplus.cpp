// The GDI+ classes over the backend's flat image API (IWindows::Gdip*).
#include "platform/gdiplus.h"

#include <cstring>

namespace win::Gdiplus {

namespace {

bool SameGuid(const GUID& a, const GUID& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

}  // namespace

Status GdiplusStartup(ULONG_PTR* token, const GdiplusStartupInput* input, void* output) {
  if (!token || !input) return InvalidParameter;
  if (input->GdiplusVersion != 1 && input->GdiplusVersion != 2) return UnsupportedGdiplusVersion;
  // The background thread GDI+ offers is only needed when the caller asks to run it itself.
  if (input->SuppressBackgroundThread && !output) return InvalidParameter;
  return static_cast<Status>(Windows().GdiplusStartup(token));
}

void GdiplusShutdown(ULONG_PTR token) { Windows().GdiplusShutdown(token); }

namespace DllExports {

Status GdipLoadImageFromStream(IStream* stream, GpImage** image) {
  if (!stream || !image) return InvalidParameter;
  *image = nullptr;
  return static_cast<Status>(Windows().GdipLoadImageFromStream(stream, image));
}

Status GdipDisposeImage(GpImage* image) {
  if (!image) return InvalidParameter;
  delete image;
  return Ok;
}

}  // namespace DllExports

Image::Image(IStream* stream, BOOL) { lastResult = DllExports::GdipLoadImageFromStream(stream, &nativeImage); }

Image::~Image() {
  if (nativeImage) DllExports::GdipDisposeImage(nativeImage);
}

void Image::SetNativeImage(GpImage* image) { nativeImage = image; }

Status Image::GetLastStatus() const {
  Status s = lastResult;
  lastResult = Ok;
  return s;
}

UINT Image::GetWidth() {
  if (!nativeImage) return SetStatus(InvalidParameter), 0;
  return nativeImage->Width();
}

UINT Image::GetHeight() {
  if (!nativeImage) return SetStatus(InvalidParameter), 0;
  return nativeImage->Height();
}

UINT Image::GetFrameDimensionsCount() {
  if (!nativeImage) return SetStatus(InvalidParameter), 0;
  return 1;
}

Status Image::GetFrameDimensionsList(GUID* dimensionIDs, UINT count) {
  if (!nativeImage || !dimensionIDs || count != 1) return SetStatus(InvalidParameter);
  dimensionIDs[0] = FrameDimensionTime;
  return Ok;
}

UINT Image::GetFrameCount(const GUID* dimensionID) {
  if (!nativeImage || !dimensionID || !SameGuid(*dimensionID, FrameDimensionTime)) {
    return SetStatus(InvalidParameter), 0;
  }
  return nativeImage->FrameCount();
}

UINT Image::GetPropertyItemSize(PROPID propId) {
  if (!nativeImage) return SetStatus(InvalidParameter), 0;
  if (propId != PropertyTagFrameDelay || !nativeImage->FrameDelays()) return SetStatus(PropertyNotFound), 0;
  return static_cast<UINT>(sizeof(PropertyItem) + sizeof(uint32_t) * nativeImage->FrameCount());
}

Status Image::GetPropertyItem(PROPID propId, UINT propSize, PropertyItem* buffer) {
  if (!nativeImage || !buffer) return SetStatus(InvalidParameter);
  if (propId != PropertyTagFrameDelay || !nativeImage->FrameDelays()) return SetStatus(PropertyNotFound);
  const UINT count = nativeImage->FrameCount();
  const size_t bytes = sizeof(uint32_t) * count;
  if (propSize < sizeof(PropertyItem) + bytes) return SetStatus(InvalidParameter);
  // The value follows the item in the caller's buffer, as GDI+ lays it out.
  auto* value = reinterpret_cast<BYTE*>(buffer) + sizeof(PropertyItem);
  std::memcpy(value, nativeImage->FrameDelays(), bytes);
  buffer->id = propId;
  buffer->length = static_cast<ULONG>(bytes);
  buffer->type = PropertyTagTypeLong;
  buffer->value = value;
  return Ok;
}

Status Image::SelectActiveFrame(const GUID* dimensionID, UINT frameIndex) {
  if (!nativeImage || !dimensionID || !SameGuid(*dimensionID, FrameDimensionTime)) return SetStatus(InvalidParameter);
  if (!nativeImage->SelectFrame(frameIndex)) return SetStatus(InvalidParameter);
  return Ok;
}

Status Graphics::DrawImage(Image* image, INT x, INT y, INT width, INT height) {
  if (!dc_ || !image || !image->nativeImage) {
    lastResult_ = InvalidParameter;
    return InvalidParameter;
  }
  auto s = static_cast<Status>(Windows().GdipDrawImageRect(dc_, image->nativeImage, x, y, width, height));
  if (s != Ok) lastResult_ = s;
  return s;
}

Status Graphics::DrawImage(Image* image, INT x, INT y) {
  if (!image || !image->nativeImage) {
    lastResult_ = InvalidParameter;
    return InvalidParameter;
  }
  return DrawImage(image, x, y, static_cast<INT>(image->nativeImage->Width()),
                   static_cast<INT>(image->nativeImage->Height()));
}

Status Graphics::GetLastStatus() const {
  Status s = lastResult_;
  lastResult_ = Ok;
  return s;
}

}  // namespace win::Gdiplus
