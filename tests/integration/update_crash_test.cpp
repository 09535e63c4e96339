// Crash safety of the update: the updater is ended at each file operation of a real update's
// download and install steps (330 -> 331: changed, new and removed modules, a new server.cfg);
// one more run then leaves build 331 installed, nothing half-done behind, and the service running.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include "integration/agent_release_fixture.h"
#include "platform/winsim/kill_point.h"
#include "updater/entry.h"

namespace {

using namespace qztest;
namespace fs = std::filesystem;

constexpr char kSuccess331[] = "Success updating agent modules (Build: 331)";

// The file operations of the updater in the install folder (its logs aside), from a trace, as
// exact kill points "OP:N:PATH": every creation, move and deletion, and the writes that leave a
// file part-written. How a download's writes fall depends on how the network delivers the body,
// but no write takes more than 64 KiB, so a bigger package always has a second one; an unpacked
// file is written in fixed pieces, so its last write is a repeatable place. (A first write leaves
// what the creation before it left: an empty file.)
std::vector<std::string> KillPoints(const std::string& trace, const std::string& packages) {
  const std::string install = win::WideToUtf8(win::FoldCase(kReleaseInstall)) + "\\";
  const std::string logs = install + "LOGS\\";
  struct Call {
    std::string op, path, folded;
    int index;
  };
  std::vector<Call> calls;
  std::map<std::pair<std::string, std::string>, int> seen;
  std::istringstream in(ReadHostFile(trace));
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string image, op, path;
    std::getline(fields, image, '\t');
    std::getline(fields, op, '\t');
    std::getline(fields, path);
    const std::string folded = win::WideToUtf8(win::FoldCase(win::Utf8ToWide(path)));
    if (image != "qzUpdater.exe" || folded.rfind(install, 0) != 0 || folded.rfind(logs, 0) == 0) continue;
    calls.push_back({op, path, folded, ++seen[{op, folded}]});
  }
  std::vector<std::string> points;
  for (const auto& c : calls) {
    if (c.op == "WriteFile") {
      const std::string name = c.path.substr(c.path.rfind('\\') + 1);
      const bool download = name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0;
      const std::string package = packages + "/" + name.substr(0, name.size() - 4);
      if (download ? c.index != 2 || !fs::exists(package) || fs::file_size(package) <= 65536
                   : c.index == 1 || c.index != seen[{c.op, c.folded}]) {
        continue;
      }
    }
    points.push_back(c.op + ":" + std::to_string(c.index) + ":" + c.path);
  }
  return points;
}

std::vector<std::string> Leftovers(const TestMachine& m) {
  std::vector<std::string> out;
  const std::string install = m.HostPath(kReleaseInstall);
  for (const auto& e : fs::directory_iterator(install)) {
    if (e.path().extension() == ".r331" || e.path().extension() == ".tmp") out.push_back(e.path().filename());
  }
  if (fs::exists(install + "/module")) {
    for (const auto& e : fs::directory_iterator(install + "/module")) out.push_back("module/" + e.path().filename().string());
  }
  return out;
}

class UpdateCrash : public InstalledReleaseTest {
 protected:
  // The stop sequences' pauses and the alive cycle run a thousand times faster.
  static void SetUpTestSuite() { StartRelease("0.001"); }
  static void TearDownTestSuite() { StopRelease(); }

  // A copy of the installed machine, entered, with the agent's service running.
  void Fresh(TestMachine& m) {
    CopyMachine(installed_->root(), m);
    m.Enter(u"C:\\test\\probe.exe", 32);
    // This process reads its own kill point now, before the variable is ever set for a child.
    win::Files().DeleteFileW(u"C:\\no such file");
    ASSERT_TRUE(StartService());
  }
};

TEST_F(UpdateCrash, EveryKillPointOfTheUpdateIsMadeGoodByTheNextRun) {
  // The uninterrupted update, traced: the file operations it passes are the kill points.
  const std::string trace = release_->dir / "trace.txt";
  std::string storedConfig;
  {
    TestMachine m("win10-x64");
    Fresh(m);
    if (HasFatalFailure()) return;
    setenv("WINSIM_KILL_TRACE", trace.c_str(), 1);
    const auto exit = m.Run(UpdaterCommand(u"--update"));
    unsetenv("WINSIM_KILL_TRACE");
    ASSERT_EQ(exit, qz::kExitDone);
    ASSERT_EQ(release_->Differences(m), std::vector<std::string>{});
    ASSERT_EQ(release_->Reports().back(), kSuccess331);
    ASSERT_EQ(Leftovers(m), std::vector<std::string>{});
    storedConfig = ReadHostFile(m.HostPath(std::u16string(kReleaseInstall) + u"\\server.cfg"));
    // Stored encrypted: it differs from build 330's.
    ASSERT_NE(storedConfig, ReadHostFile(installed_->HostPath(std::u16string(kReleaseInstall) + u"\\server.cfg")));
    KillServiceProgram(m);
  }

  const std::vector<std::string> points = KillPoints(trace, release_->dir / "release/agent");
  // Every kind of change the download and install steps make is among them.
  for (const char* op : {"CreateFile:", "WriteFile:", "MoveFileEx:", "DeleteFile:"}) {
    EXPECT_TRUE(std::any_of(points.begin(), points.end(), [&](const std::string& p) { return p.rfind(op, 0) == 0; }))
        << op;
  }
  for (const char* file : {"\\module\\qzAgentUtil.dll.qz.tmp", "\\module\\qzAgentUtil.dll", "\\qzAgentUtil.dll.r331",
                           "\\module\\server.cfg", "\\qzAgent.xmd.tmp", "\\qzNSI.dll"}) {
    EXPECT_TRUE(std::any_of(points.begin(), points.end(),
                            [&](const std::string& p) { return p.size() > std::strlen(file) &&
                                                               p.compare(p.size() - std::strlen(file), std::string::npos, file) == 0; }))
        << file;
  }
  ASSERT_GE(points.size(), 20u) << ReadHostFile(trace).substr(0, 3000);

  for (const std::string& point : points) {
    SCOPED_TRACE(point);
    TestMachine m("win10-x64");
    Fresh(m);
    if (HasFatalFailure()) return;
    setenv("WINSIM_KILL_AT", point.c_str(), 1);
    const auto killed = m.Run(UpdaterCommand(u"--update"));
    unsetenv("WINSIM_KILL_AT");
    EXPECT_EQ(killed, static_cast<int32_t>(winsim::kKillPointExitCode)) << "the run did not reach its kill point";

    // The next run is the agent's own: an update that starts the service when done.
    const size_t reported = release_->Reports().size();
    EXPECT_EQ(m.Run(UpdaterCommand(u"")), qz::kExitDone);
    EXPECT_EQ(release_->Differences(m), std::vector<std::string>{});
    EXPECT_EQ(ReadHostFile(m.HostPath(std::u16string(kReleaseInstall) + u"\\server.cfg")), storedConfig);
    EXPECT_EQ(Leftovers(m), std::vector<std::string>{});
    EXPECT_TRUE(ServiceRuns());
    const auto reports = release_->Reports();
    EXPECT_EQ(std::vector<std::string>(reports.begin() + static_cast<long>(std::min(reported, reports.size())), reports.end()),
              std::vector<std::string>{kSuccess331});
    KillServiceProgram(m);
  }
}

}  // namespace
