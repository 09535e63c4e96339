// Pixels for the simulated window system: decoding the picture resources a program carries
// (device-independent bitmaps and animated GIFs), drawing them and text onto a canvas, and
// writing the canvas as PNG so people and tests can look at a window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim {

// 0xAARRGGBB, rows top-down.
struct Pixels {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> argb;
  uint32_t At(int x, int y) const { return argb[static_cast<size_t>(y) * width + x]; }
};

// A bitmap resource as Windows keeps it: BITMAPINFOHEADER (or BITMAPV4/V5 header), colour table,
// bits; no file header. Uncompressed 1, 4, 8, 24 and 32 bits per pixel, bottom-up or top-down.
// nullopt when malformed or truncated.
std::optional<Pixels> DecodeDib(const uint8_t* data, size_t size);
// A .bmp file: its 14-byte file header, then a DIB as above.
std::optional<Pixels> DecodeBmpFile(const uint8_t* data, size_t size);

// Every frame composed onto the logical screen as a viewer would show it (disposal methods and
// transparency honoured), with its delay in hundredths of a second (0 when none is given).
struct GifAnimation {
  int width = 0;
  int height = 0;
  std::vector<Pixels> frames;
  std::vector<uint32_t> delays;
};
std::optional<GifAnimation> DecodeGif(const uint8_t* data, size_t size);

// A font as CreateFontW describes it. Any face maps to a Korean-capable font installed on the
// host; weight 600 and above draws bold. height > 0: cell height, < 0: character height, 0: 16.
struct FontDesc {
  std::u16string face;
  int height = 0;
  int weight = 400;
};

enum TextFlags : unsigned {
  kTextLeft = 0,
  kTextRight = 1,         // SS_RIGHT
  kTextEndEllipsis = 2,   // SS_ENDELLIPSIS: a line too wide ends in "..." inside the box
};

class Canvas {
 public:
  Canvas(int width, int height, uint32_t fill = 0xFFFFFFFF);
  int Width() const { return pixels_.width; }
  int Height() const { return pixels_.height; }
  const Pixels& Image() const { return pixels_; }

  // Copies src (its top-left part of w x h, or all of it when w/h are -1) to (x, y), clipped to
  // the canvas; source alpha 0 leaves the canvas pixel, anything else replaces it.
  void Blit(const Pixels& src, int x, int y, int w = -1, int h = -1);
  void FillRect(int x, int y, int w, int h, uint32_t argb);
  // One line of text, top-aligned in the box and clipped to it; the colour's alpha is ignored.
  void Text(int x, int y, int w, int h, std::u16string_view text, const FontDesc& font, uint32_t rgb,
            unsigned flags = kTextLeft);
  // Advance width of one line in pixels.
  static int MeasureText(std::u16string_view text, const FontDesc& font);

  // 8-bit RGBA PNG at a host path; false on I/O failure.
  bool WritePng(const std::string& hostPath) const;

 private:
  Pixels pixels_;
};

// The line Text draws with kTextEndEllipsis in a box this wide: the text itself when it fits,
// otherwise as much of it as fits followed by "...".
std::u16string EndEllipsis(std::u16string_view text, const FontDesc& font, int width);

// Reads a PNG back (tests and tools). nullopt when it cannot be read.
std::optional<Pixels> ReadPng(const std::string& hostPath);

}  // namespace winsim
