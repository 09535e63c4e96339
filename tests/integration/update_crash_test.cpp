// Crash safety of the update: the updater is ended at each file operation of a real update's
// download and install steps (330 -> 331: changed, new and removed modules, a new server.cfg);
// one more run then leaves build 331 installed, nothing half-done behind, and the service running.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "integration/agent_release_fixture.h"
#include "platform/winsim/kill_point.h"
#include "updater/entry.h"
#include "updater/file_placement.h"
#include "updater/install_transaction.h"

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

// What a run cut short may leave and the next run must clear: backups, the install journal, and
// prepared files (partial downloads stay, for the download to resume).
std::vector<std::string> Debris(const TestMachine& m) {
  std::vector<std::string> out;
  const std::string install = m.HostPath(kReleaseInstall);
  if (!fs::exists(install)) return out;
  for (const auto& e : fs::directory_iterator(install)) {
    const std::string name = e.path().filename();
    if (qz::IsBackupName(win::Utf8ToWide(name)) || name == ".qzinstall.jnl") out.push_back(name);
  }
  if (fs::exists(install + "/module")) {
    for (const auto& e : fs::directory_iterator(install + "/module")) {
      if (e.path().extension() != ".tmp") out.push_back("module/" + e.path().filename().string());
    }
  }
  return out;
}

// Every file of the install folder but the logs, by name, with its content.
std::map<std::string, std::string> AgentFiles(const TestMachine& m) {
  std::map<std::string, std::string> out;
  const std::string install = m.HostPath(kReleaseInstall);
  for (auto it = fs::recursive_directory_iterator(install); it != fs::recursive_directory_iterator(); ++it) {
    const std::string rel = fs::relative(it->path(), install).string();
    if (rel == "logs" && it->is_directory()) {
      it.disable_recursion_pending();
      continue;
    }
    if (!it->is_directory()) out[rel] = ReadHostFile(it->path());
  }
  return out;
}

// The agent's programs among them (what the install step moves into place).
std::map<std::string, std::string> AgentModules(const std::map<std::string, std::string>& files) {
  std::map<std::string, std::string> out;
  for (std::u16string_view name : qz::kAgentFiles) {
    const auto it = files.find(win::WideToUtf8(name));
    if (it != files.end()) out.insert(*it);
  }
  return out;
}

// Names and sizes only: a failure must not print whole programs.
std::string ModuleNames(const std::map<std::string, std::string>& files) {
  std::string out;
  for (const auto& [name, bytes] : files) out += name + ":" + std::to_string(bytes.size()) + " ";
  return out;
}

// The kill points of a traced run whose operation or file is chosen.
std::vector<std::string> Chosen(const std::vector<std::string>& points, const std::vector<std::string>& ops) {
  std::vector<std::string> out;
  for (const std::string& p : points) {
    const bool op = std::any_of(ops.begin(), ops.end(), [&](const std::string& o) { return p.rfind(o + ":", 0) == 0; });
    const bool journal = p.size() > 14 && p.compare(p.size() - 14, 14, ".qzinstall.jnl") == 0;
    if (op || journal) out.push_back(p);
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

  // One whole build installed: "331", "330", or what makes it neither.
  static std::string WholeBuild(const TestMachine& m) {
    const std::vector<std::string> to331 = release_->Differences(m);
    if (to331.empty()) return "331";
    std::vector<std::string> to330 = release_->ChangedFrom330(m);
    for (const auto& [name, cks] : release_->modules) {
      if (!release_->build330.count(name) &&
          fs::exists(m.HostPath(std::u16string(kReleaseInstall) + u"\\" + win::Utf8ToWide(name))))
        to330.push_back("new in 331: " + name);
    }
    if (to330.empty()) return "330";
    std::string out = "neither; against 331:";
    for (const auto& d : to331) out += " " + d;
    out += "; against 330:";
    for (const auto& d : to330) out += " " + d;
    return out;
  }

  // qzserver away (nothing listens on its ports), and back on the same ports with fault rules.
  static void StopServer() {
    ports_ = {release_->server->httpsPort, release_->server->httpPort};
    release_->server.reset();
  }
  static void StartServer(const std::string& faults = "") {
    fs::remove(release_->dir / "ports.txt");
    WriteHostFile(release_->dir / "faults.txt", faults);
    release_->server = std::make_unique<QzServer>(
        release_->dir, std::vector<std::string>{"--set", "lang=1", "--set", "default_client=7", "--https-port",
                                                std::to_string(ports_.first), "--http-port",
                                                std::to_string(ports_.second)});
    ASSERT_EQ(release_->server->httpsPort, ports_.first);
  }

  // The kill points of one uninterrupted, traced run of command on a fresh copy that prepare made
  // ready; the run must end with expected.
  std::vector<std::string> TracePoints(const std::u16string& command, const std::u16string& directory,
                                       const std::function<void(TestMachine&)>& prepare, int32_t expected,
                                       const std::function<void(const TestMachine&)>& after = {}) {
    const std::string trace = release_->dir / "trace-points.txt";
    fs::remove(trace);
    TestMachine m("win10-x64");
    Fresh(m);
    if (HasFatalFailure()) return {};
    prepare(m);
    setenv("WINSIM_KILL_TRACE", trace.c_str(), 1);
    const auto exit = m.Run(command, directory);
    unsetenv("WINSIM_KILL_TRACE");
    EXPECT_EQ(exit, expected);
    if (after) after(m);
    KillServiceProgram(m);
    return KillPoints(trace, release_->dir / "release/agent");
  }

  // Ends the run at the point; false (with a failure) when it did not get there.
  static bool RunKilledAt(TestMachine& m, const std::u16string& command, const std::u16string& directory,
                          const std::string& point) {
    setenv("WINSIM_KILL_AT", point.c_str(), 1);
    const auto killed = m.Run(command, directory);
    unsetenv("WINSIM_KILL_AT");
    EXPECT_EQ(killed, static_cast<int32_t>(winsim::kKillPointExitCode)) << "the run did not reach its kill point";
    return killed == static_cast<int32_t>(winsim::kKillPointExitCode);
  }

  // The state every next run must leave: one whole build, its service running, nothing of the
  // cut-short run left. The build.
  std::string ExpectWholeAgentRunning(const TestMachine& m, bool checkBuild = true) {
    const std::string build = WholeBuild(m);
    if (checkBuild) {
      EXPECT_TRUE(build == "331" || build == "330") << build;
    }
    EXPECT_EQ(Debris(m), std::vector<std::string>{});
    EXPECT_TRUE(ServiceRuns());
    return build;
  }

  // The agent's own update run against a server that answers 500 for the definition file: it
  // fails, says so, and leaves the agent whole and running.
  void ExpectWholeAgentAfterAFailingDefinition(TestMachine& m, bool checkBuild = true) {
    release_->server->Faults("/agent/qzAgent.xmd status=500\n");
    const size_t reported = release_->Reports().size();
    EXPECT_EQ(m.Run(UpdaterCommand(u"")), qz::kExitDone);
    ExpectWholeAgentRunning(m, checkBuild);
    const auto reports = release_->Reports();
    const std::vector<std::string> sent(reports.begin() + static_cast<long>(std::min(reported, reports.size())),
                                        reports.end());
    // In the server's language for this agent: a reinstalled agent is a new client to it.
    EXPECT_TRUE(sent == std::vector<std::string>{"Fail to update agent modules (Build: 331)"} ||
                sent == std::vector<std::string>{"에이전트 모듈 업데이트 실패 (Build: 331)"})
        << (sent.empty() ? "(none)" : sent.front());
    KillServiceProgram(m);
    release_->server->Faults("");
  }

  static inline std::pair<int, int> ports_;
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

namespace {

// The update cut short at every move and deletion (and at the journal's own writes), each followed
// by the agent's update run against a server that will not give the definition file: the run
// settles the cut-short installation first, fails the update and starts the agent.
TEST_F(UpdateCrash, EveryMoveAndDeletionOfTheUpdateIsSettledWhenTheDefinitionFails) {
  std::vector<std::string> points =
      Chosen(TracePoints(UpdaterCommand(u"--update"), u"C:\\", [](TestMachine&) {}, qz::kExitDone),
             {"MoveFileEx", "DeleteFile"});
  // Also before the journal's one write: it is there, empty, and must not parse.
  points.push_back("WriteFile:1:" + win::WideToUtf8(kReleaseInstall) + "\\.qzinstall.jnl");
  for (const char* file : {"\\qzAgentUtil.dll.r331", "\\qzNSI.dll", "\\.qzinstall.jnl", "\\module\\server.cfg"}) {
    EXPECT_TRUE(std::any_of(points.begin(), points.end(), [&](const std::string& p) {
      return p.size() > std::strlen(file) && p.compare(p.size() - std::strlen(file), std::string::npos, file) == 0;
    })) << file;
  }
  ASSERT_GE(points.size(), 15u);
  std::cout << "update: " << points.size() << " kill points" << std::endl;

  for (const std::string& point : points) {
    SCOPED_TRACE(point);
    TestMachine m("win10-x64");
    Fresh(m);
    if (HasFatalFailure()) return;
    if (!RunKilledAt(m, UpdaterCommand(u"--update"), u"C:\\", point)) continue;
    ExpectWholeAgentAfterAFailingDefinition(m);
  }
}

// The same with qzserver stopped: the run settles the installation before it gives up on the
// server (-6), then starts the agent.
TEST_F(UpdateCrash, TheInstallStepIsSettledWithTheServerStopped) {
  const std::vector<std::string> points =
      Chosen(TracePoints(UpdaterCommand(u"--update"), u"C:\\", [](TestMachine&) {}, qz::kExitDone),
             {"MoveFileEx", "DeleteFile"});
  ASSERT_GE(points.size(), 15u);
  for (const std::string& point : points) {
    SCOPED_TRACE(point);
    TestMachine m("win10-x64");
    Fresh(m);
    if (HasFatalFailure()) return;
    if (!RunKilledAt(m, UpdaterCommand(u"--update"), u"C:\\", point)) continue;
    StopServer();
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(m.Run(UpdaterCommand(u"")), qz::kExitCertificates);
    std::cout << point << ": the run with the server stopped took "
              << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count()
              << " ms" << std::endl;
    ExpectWholeAgentRunning(m);
    KillServiceProgram(m);
    StartServer();
    if (HasFatalFailure()) return;
  }
}

// The installer's updater over an agent that runs build 330, placing build 331 from the setup
// folder, cut short at each of its file operations in the install folder. Install mode places
// files over the old ones (what the new build lacks stays, as after an uninterrupted install), so
// the measure is the uninterrupted install's result, file for file.
struct InstallOverAgent {
  std::u16string setup{kReleaseSetup};
  std::u16string command{u"\"" + setup + u"\\qzUpdater.exe\" --install"};
  std::map<std::string, std::string> placed;  // what the uninterrupted install leaves
  std::vector<std::string> points;

  void Prepare(TestMachine& m, const fs::path& dir) const {
    m.Install("qzUpdater", setup + u"\\qzUpdater.exe");
    const std::string host = m.HostPath(setup);
    for (const auto& e : fs::directory_iterator(dir / "agent331")) {
      WriteHostFile(host + "/" + e.path().filename().string(), ReadHostFile(e.path()));
    }
    for (const char* cert : {"qorv-ca.pem", "qorv-fs.crt"}) {
      WriteHostFile(host + "/" + cert, ReadHostFile(dir / (std::string("release/certs/") + cert)));
    }
    WriteHostFile(host + "/local-fs.crt", ReadHostFile(dir / "release/local-fs.crt"));
    WriteHostFile(host + "/qzAgent.xmd", ReadHostFile(dir / "release/agent/qzAgent.xmd"));
    WriteHostFile(host + "/server.cfg", ReadHostFile(dir / "agent331.cfg/server.cfg"));
  }
};

class InstallCrash : public UpdateCrash {
 protected:
  void SetUp() override {
    UpdateCrash::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;
    const fs::path dir = release_->dir.path();
    run_.points = TracePoints(run_.command, run_.setup, [&](TestMachine& m) { run_.Prepare(m, dir); }, qz::kExitDone,
                              [&](const TestMachine& m) { run_.placed = AgentFiles(m); });
    ASSERT_GE(run_.points.size(), 8u);
    ASSERT_EQ(run_.placed.at("qzAgentUtil.dll"), ReadHostFile(dir / "agent331/qzAgentUtil.dll"));
    std::cout << "install: " << run_.points.size() << " kill points" << std::endl;
  }

  // A machine with build 330 running, the setup folder filled, the install cut short at point.
  bool Killed(TestMachine& m, const std::string& point, std::map<std::string, std::string>* modulesBefore) {
    Fresh(m);
    if (HasFatalFailure()) return false;
    run_.Prepare(m, release_->dir.path());
    if (modulesBefore) *modulesBefore = AgentModules(AgentFiles(m));
    return RunKilledAt(m, run_.command, run_.setup, point);
  }

  InstallOverAgent run_;
};

// The installer run again (with the definition file failing on the server), then the agent's own
// update run: the uninterrupted install's result.
TEST_F(InstallCrash, EveryFileOperationIsMadeGoodByTheNextInstall) {
  for (const std::string& point : run_.points) {
    SCOPED_TRACE(point);
    TestMachine m("win10-x64");
    if (!Killed(m, point, nullptr)) {
      if (HasFatalFailure()) return;
      continue;
    }
    release_->server->Faults("/agent/qzAgent.xmd status=500\n");
    EXPECT_EQ(m.Run(run_.command, run_.setup), qz::kExitDone);
    EXPECT_TRUE(AgentFiles(m) == run_.placed) << ModuleNames(AgentFiles(m));
    EXPECT_TRUE(ServiceRuns());
    KillServiceProgram(m);
    ExpectWholeAgentAfterAFailingDefinition(m, false);
    EXPECT_TRUE(AgentFiles(m) == run_.placed) << ModuleNames(AgentFiles(m));
  }
}

// Not run again: the agent's own run, with the server stopped, leaves its programs all of the
// old build or all of the new one, and running.
TEST_F(InstallCrash, EveryFileOperationIsSettledByTheAgentsRunWithTheServerStopped) {
  for (const std::string& point : run_.points) {
    SCOPED_TRACE(point);
    TestMachine m("win10-x64");
    std::map<std::string, std::string> before;
    if (!Killed(m, point, &before)) {
      if (HasFatalFailure()) return;
      continue;
    }
    StopServer();
    EXPECT_EQ(m.Run(UpdaterCommand(u"")), qz::kExitCertificates);
    const std::map<std::string, std::string> modules = AgentModules(AgentFiles(m));
    EXPECT_TRUE(modules == before || modules == AgentModules(run_.placed)) << ModuleNames(modules);
    EXPECT_TRUE(Leftovers(m).empty());
    EXPECT_TRUE(ServiceRuns());
    KillServiceProgram(m);
    StartServer();
    if (HasFatalFailure()) return;
  }
}

// The uninstall cut short at each of its file operations in the install folder, then run again
// with the server away: the agent is gone entirely once the restart has done what waited for it.
TEST_F(UpdateCrash, EveryFileOperationOfTheUninstallIsFinishedByTheNextUninstall) {
  const std::u16string setup(kReleaseSetup);
  const std::u16string uninstall = u"\"" + setup + u"\\qzUpdater.exe\" --uninstall";
  const auto prepare = [&](TestMachine& m) { m.Install("qzUpdater", setup + u"\\qzUpdater.exe"); };
  const std::vector<std::string> points = TracePoints(uninstall, setup, prepare, qz::kExitDone);
  ASSERT_GE(points.size(), 6u);
  std::cout << "uninstall: " << points.size() << " kill points" << std::endl;

  StopServer();
  for (const std::string& point : points) {
    SCOPED_TRACE(point);
    TestMachine m("win10-x64");
    Fresh(m);
    if (HasFatalFailure()) break;
    prepare(m);
    if (!RunKilledAt(m, uninstall, setup, point)) continue;
    EXPECT_EQ(m.Run(uninstall, setup), qz::kExitDone);
    EXPECT_EQ(CountProcesses(u"qzTarlinSvc.exe"), 0);
    EXPECT_EQ(ServiceState(), 0u) << "the service is still registered";
    win::HKEY key = nullptr;
    EXPECT_NE(win::Registry().RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, u"SOFTWARE\\Varnholt\\KSM", 0,
                                            win::KEY_READ | win::KEY_WOW64_32KEY, &key),
              0);
    m.Leave();
    int status = -1;
    RunWinsim({"reboot", m.root()}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(fs::exists(m.HostPath(kReleaseInstall)));
  }
  StartServer();
}

// A value08 of the wrong type (a REG_DWORD) is no identity: the run takes the backup GUID, sends it
// in its requests and repairs value08.
TEST_F(UpdateCrash, AValue08OfTheWrongTypeGivesWayToTheBackup) {
  TestMachine m("win10-x64");
  Fresh(m);
  if (HasFatalFailure()) return;
  std::string backup(33, '\0');
  {
    win::HKEY key = nullptr;
    ASSERT_EQ(win::Registry().RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, u"SYSTEM\\Software\\Varnholt\\KSM", 0,
                                            win::KEY_READ, &key),
              0);
    win::DWORD size = static_cast<win::DWORD>(backup.size());
    ASSERT_EQ(win::Registry().RegQueryValueExA(key, "UUID", nullptr, reinterpret_cast<win::BYTE*>(backup.data()), &size), 0);
    win::Registry().RegCloseKey(key);
    backup.resize(std::min<size_t>(32, backup.find('\0')));
    ASSERT_EQ(backup.size(), 32u);
    ASSERT_EQ(win::Registry().RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, qz::kCommonKey, 0, win::KEY_WRITE, &key), 0);
    const win::DWORD five = 5;
    ASSERT_EQ(win::Registry().RegSetValueExA(key, "value08", win::REG_DWORD, reinterpret_cast<const win::BYTE*>(&five),
                                             sizeof five),
              0);
    win::Registry().RegCloseKey(key);
  }
  const size_t seen = release_->server->Journal().size();
  EXPECT_EQ(m.Run(UpdaterCommand(u"--update")), qz::kExitDone);
  const auto journal = release_->server->Journal();
  size_t agentRequests = 0;
  for (size_t i = seen; i < journal.size(); ++i) {
    if (journal[i].path != "/CAgentRequest") continue;
    ++agentRequests;
    EXPECT_EQ(ParseBody(journal[i].body)["_uuid"], backup) << journal[i].body;
  }
  EXPECT_GT(agentRequests, 0u);
  win::HKEY key = nullptr;
  ASSERT_EQ(win::Registry().RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, qz::kCommonKey, 0, win::KEY_READ, &key), 0);
  char value[64] = {};
  win::DWORD size = sizeof value;
  win::DWORD type = 0;
  EXPECT_EQ(win::Registry().RegQueryValueExA(key, "value08", &type, reinterpret_cast<win::BYTE*>(value), &size), 0);
  win::Registry().RegCloseKey(key);
  EXPECT_EQ(type, win::REG_SZ);
  EXPECT_EQ(std::string(value, std::min<size_t>(32, std::strlen(value))), backup);
  KillServiceProgram(m);
}

}  // namespace
