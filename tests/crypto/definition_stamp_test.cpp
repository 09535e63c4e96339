// The signed build and expiry texts of a module definition's root, read by the rules the agent and
// the publisher tool share.
#include "crypto/definition_stamp.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

namespace {

TEST(DefinitionStamp, BuildIsADecimalFromOneTo4294967295) {
  const struct {
    const char* text;
    bool ok;
    uint32_t build;
  } rows[] = {
      {"1", true, 1},          {"331", true, 331},    {"0331", true, 331},       {"4294967295", true, 4294967295u},
      {"4294967296", false, 0}, {"0", false, 0},      {"", false, 0},            {"abc", false, 0},
      {"-1", false, 0},        {"+5", false, 0},      {" 5", false, 0},          {"5 ", false, 0},
      {"0x10", false, 0},      {"99999999999999999999", false, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    uint32_t build = 7;
    EXPECT_EQ(qz::ParseBuildText(r.text, &build), r.ok);
    if (r.ok) {
      EXPECT_EQ(build, r.build);
    }
  }
}

TEST(DefinitionStamp, ExpiryIsAUtcTimeOfOneExactForm) {
  const struct {
    const char* text;
    bool ok;
  } rows[] = {
      {"2027-02-28T23:59:59Z", true},  {"2028-02-29T00:00:00Z", true},  {"1970-01-01T00:00:00Z", true},
      {"2027-02-29T00:00:00Z", false}, {"2100-02-29T00:00:00Z", false}, {"2027-13-01T00:00:00Z", false},
      {"2027-04-31T00:00:00Z", false}, {"2027-01-01T24:00:00Z", false}, {"2027-01-01T00:60:00Z", false},
      {"2027-01-01T00:00:60Z", false}, {"2027-01-01 00:00:00Z", false}, {"2027-01-01T00:00:00z", false},
      {"2027-01-01T00:00:00", false},  {"2027-1-01T00:00:00Z", false},  {"1969-12-31T23:59:59Z", false},
      {"2027-01-01T00:00:00+00:00", false}, {"", false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    uint64_t ms = 0;
    EXPECT_EQ(qz::ParseExpiryText(r.text, &ms), r.ok);
    if (r.ok) {
      EXPECT_EQ(qz::FormatExpiry(ms), r.text);
    }
  }
  uint64_t ms = 0;
  ASSERT_TRUE(qz::ParseExpiryText("2001-09-09T01:46:40Z", &ms));
  EXPECT_EQ(ms, 1000000000000ull);
}

TEST(DefinitionStamp, AbsentAttributesAreNoErrorAndBadOnesAre) {
  const struct {
    const char* xml;
    qz::StampError error;
    bool hasBuild, hasExpiry;
  } rows[] = {
      {"<qzAgent/>", qz::StampError::None, false, false},
      {"<qzAgent build=\"331\"/>", qz::StampError::None, true, false},
      {"<qzAgent build=\"331\" expires=\"2030-01-01T00:00:00Z\"/>", qz::StampError::None, true, true},
      {"<qzAgent build=\"abc\" expires=\"2030-01-01T00:00:00Z\"/>", qz::StampError::BadBuild, false, false},
      {"<qzAgent build=\"\"/>", qz::StampError::BadBuild, false, false},
      {"<qzAgent build=\"331\" expires=\"soon\"/>", qz::StampError::BadExpiry, true, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.xml);
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.Parse(r.xml), tinyxml2::XML_SUCCESS);
    qz::DefinitionStamp stamp;
    EXPECT_EQ(qz::ReadDefinitionStamp(doc.RootElement(), &stamp), r.error);
    EXPECT_EQ(stamp.hasBuild, r.hasBuild);
    EXPECT_EQ(stamp.hasExpiry, r.hasExpiry);
  }
}

}  // namespace
