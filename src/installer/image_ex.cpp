#include "installer/image_ex.h"

#include <cstring>
#include <optional>

#include "platform/platform.h"
#include "platform/text.h"

namespace qz {

using namespace win;
namespace gp = win::Gdiplus;

ImageEx::~ImageEx() { Release(); }

bool ImageEx::Load(std::u16string_view type, int id) {
  std::lock_guard<std::mutex> lock(control_);
  ReleaseLocked();

  stopEvent_ = Time().CreateEventW(TRUE, FALSE);
  runEvent_ = Time().CreateEventW(TRUE, TRUE);

  const std::optional<std::vector<BYTE>> bytes =
      Resources().LoadResourceBytes(type, u"#" + Utf8ToWide(std::to_string(id)), 0);
  if (!bytes || bytes->empty()) return false;

  HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, bytes->size());
  if (!mem) return false;
  void* p = GlobalLock(mem);
  if (!p) {
    GlobalFree(mem);
    return false;
  }
  std::memcpy(p, bytes->data(), bytes->size());
  GlobalUnlock(mem);
  if (CreateStreamOnHGlobal(mem, TRUE, &stream_) != 0 || !stream_) {
    stream_ = nullptr;
    GlobalFree(mem);
    return false;
  }

  gp::GpImage* image = nullptr;
  if (gp::DllExports::GdipLoadImageFromStream(stream_, &image) != gp::Ok || !image) {
    lastResult = gp::UnknownImageFormat;
    return false;
  }
  nativeImage = image;
  lastResult = gp::Ok;
  loaded_ = true;

  if (const UINT dimensions = GetFrameDimensionsCount(); dimensions > 0) {
    std::vector<GUID> ids(dimensions);
    if (GetFrameDimensionsList(ids.data(), dimensions) == gp::Ok) frameCount_ = GetFrameCount(&ids[0]);
  }
  if (const UINT size = GetPropertyItemSize(gp::PropertyTagFrameDelay); size >= sizeof(gp::PropertyItem)) {
    std::vector<uint64_t> buffer((size + sizeof(uint64_t) - 1) / sizeof(uint64_t));
    auto* item = reinterpret_cast<gp::PropertyItem*>(buffer.data());
    if (GetPropertyItem(gp::PropertyTagFrameDelay, size, item) == gp::Ok && item->value) {
      delays_.resize(item->length / sizeof(uint32_t));
      std::memcpy(delays_.data(), item->value, delays_.size() * sizeof(uint32_t));
    }
  }
  // A picture that names fewer delays than frames shows the others without a pause.
  if (delays_.size() < frameCount_) delays_.resize(frameCount_, 0);
  return true;
}

void ImageEx::SetTarget(HWND window, int x, int y) {
  std::lock_guard<std::mutex> lock(control_);
  target_ = window;
  x_ = x;
  y_ = y;
}

bool ImageEx::Start() {
  std::lock_guard<std::mutex> lock(control_);
  if (!loaded_ || frameCount_ < 2 || thread_.joinable()) return false;
  thread_ = std::thread([this] { Animate(); });
  return true;
}

void ImageEx::Pause() {
  std::lock_guard<std::mutex> lock(control_);
  if (frameCount_ > 1 && !paused_) {
    Time().ResetEvent(runEvent_);
    paused_ = true;
  }
}

void ImageEx::Release() {
  std::lock_guard<std::mutex> lock(control_);
  ReleaseLocked();
}

void ImageEx::ReleaseLocked() {
  if (thread_.joinable()) {
    if (paused_) Time().SetEvent(runEvent_);
    Time().SetEvent(stopEvent_);
    thread_.join();
  }
  paused_ = false;
  if (stopEvent_) CloseHandle(stopEvent_);
  if (runEvent_) CloseHandle(runEvent_);
  stopEvent_ = runEvent_ = nullptr;
  delays_.clear();
  frameCount_ = 0;
  if (nativeImage) {
    gp::DllExports::GdipDisposeImage(nativeImage);
    nativeImage = nullptr;
  }
  if (stream_) {
    stream_->Release();
    stream_ = nullptr;
  }
  loaded_ = false;
}

void ImageEx::Animate() {
  UINT index = 0;
  for (;;) {
    Time().Sleep(10);
    Time().WaitForSingleObject(runEvent_, INFINITE);
    if (HDC dc = GetDC(target_)) {
      gp::Graphics graphics(dc);
      graphics.DrawImage(this, x_, y_, static_cast<INT>(GetWidth()), static_cast<INT>(GetHeight()));
      ReleaseDC(target_, dc);
      ++framesDrawn_;
    }
    SelectActiveFrame(&gp::FrameDimensionTime, index);
    if (++index >= frameCount_) index = 0;
    if (Time().WaitForSingleObject(stopEvent_, delays_[index] * 10, WaitKind::Pause) == WAIT_OBJECT_0) return;
  }
}

}  // namespace qz
