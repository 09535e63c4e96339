// The part of GDI+ the installer's animation uses: images read from a stream (animated GIFs with
// their frames and frame delays) and drawing them on a device context. Shaped like gdiplus.h.
#pragma once

#include <cstdint>

#include "platform/types.h"
#include "platform/window.h"

namespace win::Gdiplus {

enum Status {
  Ok = 0,
  GenericError = 1,
  InvalidParameter = 2,
  OutOfMemory = 3,
  ObjectBusy = 4,
  InsufficientBuffer = 5,
  NotImplemented = 6,
  Win32Error = 7,
  WrongState = 8,
  Aborted = 9,
  FileNotFound = 10,
  ValueOverflow = 11,
  AccessDenied = 12,
  UnknownImageFormat = 13,
  FontFamilyNotFound = 14,
  FontStyleNotFound = 15,
  NotTrueTypeFont = 16,
  UnsupportedGdiplusVersion = 17,
  GdiplusNotInitialized = 18,
  PropertyNotFound = 19,
  PropertyNotSupported = 20,
};

using PROPID = ULONG;

struct PropertyItem {
  PROPID id = 0;
  ULONG length = 0;  // bytes of value
  WORD type = 0;
  void* value = nullptr;
};

// Frame delays: one 32-bit value per frame, in hundredths of a second.
constexpr PROPID PropertyTagFrameDelay = 0x5100;
constexpr WORD PropertyTagTypeLong = 4;

// {6AEDBD6D-3FB5-418A-83A6-7F45229DC872}
inline const GUID FrameDimensionTime = {0x6aedbd6d, 0x3fb5, 0x418a, {0x83, 0xa6, 0x7f, 0x45, 0x22, 0x9d, 0xc8, 0x72}};
// {7462DC86-6180-4C7E-8E3F-EE7333A7A483}
inline const GUID FrameDimensionPage = {0x7462dc86, 0x6180, 0x4c7e, {0x8e, 0x3f, 0xee, 0x73, 0x33, 0xa7, 0xa4, 0x83}};

struct GdiplusStartupInput {
  UINT GdiplusVersion = 1;
  void* DebugEventCallback = nullptr;
  BOOL SuppressBackgroundThread = FALSE;
  BOOL SuppressExternalCodecs = FALSE;
};

Status GdiplusStartup(ULONG_PTR* token, const GdiplusStartupInput* input, void* output);
void GdiplusShutdown(ULONG_PTR token);

// A decoded image as the backend holds it (GDI+'s native image object).
class GpImage {
 public:
  virtual ~GpImage() = default;
  virtual UINT Width() const = 0;
  virtual UINT Height() const = 0;
  // Frames along the time dimension; 1 for a still picture.
  virtual UINT FrameCount() const = 0;
  // Hundredths of a second per frame; empty for a still picture.
  virtual const uint32_t* FrameDelays() const = 0;
  virtual UINT ActiveFrame() const = 0;
  virtual bool SelectFrame(UINT index) = 0;
};

namespace DllExports {
Status GdipLoadImageFromStream(IStream* stream, GpImage** image);
Status GdipDisposeImage(GpImage* image);
}  // namespace DllExports

class Image {
 public:
  explicit Image(IStream* stream, BOOL useEmbeddedColorManagement = FALSE);
  virtual ~Image();
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  // The status of the last call, reset to Ok by reading it.
  Status GetLastStatus() const;
  UINT GetWidth();
  UINT GetHeight();
  UINT GetFrameDimensionsCount();
  Status GetFrameDimensionsList(GUID* dimensionIDs, UINT count);
  UINT GetFrameCount(const GUID* dimensionID);
  // Bytes for GetPropertyItem: the item followed by its value; 0 when the image has no such item.
  UINT GetPropertyItemSize(PROPID propId);
  Status GetPropertyItem(PROPID propId, UINT propSize, PropertyItem* buffer);
  Status SelectActiveFrame(const GUID* dimensionID, UINT frameIndex);

 protected:
  // For derived images that load their native image themselves.
  Image() = default;
  Image(GpImage* image, Status status) : nativeImage(image), lastResult(status) {}
  void SetNativeImage(GpImage* image);
  Status SetStatus(Status status) const {
    if (status != Ok) lastResult = status;
    return status;
  }

  GpImage* nativeImage = nullptr;
  mutable Status lastResult = Ok;

  friend class Graphics;
};

class Graphics {
 public:
  explicit Graphics(HDC dc) : dc_(dc), lastResult_(dc ? Ok : InvalidParameter) {}
  static Graphics* FromHDC(HDC dc) { return new Graphics(dc); }
  Graphics(const Graphics&) = delete;
  Graphics& operator=(const Graphics&) = delete;

  Status DrawImage(Image* image, INT x, INT y, INT width, INT height);
  Status DrawImage(Image* image, INT x, INT y);
  Status GetLastStatus() const;

 private:
  HDC dc_;
  mutable Status lastResult_;
};

}  // namespace win::Gdiplus
