#include "protocol/response_fields.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <string>

#include "support/test_machine.h"

namespace {

class ResponseFields : public ::testing::Test {
 protected:
  void SetUp() override { machine_.Enter(); }

  const tinyxml2::XMLElement* Parse(const std::string& xml) {
    doc_.Clear();
    EXPECT_EQ(doc_.Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << xml;
    return doc_.RootElement();
  }

  qztest::TestMachine machine_{"win10-x64", "ko"};
  tinyxml2::XMLDocument doc_;
};

TEST_F(ResponseFields, AbsentMeansFalseEmptyMeansTrue) {
  const auto* answer = Parse("<r a=\"\"><chk/><name></name><showMsg/></r>");
  std::u16string wide = u"x";
  std::string narrow = "x";
  bool flag = true;
  EXPECT_TRUE(qz::ReadCheckText(answer, &wide));
  EXPECT_EQ(wide, u"");
  EXPECT_TRUE(qz::ReadChildTextA(answer, "name", &narrow, 32));
  EXPECT_EQ(narrow, "");
  EXPECT_TRUE(qz::ReadMessageFlag(answer, &flag));
  EXPECT_FALSE(flag);
  EXPECT_TRUE(qz::ReadAttributeTextA(answer, "a", &narrow, 32));

  const auto* bare = Parse("<r/>");
  uint64_t t = 0;
  int32_t n = 0;
  qz::Digest d{};
  EXPECT_FALSE(qz::ReadCheckText(bare, &wide));
  EXPECT_FALSE(qz::ReadChildTextA(bare, "name", &narrow, 32));
  EXPECT_FALSE(qz::ReadMessageFlag(bare, &flag));
  EXPECT_FALSE(qz::ReadChildNumber(bare, "id", &n));
  EXPECT_FALSE(qz::ReadAttributeTextA(bare, "a", &narrow, 32));
  EXPECT_FALSE(qz::ReadAttributeFlag(bare, "a", &flag));
  EXPECT_FALSE(qz::ReadTimeAttribute(bare, &t));
  EXPECT_FALSE(qz::ReadChecksumAttribute(bare, &d));
  EXPECT_FALSE(qz::ReadOwnText(nullptr, &wide));
  EXPECT_FALSE(qz::ReadCheckText(nullptr, &wide));
}

TEST_F(ResponseFields, TextsAreConvertedAndCut) {
  // 80 Korean characters: the check text keeps 72; the ANSI text (two bytes each on code page 949)
  // is cut at whole characters.
  std::string korean;
  for (int i = 0; i < 80; ++i) korean += "\xED\x95\x9C";  // U+D55C
  const auto* answer = Parse("<r t=\"" + korean + "\"><chk>" + korean + "</chk><name>" + korean + "</name>" +
                             "<own>\xF0\x9F\x98\x80</own></r>");
  std::u16string chk;
  ASSERT_TRUE(qz::ReadCheckText(answer, &chk));
  EXPECT_EQ(chk, std::u16string(72, u'\xD55C'));
  std::string ansi;
  ASSERT_TRUE(qz::ReadChildTextA(answer, "name", &ansi, 10));
  EXPECT_EQ(ansi.size(), 8u) << "four double-byte characters fit 10 bytes with a terminator";
  EXPECT_EQ(win::AnsiToWide(ansi), std::u16string(4, u'\xD55C'));
  ASSERT_TRUE(qz::ReadAttributeTextA(answer, "t", &ansi, 1000));
  EXPECT_EQ(ansi.size(), 160u);
  std::u16string own;
  ASSERT_TRUE(qz::ReadOwnText(answer->FirstChildElement("own"), &own));
  EXPECT_EQ(own, u"\U0001F600");
}

TEST_F(ResponseFields, FlagsAndNumbers) {
  const auto* answer = Parse(
      "<r on=\"TRUE\" off=\"yes\" _t=\"1706659200123\" big=\"1\">"
      "<showMsg>True</showMsg><id>-42</id><huge>99999999999</huge><hex>ff</hex><neg>-1</neg><word>x</word></r>");
  bool flag = false;
  EXPECT_TRUE(qz::ReadMessageFlag(answer, &flag));
  EXPECT_TRUE(flag);
  EXPECT_TRUE(qz::ReadAttributeFlag(answer, "on", &flag));
  EXPECT_TRUE(flag);
  EXPECT_TRUE(qz::ReadAttributeFlag(answer, "off", &flag));
  EXPECT_FALSE(flag);
  struct Signed {
    const char* name;
    int32_t value;
  };
  for (const Signed& c : {Signed{"id", -42}, Signed{"huge", INT32_MAX}, Signed{"word", 0}}) {
    int32_t v = 7;
    ASSERT_TRUE(qz::ReadChildNumber(answer, c.name, &v)) << c.name;
    EXPECT_EQ(v, c.value) << c.name;
  }
  struct Unsigned {
    const char* name;
    int base;
    uint32_t value;
  };
  for (const Unsigned& c : {Unsigned{"hex", 16, 255}, Unsigned{"huge", 10, 0xFFFFFFFFu}, Unsigned{"neg", 10, 0xFFFFFFFFu},
                            Unsigned{"id", 10, static_cast<uint32_t>(-42)}, Unsigned{"word", 10, 0}}) {
    uint32_t v = 7;
    ASSERT_TRUE(qz::ReadChildNumber(answer, c.name, &v, c.base)) << c.name;
    EXPECT_EQ(v, c.value) << c.name;
  }
  uint64_t t = 0;
  ASSERT_TRUE(qz::ReadTimeAttribute(answer, &t));
  EXPECT_EQ(t, 1706659200123ull);
}

TEST_F(ResponseFields, ChecksumAttribute) {
  const std::string hex = "00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF";
  qz::Digest d{};
  ASSERT_TRUE(qz::ReadChecksumAttribute(Parse("<r cks=\"" + hex + "\"/>"), &d));
  EXPECT_EQ(d[1], 0x11);
  EXPECT_EQ(d[31], 0xFF);
  EXPECT_FALSE(qz::ReadChecksumAttribute(Parse("<r cks=\"" + hex.substr(0, 40) + "\"/>"), &d));
}

class ResponseStamp : public ResponseFields {
 protected:
  void SetUp() override {
    ResponseFields::SetUp();
    util_.SetKeyB(std::string(64, 'S'));
  }
  std::string Signed(uint64_t t) {
    std::string s;
    EXPECT_TRUE(util_.DigestB(&s, 65, t));
    return s;
  }
  qz::qzCryptoUtil util_;
};

TEST_F(ResponseStamp, InvalidOnlyWhenStampedAboveFloorAndSignatureDiffers) {
  const uint64_t floor = 1000;
  std::string good = Signed(1001);
  std::string lower = good;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  struct Case {
    std::string attrs;
    bool invalid;
  };
  const Case cases[] = {
      {"", false},                                       // no _t
      {"_t=\"1001\"", false},                            // no _th
      {"_th=\"" + good + "\"", false},                   // no _t
      {"_t=\"1001\" _th=\"" + good + "\"", false},       // authentic
      {"_t=\"1001\" _th=\"" + lower + "\"", true},       // the comparison is case-sensitive
      {"_t=\"1001\" _th=\"\"", true},
      {"_t=\"1000\" _th=\"bogus\"", false},              // equal to the floor
      {"_t=\"999\" _th=\"bogus\"", false},
      {"_t=\"1002\" _th=\"" + good + "\"", true},        // signature of another stamp
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qz::IsResponseStampInvalid(Parse("<r " + c.attrs + "/>"), floor, util_), c.invalid) << c.attrs;
  }
}

}  // namespace
