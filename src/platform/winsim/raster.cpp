#include "platform/winsim/raster.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <system_error>

#include <unistd.h>

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H
#include <gif_lib.h>
#include <png.h>

namespace winsim {
namespace {

// Pictures come from program files and the network: bound what one may cost in memory.
constexpr uint64_t kMaxPixels = uint64_t{1} << 26;

uint32_t Le16(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8; }
uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint32_t Opaque(uint32_t r, uint32_t g, uint32_t b) { return 0xFF000000u | r << 16 | g << 8 | b; }

// One colour channel of a BI_BITFIELDS mask, scaled to 8 bits.
struct Channel {
  uint32_t mask = 0;
  int shift = 0;
  uint32_t max = 0;
  bool Set(uint32_t m) {
    if (m == 0) return false;
    mask = m;
    shift = __builtin_ctz(m);
    max = m >> shift;
    return (max & (max + 1)) == 0;  // contiguous bits only
  }
  uint32_t Get(uint32_t v) const { return ((v & mask) >> shift) * 255u / max; }
};

// hdr: the info header; bitsOffset: where the pixel rows start, counted from hdr (0 = right after
// the colour table, as in a packed DIB resource).
std::optional<Pixels> DecodeDibAt(const uint8_t* data, size_t size, uint64_t bitsOffset) {
  if (data == nullptr || size < 40) return std::nullopt;
  const uint32_t hdrSize = Le32(data);
  if (hdrSize != 40 && hdrSize != 108 && hdrSize != 124) return std::nullopt;
  if (size < hdrSize) return std::nullopt;
  const int32_t width = static_cast<int32_t>(Le32(data + 4));
  const int32_t height = static_cast<int32_t>(Le32(data + 8));
  const uint32_t planes = Le16(data + 12);
  const uint32_t bpp = Le16(data + 14);
  const uint32_t compression = Le32(data + 16);
  const uint32_t clrUsed = Le32(data + 32);
  if (planes != 1 || width <= 0 || height == 0 || height == std::numeric_limits<int32_t>::min()) {
    return std::nullopt;
  }
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 24 && bpp != 32) return std::nullopt;
  const bool topDown = height < 0;
  const uint64_t rows = topDown ? static_cast<uint64_t>(-static_cast<int64_t>(height))
                                : static_cast<uint64_t>(height);
  const uint64_t cols = static_cast<uint64_t>(width);
  if (cols * rows > kMaxPixels) return std::nullopt;

  uint64_t pos = hdrSize;
  Channel red, green, blue;
  if (compression == 3) {  // BI_BITFIELDS
    if (bpp != 32) return std::nullopt;
    const uint8_t* masks = data + 40;  // inside a V4/V5 header, after a plain one
    if (hdrSize == 40) {
      if (size < 52) return std::nullopt;
      pos += 12;
    }
    if (!red.Set(Le32(masks)) || !green.Set(Le32(masks + 4)) || !blue.Set(Le32(masks + 8))) {
      return std::nullopt;
    }
  } else if (compression != 0) {
    return std::nullopt;
  }

  uint64_t colours = clrUsed;
  if (bpp <= 8) {
    const uint64_t full = uint64_t{1} << bpp;
    if (colours == 0) colours = full;
    if (colours > full) return std::nullopt;
  } else if (colours > (uint64_t{1} << 24)) {
    return std::nullopt;
  }
  const uint64_t tableAt = pos;
  pos += colours * 4;
  if (pos > size) return std::nullopt;
  if (bitsOffset == 0) {
    bitsOffset = pos;
  } else if (bitsOffset < pos) {
    return std::nullopt;
  }

  const uint64_t stride = (cols * bpp + 31) / 32 * 4;
  const uint64_t need = stride * rows;
  if (bitsOffset > size || need > size - bitsOffset) return std::nullopt;

  std::vector<uint32_t> palette;
  if (bpp <= 8) {
    palette.resize(colours);
    for (uint64_t i = 0; i < colours; ++i) {
      const uint8_t* q = data + tableAt + i * 4;
      palette[i] = Opaque(q[2], q[1], q[0]);
    }
  }

  Pixels out;
  out.width = width;
  out.height = static_cast<int>(rows);
  out.argb.resize(cols * rows);
  for (uint64_t r = 0; r < rows; ++r) {
    const uint8_t* row = data + bitsOffset + r * stride;
    const uint64_t y = topDown ? r : rows - 1 - r;
    uint32_t* dst = out.argb.data() + y * cols;
    for (uint64_t x = 0; x < cols; ++x) {
      switch (bpp) {
        case 1:
        case 4:
        case 8: {
          const uint64_t bit = x * bpp;
          const unsigned shift = 8 - bpp - static_cast<unsigned>(bit % 8);
          const uint32_t index = (row[bit / 8] >> shift) & ((1u << bpp) - 1);
          // An index past a short table draws black, as GDI does.
          dst[x] = index < palette.size() ? palette[index] : 0xFF000000u;
          break;
        }
        case 24: {
          const uint8_t* q = row + x * 3;
          dst[x] = Opaque(q[2], q[1], q[0]);
          break;
        }
        default: {
          const uint8_t* q = row + x * 4;
          if (compression == 3) {
            const uint32_t v = Le32(q);
            dst[x] = Opaque(red.Get(v), green.Get(v), blue.Get(v));
          } else {
            dst[x] = Opaque(q[2], q[1], q[0]);  // the fourth byte is not alpha in BI_RGB
          }
          break;
        }
      }
    }
  }
  return out;
}

struct GifSource {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

int ReadGifBytes(GifFileType* gif, GifByteType* buf, int want) {
  auto* src = static_cast<GifSource*>(gif->UserData);
  if (want <= 0) return 0;
  const size_t n = std::min(static_cast<size_t>(want), src->size - src->pos);
  std::memcpy(buf, src->data + src->pos, n);
  src->pos += n;
  return static_cast<int>(n);
}

struct GifCloser {
  void operator()(GifFileType* gif) const {
    int err = 0;
    DGifCloseFile(gif, &err);
  }
};

// FreeType faces are shared by every thread of the process; one lock covers their use.
class Fonts {
 public:
  static Fonts& Get() {
    static Fonts fonts;
    return fonts;
  }
  std::mutex& Lock() { return lock_; }
  // nullptr when no font is installed. Call with the lock held.
  FT_Face Face(bool bold) {
    if (!loaded_) {
      loaded_ = true;
      if (FT_Init_FreeType(&library_) != 0) {
        library_ = nullptr;
        return nullptr;
      }
      regular_ = Open({"/usr/share/fonts/truetype/nanum/NanumGothic.ttf",
                       "/usr/share/fonts/truetype/nanum/NanumBarunGothic.ttf",
                       "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc",
                       "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"});
      bold_ = Open({"/usr/share/fonts/truetype/nanum/NanumGothicBold.ttf",
                    "/usr/share/fonts/truetype/nanum/NanumBarunGothicBold.ttf",
                    "/usr/share/fonts/opentype/noto/NotoSansCJK-Bold.ttc",
                    "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"});
      if (bold_ == nullptr) bold_ = regular_;
      if (regular_ == nullptr) regular_ = bold_;
    }
    return bold ? bold_ : regular_;
  }

 private:
  FT_Face Open(std::initializer_list<const char*> paths) {
    for (const char* path : paths) {
      FT_Face face = nullptr;
      if (FT_New_Face(library_, path, 0, &face) == 0) {
        if (FT_IS_SCALABLE(face)) return face;
        FT_Done_Face(face);
      }
    }
    return nullptr;
  }

  std::mutex lock_;
  bool loaded_ = false;
  FT_Library library_ = nullptr;
  FT_Face regular_ = nullptr;
  FT_Face bold_ = nullptr;
};

constexpr FT_Int32 kLoadFlags = FT_LOAD_NO_BITMAP | FT_LOAD_TARGET_NORMAL;

// Sizes the face for the font and returns its ascender in pixels; false when it cannot.
bool SizeFace(FT_Face face, const FontDesc& font, int* ascender) {
  const int height = font.height == 0 ? 16 : font.height;
  double winAscent = face->ascender;
  double winDescent = -face->descender;
  if (auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
      os2 != nullptr && os2->usWinAscent + os2->usWinDescent > 0) {
    winAscent = os2->usWinAscent;
    winDescent = os2->usWinDescent;
  }
  const double units = face->units_per_EM > 0 ? face->units_per_EM : 1000.0;
  const double cell = winAscent + winDescent > 0 ? winAscent + winDescent : units;
  // Positive: the whole cell is that tall; negative: the em is.
  const double em = height > 0 ? height * units / cell : -static_cast<double>(height);
  const double clamped = std::clamp(em, 1.0, 1000.0);
  if (FT_Set_Char_Size(face, 0, static_cast<FT_F26Dot6>(clamped * 64 + 0.5), 72, 72) != 0) {
    return false;
  }
  *ascender = static_cast<int>(winAscent * clamped / units + 0.5);
  return true;
}

std::u32string CodePoints(std::u16string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      out.push_back(0x10000 + ((char32_t{c} - 0xD800) << 10) + (char32_t{text[i + 1]} - 0xDC00));
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      out.push_back(0xFFFD);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// Advance of each code point in 26.6 pixels. Call with the font lock held and the face sized.
std::vector<FT_Pos> Advances(FT_Face face, const std::u32string& text) {
  std::vector<FT_Pos> out;
  out.reserve(text.size());
  for (char32_t c : text) {
    FT_Pos advance = 0;
    if (FT_Load_Glyph(face, FT_Get_Char_Index(face, c), kLoadFlags) == 0) {
      advance = face->glyph->advance.x;
    }
    out.push_back(advance);
  }
  return out;
}

int Pixels26(FT_Pos v) { return static_cast<int>((v + 63) / 64); }

FT_Pos Sum(const std::vector<FT_Pos>& v, size_t n) {
  FT_Pos total = 0;
  for (size_t i = 0; i < n; ++i) total += v[i];
  return total;
}

// The code points to draw: the whole line, or as much of it as fits before "...".
std::u32string Fit(FT_Face face, std::u32string text, int width) {
  std::vector<FT_Pos> advances = Advances(face, text);
  if (Pixels26(Sum(advances, advances.size())) <= width) return text;
  const std::vector<FT_Pos> dots = Advances(face, U"...");
  const FT_Pos dotsWidth = Sum(dots, dots.size());
  size_t keep = 0;
  FT_Pos used = dotsWidth;
  while (keep < advances.size() && Pixels26(used + advances[keep]) <= width) used += advances[keep++];
  text.resize(keep);
  return text + U"...";
}

struct FontSession {
  std::unique_lock<std::mutex> lock;
  FT_Face face = nullptr;
  int ascender = 0;
};

FontSession OpenFont(const FontDesc& font) {
  Fonts& fonts = Fonts::Get();
  FontSession session{std::unique_lock<std::mutex>(fonts.Lock())};
  FT_Face face = fonts.Face(font.weight >= 600);
  if (face != nullptr && SizeFace(face, font, &session.ascender)) session.face = face;
  return session;
}

std::u16string ToUtf16(const std::u32string& text) {
  std::u16string out;
  for (char32_t c : text) {
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

}  // namespace

std::optional<Pixels> DecodeDib(const uint8_t* data, size_t size) { return DecodeDibAt(data, size, 0); }

std::optional<Pixels> DecodeBmpFile(const uint8_t* data, size_t size) {
  if (data == nullptr || size < 14 || data[0] != 'B' || data[1] != 'M') return std::nullopt;
  const uint32_t offBits = Le32(data + 10);
  if (offBits < 14) return std::nullopt;
  return DecodeDibAt(data + 14, size - 14, offBits - 14);
}

std::optional<GifAnimation> DecodeGif(const uint8_t* data, size_t size) {
  if (data == nullptr) return std::nullopt;
  GifSource source{data, size, 0};
  int err = 0;
  std::unique_ptr<GifFileType, GifCloser> gif(DGifOpen(&source, ReadGifBytes, &err));
  if (!gif) return std::nullopt;
  const uint64_t screenW = gif->SWidth > 0 ? static_cast<uint64_t>(gif->SWidth) : 0;
  const uint64_t screenH = gif->SHeight > 0 ? static_cast<uint64_t>(gif->SHeight) : 0;
  if (screenW == 0 || screenH == 0 || screenW * screenH > kMaxPixels) return std::nullopt;
  if (DGifSlurp(gif.get()) != GIF_OK || gif->ImageCount <= 0) return std::nullopt;
  const uint64_t frameCount = static_cast<uint64_t>(gif->ImageCount);
  if (frameCount * screenW * screenH > kMaxPixels * 4) return std::nullopt;

  const int sw = static_cast<int>(screenW);
  const int sh = static_cast<int>(screenH);
  GifAnimation anim;
  anim.width = sw;
  anim.height = sh;
  // Viewers start from, and "restore to background" means, a transparent screen.
  std::vector<uint32_t> screen(screenW * screenH, 0);
  for (int i = 0; i < gif->ImageCount; ++i) {
    const SavedImage& image = gif->SavedImages[i];
    GraphicsControlBlock gcb{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
    if (DGifSavedExtensionToGCB(gif.get(), i, &gcb) != GIF_OK) {
      gcb = GraphicsControlBlock{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
    }
    const ColorMapObject* map = image.ImageDesc.ColorMap ? image.ImageDesc.ColorMap : gif->SColorMap;
    if (map == nullptr || map->Colors == nullptr || image.RasterBits == nullptr) return std::nullopt;
    const int64_t left = image.ImageDesc.Left;
    const int64_t top = image.ImageDesc.Top;
    const int64_t fw = image.ImageDesc.Width;
    const int64_t fh = image.ImageDesc.Height;
    if (fw < 0 || fh < 0) return std::nullopt;
    // Frames may reach past the screen; only the part on it is drawn.
    const int64_t x0 = std::clamp<int64_t>(left, 0, sw), x1 = std::clamp<int64_t>(left + fw, 0, sw);
    const int64_t y0 = std::clamp<int64_t>(top, 0, sh), y1 = std::clamp<int64_t>(top + fh, 0, sh);

    std::vector<uint32_t> previous;
    if (gcb.DisposalMode == DISPOSE_PREVIOUS) previous = screen;
    for (int64_t y = y0; y < y1; ++y) {
      const GifByteType* src = image.RasterBits + (y - top) * fw;
      for (int64_t x = x0; x < x1; ++x) {
        const int index = src[x - left];
        if (index == gcb.TransparentColor || index >= map->ColorCount) continue;
        const GifColorType& c = map->Colors[index];
        screen[static_cast<size_t>(y) * screenW + static_cast<size_t>(x)] =
            Opaque(c.Red, c.Green, c.Blue);
      }
    }
    Pixels frame;
    frame.width = sw;
    frame.height = sh;
    frame.argb = screen;
    anim.frames.push_back(std::move(frame));
    anim.delays.push_back(gcb.DelayTime > 0 ? static_cast<uint32_t>(gcb.DelayTime) : 0);

    if (gcb.DisposalMode == DISPOSE_BACKGROUND) {
      for (int64_t y = y0; y < y1; ++y) {
        std::fill(screen.begin() + y * sw + x0, screen.begin() + y * sw + x1, 0u);
      }
    } else if (gcb.DisposalMode == DISPOSE_PREVIOUS) {
      screen = std::move(previous);
    }
  }
  return anim;
}

Canvas::Canvas(int width, int height, uint32_t fill) {
  pixels_.width = std::max(width, 0);
  pixels_.height = std::max(height, 0);
  pixels_.argb.assign(static_cast<size_t>(pixels_.width) * pixels_.height, fill);
}

void Canvas::Blit(const Pixels& src, int x, int y, int w, int h) {
  if (w == -1) w = src.width;
  if (h == -1) h = src.height;
  w = std::min(w, src.width);
  h = std::min(h, src.height);
  if (w <= 0 || h <= 0 || src.argb.size() < static_cast<size_t>(src.width) * src.height) return;
  const int64_t x0 = std::max<int64_t>(x, 0), x1 = std::min<int64_t>(int64_t{x} + w, Width());
  const int64_t y0 = std::max<int64_t>(y, 0), y1 = std::min<int64_t>(int64_t{y} + h, Height());
  for (int64_t dy = y0; dy < y1; ++dy) {
    const uint32_t* from = src.argb.data() + (dy - y) * src.width;
    uint32_t* to = pixels_.argb.data() + dy * Width();
    for (int64_t dx = x0; dx < x1; ++dx) {
      const uint32_t p = from[dx - x];
      if ((p >> 24) != 0) to[dx] = p;
    }
  }
}

void Canvas::FillRect(int x, int y, int w, int h, uint32_t argb) {
  const int64_t x0 = std::max<int64_t>(x, 0), x1 = std::min<int64_t>(int64_t{x} + w, Width());
  const int64_t y0 = std::max<int64_t>(y, 0), y1 = std::min<int64_t>(int64_t{y} + h, Height());
  for (int64_t dy = y0; dy < y1; ++dy) {
    uint32_t* row = pixels_.argb.data() + dy * Width();
    std::fill(row + x0, row + std::max(x0, x1), argb);
  }
}

void Canvas::Text(int x, int y, int w, int h, std::u16string_view text, const FontDesc& font,
                  uint32_t rgb, unsigned flags) {
  if (w <= 0 || h <= 0 || text.empty()) return;
  const int64_t clipX0 = std::max<int64_t>(x, 0), clipX1 = std::min<int64_t>(int64_t{x} + w, Width());
  const int64_t clipY0 = std::max<int64_t>(y, 0), clipY1 = std::min<int64_t>(int64_t{y} + h, Height());
  if (clipX0 >= clipX1 || clipY0 >= clipY1) return;

  FontSession session = OpenFont(font);
  FT_Face face = session.face;
  if (face == nullptr) return;
  std::u32string line = CodePoints(text);
  if (flags & kTextEndEllipsis) line = Fit(face, std::move(line), w);
  const std::vector<FT_Pos> advances = Advances(face, line);
  const int lineWidth = Pixels26(Sum(advances, advances.size()));

  const uint32_t cr = (rgb >> 16) & 0xFF, cg = (rgb >> 8) & 0xFF, cb = rgb & 0xFF;
  FT_Pos pen = ((flags & kTextRight) ? int64_t{x} + w - lineWidth : int64_t{x}) * 64;
  const int64_t baseline = int64_t{y} + session.ascender;
  for (size_t i = 0; i < line.size(); ++i) {
    const FT_Pos advance = advances[i];
    if (FT_Load_Glyph(face, FT_Get_Char_Index(face, line[i]), kLoadFlags | FT_LOAD_RENDER) != 0) {
      pen += advance;
      continue;
    }
    const FT_Bitmap& bitmap = face->glyph->bitmap;
    const bool mono = bitmap.pixel_mode == FT_PIXEL_MODE_MONO;
    if ((bitmap.pixel_mode == FT_PIXEL_MODE_GRAY || mono) && bitmap.pitch > 0 && bitmap.buffer) {
      const int64_t left = pen / 64 + face->glyph->bitmap_left;
      const int64_t top = baseline - face->glyph->bitmap_top;
      const int levels = mono ? 1 : std::max(bitmap.num_grays - 1, 1);
      for (unsigned row = 0; row < bitmap.rows; ++row) {
        const int64_t py = top + row;
        if (py < clipY0 || py >= clipY1) continue;
        const uint8_t* src = bitmap.buffer + static_cast<size_t>(row) * bitmap.pitch;
        uint32_t* dst = pixels_.argb.data() + py * Width();
        for (unsigned col = 0; col < bitmap.width; ++col) {
          const int64_t px = left + col;
          if (px < clipX0 || px >= clipX1) continue;
          const uint32_t cover =
              (mono ? ((src[col / 8] >> (7 - col % 8)) & 1) : src[col]) * 255u / levels;
          if (cover == 0) continue;
          const uint32_t d = dst[px];
          const auto mix = [cover](uint32_t under, uint32_t over) {
            return (under * (255 - cover) + over * cover + 127) / 255;
          };
          const uint32_t da = d >> 24;
          const uint32_t a = da + (255 - da) * cover / 255;
          dst[px] = a << 24 | mix((d >> 16) & 0xFF, cr) << 16 | mix((d >> 8) & 0xFF, cg) << 8 |
                    mix(d & 0xFF, cb);
        }
      }
    }
    pen += advance;
  }
}

int Canvas::MeasureText(std::u16string_view text, const FontDesc& font) {
  FontSession session = OpenFont(font);
  if (session.face == nullptr) return 0;
  const std::vector<FT_Pos> advances = Advances(session.face, CodePoints(text));
  return Pixels26(Sum(advances, advances.size()));
}

std::u16string EndEllipsis(std::u16string_view text, const FontDesc& font, int width) {
  FontSession session = OpenFont(font);
  if (session.face == nullptr) return std::u16string(text);
  return ToUtf16(Fit(session.face, CodePoints(text), width));
}

bool Canvas::WritePng(const std::string& hostPath) const {
  if (Width() <= 0 || Height() <= 0) return false;
  std::vector<uint8_t> rgba(pixels_.argb.size() * 4);
  for (size_t i = 0; i < pixels_.argb.size(); ++i) {
    const uint32_t p = pixels_.argb[i];
    rgba[i * 4] = static_cast<uint8_t>(p >> 16);
    rgba[i * 4 + 1] = static_cast<uint8_t>(p >> 8);
    rgba[i * 4 + 2] = static_cast<uint8_t>(p);
    rgba[i * 4 + 3] = static_cast<uint8_t>(p >> 24);
  }
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(Width());
  image.height = static_cast<png_uint_32>(Height());
  image.format = PNG_FORMAT_RGBA;

  // Written beside the target and renamed over it, so a reader sees the old picture or the new.
  static std::atomic<unsigned> serial{0};
  const std::string temp = hostPath + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(serial++);
  FILE* file = std::fopen(temp.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = png_image_write_to_stdio(&image, file, 0, rgba.data(), 0, nullptr) != 0;
  png_image_free(&image);
  ok = std::fflush(file) == 0 && ok;
  ok = std::fclose(file) == 0 && ok;
  std::error_code ec;
  if (ok) {
    std::filesystem::rename(temp, hostPath, ec);
    ok = !ec;
  }
  if (!ok) std::filesystem::remove(temp, ec);
  return ok;
}

std::optional<Pixels> ReadPng(const std::string& hostPath) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&image, hostPath.c_str()) == 0) return std::nullopt;
  if (image.width == 0 || image.height == 0 || uint64_t{image.width} * image.height > kMaxPixels) {
    png_image_free(&image);
    return std::nullopt;
  }
  image.format = PNG_FORMAT_RGBA;
  std::vector<uint8_t> rgba(PNG_IMAGE_SIZE(image));
  if (png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr) == 0) {
    png_image_free(&image);
    return std::nullopt;
  }
  Pixels out;
  out.width = static_cast<int>(image.width);
  out.height = static_cast<int>(image.height);
  out.argb.resize(static_cast<size_t>(out.width) * out.height);
  for (size_t i = 0; i < out.argb.size(); ++i) {
    const uint8_t* q = rgba.data() + i * 4;
    out.argb[i] = uint32_t{q[3]} << 24 | uint32_t{q[0]} << 16 | uint32_t{q[1]} << 8 | q[2];
  }
  return out;
}

}  // namespace winsim
