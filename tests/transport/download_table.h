// The download and resume cases, run against every peer on both paths.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "support/host_files.h"
#include "support/test_machine.h"
#include "platform/text.h"
#include "transport/web_query.h"

namespace qztest {

inline void RunDownloadTable(qz::WebQuery& q, TestMachine& m, bool curl,
                             const std::function<void(const std::string&, const std::string&)>& publish) {
  enum class Final { Whole, Old, None };
  struct Case {
    const char* name;
    size_t resource;  // 0: not published (404)
    long temp;        // bytes of a temporary file left before; -1: none
    bool garbageTemp;
    int64_t expected;
    bool restart;
    int32_t result[2];  // WinHTTP-shaped, libcurl
    Final final[2];
    bool tempLeft[2];
  };
  // The libcurl path returns offset + received; both paths refuse a file that does not come to the
  // expected size; an error status renames nothing.
  const Case cases[] = {
      {"fresh", 3000, -1, false, 3000, false, {3000, 3000}, {Final::Whole, Final::Whole}, {false, false}},
      {"resume", 3000, 1000, false, 3000, false, {2000, 3000}, {Final::Whole, Final::Whole}, {false, false}},
      {"complete", 3000, 3000, false, 3000, false, {0, 3000}, {Final::Whole, Final::Whole}, {false, false}},
      {"short", 4000, -1, false, 5000, false, {-9, -9}, {Final::None, Final::None}, {false, false}},
      {"missing", 0, -1, false, 3000, false, {-8, -2022}, {Final::Old, Final::Old}, {false, true}},
      {"restart", 3000, 1000, true, 3000, true, {3000, 3000}, {Final::Whole, Final::Whole}, {false, false}},
  };
  const int k = curl ? 1 : 0;
  for (const auto& c : cases) {
    const std::string name = c.name;
    const std::u16string folder = u"C:\\dl\\" + win::Utf8ToWide(name);
    const std::string finalHost = m.HostPath(folder + u"\\" + win::Utf8ToWide(name) + u".bin");
    const std::string tempHost = finalHost + ".tmp";
    const std::string whole = Pattern(c.resource);
    std::filesystem::create_directories(std::filesystem::path(finalHost).parent_path());
    if (c.resource) publish("agent/" + name + ".bin", whole);
    if (c.temp >= 0) WriteHostFile(tempHost, c.garbageTemp ? std::string(c.temp, 'z') : whole.substr(0, c.temp));
    if (c.final[k] == Final::Old) WriteHostFile(finalHost, "old");
    const int64_t r = q.DownloadHttps(win::Utf8ToWide("/agent/" + name + ".bin"), c.expected,
                                      win::Utf8ToWide(name) + u".bin", folder, c.restart);
    EXPECT_EQ(r, c.result[k]) << name;
    switch (c.final[k]) {
      case Final::Whole:
        EXPECT_EQ(ReadHostFile(finalHost), whole) << name;
        break;
      case Final::Old:
        EXPECT_EQ(ReadHostFile(finalHost), "old") << name;
        break;
      case Final::None:
        EXPECT_FALSE(std::filesystem::exists(finalHost)) << name;
        break;
    }
    EXPECT_EQ(std::filesystem::exists(tempHost), c.tempLeft[k]) << name;
  }
}

}  // namespace qztest
