// The window's pictures travel inside the built qzSetup: every bitmap in each language it exists
// in, at the size its control is laid out for, the animation and both icons.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/test_machine.h"

namespace {

using namespace win;
using qztest::TestMachine;

uint32_t Le32(const std::vector<BYTE>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t Le16(const std::vector<BYTE>& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }

TEST(SetupArtwork, TheBuiltProgramCarriesEveryPictureAtItsSize) {
  TestMachine m("win10-x64");
  m.Install("qzSetup", u"C:\\setup\\qzSetup.exe");
  m.Enter(u"C:\\setup\\qzSetup.exe", 32);

  struct Bitmap {
    int id;
    WORD lang;
    int32_t width, height;
  };
  std::vector<Bitmap> bitmaps = {{171, 0, 600, 371}, {190, 0, 100, 29}};
  for (WORD lang : {WORD{1033}, WORD{1042}}) {
    for (int id : {175, 176, 177, 178, 186, 187, 188}) bitmaps.push_back({id, lang, 103, 33});
    for (int id : {179, 180, 181}) {
      bitmaps.push_back(lang == 1033 ? Bitmap{id, lang, 352, 57} : Bitmap{id, lang, 280, 56});
    }
  }
  for (const auto& b : bitmaps) {
    std::u16string id = u"#";
    for (char c : std::to_string(b.id)) id += static_cast<char16_t>(c);
    SCOPED_TRACE("bitmap " + std::to_string(b.id) + " lang " + std::to_string(b.lang));
    auto dib = Resources().LoadResourceBytes(u"#2", id, b.lang);
    ASSERT_TRUE(dib.has_value());
    // A DIB as LoadBitmap takes it: info header first, no file header, 24-bit rows padded to 4.
    ASSERT_GE(dib->size(), 40u);
    EXPECT_EQ(Le32(*dib, 0), 40u);
    EXPECT_EQ(static_cast<int32_t>(Le32(*dib, 4)), b.width);
    EXPECT_EQ(static_cast<int32_t>(Le32(*dib, 8)), b.height);
    EXPECT_EQ(Le16(*dib, 14), 24);
    EXPECT_GE(dib->size(), 40u + static_cast<size_t>((b.width * 3 + 3) / 4 * 4) * b.height);
  }
  // Each language has its own pictures, not one set stamped twice.
  EXPECT_NE(Resources().LoadResourceBytes(u"#2", u"#175", 1033), Resources().LoadResourceBytes(u"#2", u"#175", 1042));

  auto gif = Resources().LoadResourceBytes(u"GIF", u"#185", 0);
  ASSERT_TRUE(gif.has_value());
  ASSERT_GE(gif->size(), 10u);
  EXPECT_EQ(std::string(gif->begin(), gif->begin() + 6), "GIF89a");
  EXPECT_EQ(Le16(*gif, 6), 302);
  EXPECT_EQ(Le16(*gif, 8), 26);

  struct Icon {
    const char16_t* id;
    std::vector<int> sizes;
  };
  for (const Icon& icon : {Icon{u"#107", {32, 48}}, Icon{u"#108", {16}}}) {
    auto ico = Resources().LoadResourceBytes(u"#14", icon.id, 0);
    ASSERT_TRUE(ico.has_value());
    ASSERT_GE(ico->size(), 6u + 16 * icon.sizes.size());
    EXPECT_EQ(Le16(*ico, 2), 1);  // an icon, not a cursor
    ASSERT_EQ(Le16(*ico, 4), icon.sizes.size());
    for (size_t i = 0; i < icon.sizes.size(); ++i) EXPECT_EQ((*ico)[6 + 16 * i], icon.sizes[i]);
  }
}

}  // namespace
