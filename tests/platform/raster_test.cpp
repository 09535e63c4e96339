#include "platform/winsim/raster.h"

#include <gif_lib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <initializer_list>

#include "support/host_files.h"

namespace winsim {
namespace {

constexpr uint32_t kWhite = 0xFFFFFFFF;
constexpr uint32_t kRed = 0xFFFF0000;
constexpr uint32_t kGreen = 0xFF00FF00;
constexpr uint32_t kBlue = 0xFF0000FF;

void Put16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

struct DibHeader {
  int32_t width = 0;
  int32_t height = 0;
  uint16_t bpp = 24;
  uint32_t compression = 0;
  uint32_t clrUsed = 0;
  uint32_t headerSize = 40;
};

std::vector<uint8_t> Dib(const DibHeader& h, std::initializer_list<uint32_t> palette,
                         std::initializer_list<uint8_t> bits) {
  std::vector<uint8_t> b;
  Put32(b, h.headerSize);
  Put32(b, static_cast<uint32_t>(h.width));
  Put32(b, static_cast<uint32_t>(h.height));
  Put16(b, 1);
  Put16(b, h.bpp);
  Put32(b, h.compression);
  for (int i = 0; i < 3; ++i) Put32(b, 0);  // image size, resolution
  Put32(b, h.clrUsed);
  Put32(b, 0);
  b.resize(h.headerSize, 0);
  for (uint32_t c : palette) Put32(b, c);  // 0x00RRGGBB is B,G,R,0 in memory
  b.insert(b.end(), bits);
  return b;
}

std::vector<uint32_t> Decoded(const std::vector<uint8_t>& dib) {
  auto p = DecodeDib(dib.data(), dib.size());
  if (!p) return {};
  EXPECT_EQ(p->argb.size(), static_cast<size_t>(p->width) * p->height);
  return p->argb;
}

TEST(DibTest, DecodesEachLayoutTopRowFirst) {
  struct Case {
    const char* name;
    std::vector<uint8_t> dib;
    std::vector<uint32_t> expected;  // 2 columns per row unless noted by the layout
  };
  const Case cases[] = {
      {"24-bit bottom-up, rows padded to 4 bytes",
       Dib({.width = 2, .height = 2, .bpp = 24}, {},
           {0, 0, 0xFF, 0, 0xFF, 0, 0xAA, 0xAA,         // bottom row: red, green, padding
            0xFF, 0, 0, 0xFF, 0xFF, 0xFF, 0xAA, 0xAA}),  // top row: blue, white
       {kBlue, kWhite, kRed, kGreen}},
      {"8-bit with a short palette; an index past it is black",
       Dib({.width = 2, .height = -2, .bpp = 8, .clrUsed = 2}, {0xFF0000, 0x00FF00},
           {1, 0, 0, 0, 7, 1, 0, 0}),
       {kGreen, kRed, 0xFF000000, kGreen}},
      {"32-bit top-down; the fourth byte is no alpha",
       Dib({.width = 2, .height = -1, .bpp = 32}, {}, {0xFF, 0, 0, 0x00, 0, 0, 0xFF, 0x7F}),
       {kBlue, kRed}},
      {"32-bit with bit fields in a V5 header", [] {
         auto d = Dib({.width = 1, .height = 1, .bpp = 32, .compression = 3, .headerSize = 124}, {},
                      {0x00, 0xFF, 0x00, 0x00});  // 0x0000FF00 with red mask 0xFF00
         std::vector<uint8_t> masks;
         for (uint32_t m : {0xFF00u, 0xFF0000u, 0xFFu}) Put32(masks, m);
         std::copy(masks.begin(), masks.end(), d.begin() + 40);
         return d;
       }(),
       {kRed}},
      {"1-bit crossing a byte, rows padded",
       Dib({.width = 10, .height = 1, .bpp = 1}, {0x000000, 0xFFFFFF}, {0b10000000, 0b01000000, 0, 0}),
       {kWhite, 0xFF000000, 0xFF000000, 0xFF000000, 0xFF000000, 0xFF000000, 0xFF000000, 0xFF000000,
        0xFF000000, kWhite}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Decoded(c.dib), c.expected);
  }
}

TEST(DibTest, RejectsMalformedOrTruncatedInput) {
  const std::vector<uint8_t> good = Dib({.width = 2, .height = 2, .bpp = 24}, {}, std::initializer_list<uint8_t>{});
  auto withBits = [](std::vector<uint8_t> d, size_t n) {
    d.resize(d.size() + n, 0);
    return d;
  };
  ASSERT_EQ(Decoded(withBits(good, 16)).size(), 4u);
  struct Case {
    const char* name;
    std::vector<uint8_t> dib;
  };
  const Case cases[] = {
      {"one byte of bits missing", withBits(good, 15)},
      {"unknown header size", withBits(Dib({.width = 2, .height = 2, .headerSize = 64}, {}, {}), 16)},
      {"zero width", withBits(Dib({.width = 0, .height = 2}, {}, {}), 16)},
      {"most negative height", withBits(Dib({.width = 1, .height = INT_MIN}, {}, {}), 16)},
      {"row size overflows", withBits(Dib({.width = INT_MAX, .height = 1, .bpp = 32}, {}, {}), 64)},
      {"rows times height overflow", withBits(Dib({.width = 65536, .height = 65536, .bpp = 32}, {}, {}), 64)},
      {"palette larger than the depth allows",
       withBits(Dib({.width = 1, .height = 1, .bpp = 1, .clrUsed = 3}, {0, 0, 0}, {}), 4)},
      {"palette count past the data", withBits(Dib({.width = 1, .height = 1, .bpp = 24, .clrUsed = 0x40000000}, {}, {}), 4)},
      {"run-length compression", withBits(Dib({.width = 1, .height = 1, .bpp = 8, .compression = 1}, {}, {}), 1028)},
      {"16 bits per pixel", withBits(Dib({.width = 1, .height = 1, .bpp = 16}, {}, {}), 4)},
      {"header cut short", std::vector<uint8_t>(good.begin(), good.begin() + 39)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(DecodeDib(c.dib.data(), c.dib.size()).has_value());
  }
  EXPECT_FALSE(DecodeDib(nullptr, 0).has_value());
}

TEST(DibTest, BmpFileHonoursItsBitsOffset) {
  const auto dib = Dib({.width = 1, .height = 1, .bpp = 24}, {}, {0, 0, 0xFF, 0});
  std::vector<uint8_t> file = {'B', 'M'};
  Put32(file, 0);
  Put32(file, 0);
  Put32(file, static_cast<uint32_t>(14 + 40 + 8));  // an 8-byte gap before the bits
  file.insert(file.end(), dib.begin(), dib.begin() + 40);
  file.insert(file.end(), 8, 0xEE);
  file.insert(file.end(), dib.begin() + 40, dib.end());
  auto p = DecodeBmpFile(file.data(), file.size());
  ASSERT_TRUE(p);
  EXPECT_EQ(p->argb, std::vector<uint32_t>{kRed});

  file[10] = 20;  // bits inside the header
  EXPECT_FALSE(DecodeBmpFile(file.data(), file.size()));
  file[10] = 0xFF;  // bits past the end
  EXPECT_FALSE(DecodeBmpFile(file.data(), file.size()));
}

// A 4x1 animation: red screen kept; green over the right half disposed by `disposal`; then a frame
// transparent at x=0 and x=2 showing what each disposal left behind.
std::vector<uint8_t> EncodeGif(int disposal) {
  std::vector<uint8_t> out;
  auto write = [](GifFileType* gif, const GifByteType* data, int n) {
    auto* o = static_cast<std::vector<uint8_t>*>(gif->UserData);
    o->insert(o->end(), data, data + n);
    return n;
  };
  int err = 0;
  GifFileType* gif = EGifOpen(&out, write, &err);
  EXPECT_NE(gif, nullptr);
  GifColorType global[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
  ColorMapObject* globalMap = GifMakeMapObject(4, global);
  EGifSetGifVersion(gif, true);
  EXPECT_EQ(EGifPutScreenDesc(gif, 4, 1, 2, 0, globalMap), GIF_OK);

  auto frame = [&](int left, std::vector<GifPixelType> row, int mode, int delay, int transparent,
                   ColorMapObject* local) {
    GraphicsControlBlock gcb{mode, false, delay, transparent};
    GifByteType ext[4];
    const size_t len = EGifGCBToExtension(&gcb, ext);
    EXPECT_EQ(EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(len), ext), GIF_OK);
    EXPECT_EQ(EGifPutImageDesc(gif, left, 0, static_cast<int>(row.size()), 1, false, local), GIF_OK);
    EXPECT_EQ(EGifPutLine(gif, row.data(), static_cast<int>(row.size())), GIF_OK);
  };
  frame(0, {0, 0, 0, 0}, DISPOSE_DO_NOT, 0, NO_TRANSPARENT_COLOR, nullptr);
  frame(2, {1, 1}, disposal, 5, NO_TRANSPARENT_COLOR, nullptr);
  // Local map in another order: 0 is transparent, 1 blue.
  GifColorType local[2] = {{9, 9, 9}, {0, 0, 255}};
  ColorMapObject* localMap = GifMakeMapObject(2, local);
  frame(0, {0, 1, 0, 1}, DISPOSAL_UNSPECIFIED, 7, 0, localMap);
  GifFreeMapObject(localMap);
  GifFreeMapObject(globalMap);
  EXPECT_EQ(EGifCloseFile(gif, &err), GIF_OK);
  return out;
}

TEST(GifTest, ComposesFramesByDisposalAndTransparency) {
  struct Case {
    int disposal;
    uint32_t underThirdFrame;  // x=2 of the last frame, where the second frame was
  } const cases[] = {
      {DISPOSE_DO_NOT, kGreen},
      {DISPOSE_BACKGROUND, 0},
      {DISPOSE_PREVIOUS, kRed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.disposal);
    const std::vector<uint8_t> bytes = EncodeGif(c.disposal);
    auto anim = DecodeGif(bytes.data(), bytes.size());
    ASSERT_TRUE(anim);
    EXPECT_EQ(anim->width, 4);
    EXPECT_EQ(anim->height, 1);
    EXPECT_EQ(anim->delays, (std::vector<uint32_t>{0, 5, 7}));
    ASSERT_EQ(anim->frames.size(), 3u);
    EXPECT_EQ(anim->frames[0].argb, (std::vector<uint32_t>{kRed, kRed, kRed, kRed}));
    EXPECT_EQ(anim->frames[1].argb, (std::vector<uint32_t>{kRed, kRed, kGreen, kGreen}));
    EXPECT_EQ(anim->frames[2].argb, (std::vector<uint32_t>{kRed, kBlue, c.underThirdFrame, kBlue}));
  }
}

TEST(RasterRobustnessTest, EveryPrefixOfAValidInputIsHandled) {
  const std::vector<uint8_t> gif = EncodeGif(DISPOSE_BACKGROUND);
  for (size_t n = 0; n < gif.size(); ++n) {
    const auto anim = DecodeGif(gif.data(), n);
    if (!anim) continue;
    EXPECT_EQ(anim->frames.size(), anim->delays.size()) << n;
    for (const Pixels& f : anim->frames) EXPECT_EQ(f.argb.size(), 4u) << n;
  }
  const auto dib = Dib({.width = 3, .height = 3, .bpp = 8, .clrUsed = 2}, {0xFF0000, 0x00FF00},
                       {0, 1, 0, 0, 1, 0, 1, 0, 0, 0, 1, 0});
  ASSERT_TRUE(DecodeDib(dib.data(), dib.size()));
  for (size_t n = 0; n < dib.size(); ++n) {
    std::vector<uint8_t> prefix(dib.begin(), dib.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(DecodeDib(prefix.data(), prefix.size())) << n;
  }
}

TEST(CanvasTest, BlitClipsToCanvasAndSkipsTransparentPixels) {
  Pixels src{3, 3, {kRed, kGreen, kBlue, 0x00000000, kRed, kGreen, kBlue, kRed, kGreen}};
  Canvas canvas(4, 4, kWhite);
  canvas.Blit(src, -1, -1);        // only the bottom-right 2x2 of src lands, at (0,0)
  canvas.Blit(src, 3, 3, 2, -1);   // only src(0,0) lands, at (3,3)
  canvas.Blit(src, 2, 0, 1, 1);    // partial source: src(0,0) only
  canvas.Blit(src, 0, 2, 1, 2);    // src(0,1) is transparent
  canvas.Blit(src, 100, -100);     // nothing
  const std::vector<uint32_t> expected = {
      kRed,   kGreen, kRed,   kWhite,  //
      kRed,   kGreen, kWhite, kWhite,  //
      kRed,   kWhite, kWhite, kWhite,  //
      kWhite, kWhite, kWhite, kRed,
  };
  EXPECT_EQ(canvas.Image().argb, expected);

  Canvas wide(4, 1, kWhite);
  wide.Blit(Pixels{2, 1, {kRed, kGreen}}, 1, 0, 5, 5);  // a larger request still copies only src
  EXPECT_EQ(wide.Image().argb, (std::vector<uint32_t>{kWhite, kRed, kGreen, kWhite}));
}

struct Ink {
  int count = 0;
  int minX = INT_MAX, maxX = INT_MIN, minY = INT_MAX, maxY = INT_MIN;
};
Ink FindInk(const Pixels& p, uint32_t background = kWhite) {
  Ink ink;
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      if (p.At(x, y) == background) continue;
      ++ink.count;
      ink.minX = std::min(ink.minX, x);
      ink.maxX = std::max(ink.maxX, x);
      ink.minY = std::min(ink.minY, y);
      ink.maxY = std::max(ink.maxY, y);
    }
  }
  return ink;
}

class TextTest : public testing::Test {
 protected:
  void SetUp() override {
    if (Canvas::MeasureText(u"x", font_) == 0) GTEST_SKIP() << "no font installed on this host";
  }
  FontDesc font_{u"\uB9D1\uC740 \uACE0\uB515", -14, 400};  // 맑은 고딕
};

TEST_F(TextTest, InkStaysInsideTheBoxAndTheCanvas) {
  const std::u16string text = u"Install \uC124\uCE58 progress Wjg";
  struct Case {
    int x, y, w, h;
    unsigned flags;
  } const cases[] = {
      {20, 10, 300, 30, kTextLeft},
      {20, 10, 40, 30, kTextLeft},       // narrower than the line
      {20, 10, 40, 30, kTextRight},
      {20, 10, 300, 8, kTextLeft},       // shorter than the glyphs
      {-15, -5, 400, 30, kTextLeft},     // partly off the canvas
      {20, 10, 60, 30, kTextEndEllipsis},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.x << "," << c.y << " " << c.w << "x" << c.h << " " << c.flags);
    Canvas canvas(200, 60);
    canvas.Text(c.x, c.y, c.w, c.h, text, font_, 0x000000, c.flags);
    const Ink ink = FindInk(canvas.Image());
    ASSERT_GT(ink.count, 0);
    EXPECT_GE(ink.minX, std::max(c.x, 0));
    EXPECT_LT(ink.maxX, c.x + c.w);
    EXPECT_GE(ink.minY, std::max(c.y, 0));
    EXPECT_LT(ink.maxY, c.y + c.h);
  }
}

TEST_F(TextTest, RightAlignmentEndsAtTheRightEdge) {
  const std::u16string text = u"Next >";
  const int width = Canvas::MeasureText(text, font_);
  ASSERT_GT(width, 10);
  Canvas left(200, 30), right(200, 30);
  left.Text(10, 5, 150, 20, text, font_, 0x000000, kTextLeft);
  right.Text(10, 5, 150, 20, text, font_, 0x000000, kTextRight);
  const Ink l = FindInk(left.Image()), r = FindInk(right.Image());
  EXPECT_LE(l.minX, 12);
  EXPECT_GE(r.maxX, 160 - 4);
  EXPECT_NEAR(r.minX - l.minX, 150 - width, 1);
}

TEST_F(TextTest, EndEllipsisCutsTheLineToFitTheBox) {
  const std::u16string text = u"C:\\Program Files\\Agent\\\uC124\uCE58 \uD30C\uC77C.dat";
  const int full = Canvas::MeasureText(text, font_);
  const int box = full / 2;
  const std::u16string cut = EndEllipsis(text, font_, box);
  ASSERT_GE(cut.size(), 4u);
  EXPECT_EQ(cut.substr(cut.size() - 3), u"...");
  EXPECT_EQ(text.substr(0, cut.size() - 3), cut.substr(0, cut.size() - 3));
  EXPECT_LE(Canvas::MeasureText(cut, font_), box);
  EXPECT_LT(Canvas::MeasureText(cut, font_), full);
  // One more character would not fit.
  EXPECT_GT(Canvas::MeasureText(text.substr(0, cut.size() - 2) + u"...", font_), box);
  EXPECT_EQ(EndEllipsis(text, font_, full), text);

  // Drawn, it is the cut line, not the clipped one.
  Canvas drawn(400, 30), expected(400, 30), clipped(400, 30);
  drawn.Text(0, 0, box, 30, text, font_, 0x000000, kTextEndEllipsis);
  expected.Text(0, 0, box, 30, cut, font_, 0x000000);
  clipped.Text(0, 0, box, 30, text, font_, 0x000000);
  EXPECT_EQ(drawn.Image().argb, expected.Image().argb);
  EXPECT_NE(drawn.Image().argb, clipped.Image().argb);
}

TEST_F(TextTest, HangulGlyphsAreDrawnInTheGivenColour) {
  auto draw = [&](std::u16string_view text, const FontDesc& font) {
    Canvas canvas(60, 30);
    canvas.Text(0, 0, 60, 30, text, font, 0x0000FF);
    return canvas.Image();
  };
  const Pixels ga = draw(u"\uAC00", font_), na = draw(u"\uB098", font_);  // 가, 나
  EXPECT_GT(FindInk(ga).count, 10);
  EXPECT_NE(ga.argb, na.argb);  // real glyphs, not one missing-glyph box
  bool solid = false;
  for (uint32_t p : ga.argb) solid = solid || p == 0xFF0000FF;
  EXPECT_TRUE(solid);

  FontDesc bold = font_;
  bold.weight = 700;
  EXPECT_GT(FindInk(draw(u"\uAC00\uB098", bold)).count, FindInk(draw(u"\uAC00\uB098", font_)).count);
}

TEST_F(TextTest, SizesAndSurrogatePairs) {
  FontDesc cell = font_, character = font_;
  cell.height = 20;
  character.height = -20;
  EXPECT_LT(Canvas::MeasureText(u"Hello", cell), Canvas::MeasureText(u"Hello", character));

  // A cell height of 20 holds ascenders and descenders.
  Canvas canvas(200, 60);
  canvas.Text(0, 10, 200, 50, u"Hg\uD55C", cell, 0x000000);
  const Ink ink = FindInk(canvas.Image());
  EXPECT_GE(ink.minY, 10);
  EXPECT_LT(ink.maxY, 10 + 20 + 1);

  // A surrogate pair is one character, not two.
  const int one = Canvas::MeasureText(u"\U0001F600", font_);
  EXPECT_EQ(Canvas::MeasureText(u"\U0001F600\U0001F600", font_), 2 * one);
  EXPECT_EQ(Canvas::MeasureText(u"\U0001F600", font_), Canvas::MeasureText(u"\uFFFF", font_));
  EXPECT_EQ(Canvas::MeasureText(u"", font_), 0);
}

TEST(PngTest, RoundTripsAndReplacesTheFileWhole) {
  const qztest::HostDir dir;
  const std::string path = dir / "window.png";

  Canvas canvas(3, 2, 0x80102030);
  canvas.FillRect(1, 0, 5, 1, kRed);
  canvas.FillRect(-1, 1, 2, 9, 0x00000000);
  ASSERT_TRUE(canvas.WritePng(path));
  auto back = ReadPng(path);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->width, 3);
  EXPECT_EQ(back->height, 2);
  EXPECT_EQ(back->argb, (std::vector<uint32_t>{0x80102030, kRed, kRed, 0x00000000, 0x80102030, 0x80102030}));

  Canvas second(1, 1, kBlue);
  ASSERT_TRUE(second.WritePng(path));
  EXPECT_EQ(ReadPng(path)->argb, std::vector<uint32_t>{kBlue});
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);  // no temp files left

  EXPECT_FALSE(canvas.WritePng(dir / "missing/x.png"));
  EXPECT_FALSE(ReadPng(dir / "missing.png"));
}

}  // namespace
}  // namespace winsim
