// The sinks both transports write through: the answer buffer's room rule and the split-mode
// pauses of a download, whether or not the transport stops its reads at a pause.
#include "transport/sinks.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/fake_time.h"
#include "support/host_files.h"
#include "support/test_machine.h"
#include "transport/web_results.h"

namespace {

using namespace qztest;
using qz::AnswerSink;
using qz::DownloadSink;

TEST(AnswerSinkTest, KeepsRoomForTheTerminatorAndReadsTheServersNumber) {
  struct Case {
    size_t room;
    std::vector<std::string> writes;
    std::vector<bool> taken;
    int32_t result;
  };
  const Case cases[] = {
      {5, {"abcd"}, {true}, 4},
      {5, {"abcde"}, {false}, 0},
      {5, {"ab", "", "cd", "e"}, {true, true, true, false}, 4},
      {5, {"abc", "de", "d"}, {true, false, true}, 4},
      {16, {"_err=", "42"}, {true, true}, 42},
      {16, {"_err=x"}, {true}, 6},
      {16, {"_er"}, {true}, 3},
  };
  for (const auto& c : cases) {
    std::vector<char> buffer(c.room, '#');
    AnswerSink sink(buffer);
    std::string stored;
    for (size_t i = 0; i < c.writes.size(); ++i) {
      EXPECT_EQ(sink.Write(c.writes[i].data(), c.writes[i].size()), c.taken[i]) << c.writes[i];
      if (c.taken[i]) stored += c.writes[i];
    }
    EXPECT_EQ(sink.Result(), c.result) << stored;
    EXPECT_EQ(std::string(buffer.data()), stored);
  }
}

TEST(DownloadSinkTest, PausesAfterEveryChunkWhetherReadsStopAtItOrNot) {
  TestMachine m("win10-x64");
  win::Platform& p = m.Enter();
  auto clock = std::make_unique<FakeTime>();
  FakeTime* time = clock.get();
  auto realTime = p.SetTime(std::move(clock));
  struct Case {
    uint32_t chunk;
    std::vector<win::DWORD> reads;  // sizes offered by the transport
    bool limited;                   // reads cut at the next pause (the WinHTTP-shaped path)
    std::vector<win::DWORD> written;
    size_t pauses;
  };
  const Case cases[] = {
      {4, {10}, true, {4}, 1},
      {4, {3, 3, 3, 3}, true, {3, 1, 3, 1}, 2},
      {4, {3, 3, 3, 3}, false, {3, 3, 3, 3}, 2},
      {4, {8, 1}, false, {8, 1}, 1},
      {0, {3, 3, 3, 3}, true, {3, 3, 3, 3}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "chunk " << c.chunk << (c.limited ? " limited" : " unlimited"));
    const size_t before = time->Pauses().size();
    DownloadSink sink(u"C:\\f.bin", u"C:\\f.bin.tmp");
    ASSERT_EQ(sink.Open(true, qz::QueryState(1000)), 0);
    sink.Pace(c.chunk, 250);
    std::vector<win::DWORD> written;
    uint32_t total = 0;
    for (win::DWORD n : c.reads) {
      if (c.limited) n = sink.ReadLimit(n);
      ASSERT_TRUE(sink.Write(std::string(n, 'x').data(), n));
      written.push_back(n);
      total += n;
    }
    EXPECT_EQ(written, c.written);
    EXPECT_EQ(sink.Written(), total);
    const auto pauses = time->Pauses();
    EXPECT_EQ(std::vector<win::DWORD>(pauses.begin() + before, pauses.end()),
              std::vector<win::DWORD>(c.pauses, 250));
  }
  p.SetTime(std::move(realTime));
}

TEST(DownloadSinkTest, ResumesWhereTheTemporaryFileEndsUnlessRestarted) {
  TestMachine m("win10-x64");
  m.Enter();
  WriteHostFile(m.HostPath(u"C:\\f.bin.tmp"), "0123456");
  {
    DownloadSink sink(u"C:\\f.bin", u"C:\\f.bin.tmp");
    ASSERT_EQ(sink.Open(false, qz::QueryState(1000)), 0);
    EXPECT_EQ(sink.Offset(), 7);
    EXPECT_EQ(sink.RangeHeader(), "Range:bytes=7-");
    ASSERT_TRUE(sink.Write("78", 2));
    sink.Close();
    ASSERT_TRUE(sink.MoveToFinal());
  }
  EXPECT_EQ(ReadHostFile(m.HostPath(u"C:\\f.bin")), "012345678");
  WriteHostFile(m.HostPath(u"C:\\f.bin.tmp"), "old");
  DownloadSink sink(u"C:\\f.bin", u"C:\\f.bin.tmp");
  ASSERT_EQ(sink.Open(true, qz::QueryState(1000)), 0);
  EXPECT_EQ(sink.Offset(), 0);
  EXPECT_EQ(sink.RangeHeader(), "");
  sink.Close();
  EXPECT_EQ(ReadHostFile(m.HostPath(u"C:\\f.bin.tmp")), "");
  DownloadSink blocked(u"C:\\none\\f.bin", u"C:\\none\\f.bin.tmp");
  EXPECT_EQ(blocked.Open(false, qz::QueryState(1000)), qz::kWebFileOpenFailed);
}

}  // namespace
