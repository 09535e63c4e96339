// GDI+ of the window service: animated GIF images drawn on a DC.
#include <algorithm>
#include <atomic>
#include <utility>

#include "platform/gdiplus.h"
#include "platform/winsim/windows_service.h"

namespace winsim {

using namespace win;

namespace {

class GifImage : public Gdiplus::GpImage {
 public:
  explicit GifImage(GifAnimation a) : anim_(std::move(a)) {}
  UINT Width() const override { return static_cast<UINT>(anim_.width); }
  UINT Height() const override { return static_cast<UINT>(anim_.height); }
  UINT FrameCount() const override { return static_cast<UINT>(anim_.frames.size()); }
  const uint32_t* FrameDelays() const override { return anim_.delays.empty() ? nullptr : anim_.delays.data(); }
  UINT ActiveFrame() const override { return active_.load(); }
  bool SelectFrame(UINT index) override {
    if (index >= anim_.frames.size()) return false;
    active_.store(index);
    return true;
  }
  const Pixels& Frame() const { return anim_.frames[active_.load()]; }

 private:
  GifAnimation anim_;
  std::atomic<UINT> active_{0};
};

}  // namespace

int WinsimWindows::GdiplusStartup(ULONG_PTR* token) {
  *token = ++gdiplusTokens_;
  return Gdiplus::Ok;
}

void WinsimWindows::GdiplusShutdown(ULONG_PTR) {}

int WinsimWindows::GdipLoadImageFromStream(IStream* stream, Gdiplus::GpImage** image) {
  std::vector<BYTE> bytes;
  BYTE buf[8192];
  ULONG n = 0;
  stream->Seek(0, STREAM_SEEK_SET, nullptr);
  while (SUCCEEDED(stream->Read(buf, sizeof buf, &n)) && n > 0) bytes.insert(bytes.end(), buf, buf + n);
  auto anim = DecodeGif(bytes.data(), bytes.size());
  if (!anim || anim->frames.empty()) return Gdiplus::UnknownImageFormat;
  *image = new GifImage(std::move(*anim));
  return Gdiplus::Ok;
}

int WinsimWindows::GdipDrawImageRect(HDC dc, Gdiplus::GpImage* image, int x, int y, int width, int height) {
  auto* gif = dynamic_cast<GifImage*>(image);
  if (!gif || width < 0 || height < 0) return Gdiplus::InvalidParameter;
  Pixels frame = gif->Frame();
  if (width != frame.width || height != frame.height) frame = Scale(frame, width, height);
  std::lock_guard lock(core_->mu);
  return DrawOnDcLocked(dc, frame, x, y, /*opaque=*/false) ? Gdiplus::Ok : Gdiplus::InvalidParameter;
}

Pixels WinsimWindows::Scale(const Pixels& src, int w, int h) {
  Pixels out;
  out.width = w;
  out.height = h;
  out.argb.resize(static_cast<size_t>(w) * h);
  for (int r = 0; r < h; ++r) {
    for (int c = 0; c < w; ++c) {
      out.argb[static_cast<size_t>(r) * w + c] = src.At(c * src.width / std::max(w, 1), r * src.height / std::max(h, 1));
    }
  }
  return out;
}

}  // namespace winsim
