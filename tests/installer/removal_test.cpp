// Taking an agent down: the sc.exe commands per Windows, the drivers' services, ending processes by
// exact name, the log collection and the waiting dots of the install window's status line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "installer/removal.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "support/fake_time.h"
#include "installer/site_installer.h"
#include "support/test_machine.h"

namespace {

using qztest::End;
using qztest::Launch;

namespace fs = std::filesystem;
using namespace win;
using qztest::TestMachine;

std::vector<std::u16string> StopDelete(std::initializer_list<const char16_t*> services) {
  std::vector<std::u16string> out;
  for (const char16_t* s : services) {
    out.push_back(u"/c sc.exe stop " + std::u16string(s));
    out.push_back(u"/c sc.exe delete " + std::u16string(s));
  }
  return out;
}

TEST(DriverGroupCommands, NameTheDriversOfTheRunningWindows) {
  struct Row {
    const char* profile;
    std::vector<std::u16string> first, second;
  };
  const Row rows[] = {
      {"winxp-sp3", StopDelete({u"qzPrtProcXP", u"qzProcCutXp"}), StopDelete({u"qzPrtProcXP", u"qzProcCutXp"})},
      {"win2003-sp2", StopDelete({u"qzPrtProcXP", u"qzProcCutXp"}), StopDelete({u"qzPrtProcXP", u"qzProcCutXp"})},
      {"vista", StopDelete({u"qzPrtProc", u"qzProcCut"}), StopDelete({u"qzTcpTagger", u"qzNetFilter_Vista"})},
      {"vista-x64", StopDelete({u"qzPrtProcX64", u"qzProcCutx64"}),
       StopDelete({u"qzTcpTaggerX64", u"qzNetFilter_VistaX64"})},
      {"win7", StopDelete({u"qzPrtProc", u"qzProcCut"}), StopDelete({u"qzTcpTagger", u"qzNetFilter"})},
      {"win10-x64", StopDelete({u"qzPrtProcX64", u"qzProcCutx64"}), StopDelete({u"qzTcpTaggerX64", u"qzNetFilterX64"})},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.profile);
    TestMachine m(r.profile);
    m.Enter(u"C:\\test\\qzSetup.exe", 32);
    EXPECT_EQ(qz::DriverGroupCommands(qz::DriverGroup::ProtectionAndCut), r.first);
    EXPECT_EQ(qz::DriverGroupCommands(qz::DriverGroup::TaggerAndFilter), r.second);
  }
}

void CreateDriver(std::u16string_view name, std::u16string_view path, bool start) {
  SC_HANDLE scm = Services().OpenSCManagerW(u"", u"", SC_MANAGER_ALL_ACCESS);
  ASSERT_TRUE(scm);
  SC_HANDLE s = Services().CreateServiceW(scm, name, name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                          SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path);
  ASSERT_TRUE(s);
  if (start) {
    EXPECT_TRUE(Services().StartServiceW(s, {}));
  }
  Services().CloseServiceHandle(s);
  Services().CloseServiceHandle(scm);
}

bool ServiceExists(std::u16string_view name) {
  SC_HANDLE scm = Services().OpenSCManagerW(u"", u"", SC_MANAGER_ALL_ACCESS);
  SC_HANDLE s = scm ? Services().OpenServiceW(scm, name, SERVICE_ALL_ACCESS) : nullptr;
  if (s) Services().CloseServiceHandle(s);
  if (scm) Services().CloseServiceHandle(scm);
  return s != nullptr;
}

// On 32-bit Windows 7 the commands name qzProcCut while the service manager works on the service
// of qzProcCutx86.sys: both go, and the second group's drivers stay.
TEST(RemoveDriverGroup, CommandsAndServiceManagerBothRun) {
  TestMachine m("win7");
  // The program's folder is its current one, and a process cannot start in a missing folder.
  fs::create_directories(m.HostPath(u"C:\\test"));
  m.Enter(u"C:\\test\\qzSetup.exe", 32);
  const std::u16string ksm = u"C:\\Program Files\\varnholt\\KSM";
  fs::create_directories(m.HostPath(ksm));
  std::ofstream(m.HostPath(ksm + u"\\qzProcCutx86.sys")) << "driver";
  CreateDriver(u"qzProcCut", u"C:\\Windows\\System32\\drivers\\qzProcCut.sys", false);
  CreateDriver(u"qzProcCutx86", ksm + u"\\qzProcCutx86.sys", true);
  CreateDriver(u"qzTcpTagger", u"C:\\Windows\\System32\\drivers\\qzTcpTagger.sys", false);

  qz::DriverRecords drivers;
  qz::RemoveDriverGroup(qz::DriverGroup::ProtectionAndCut, drivers);
  EXPECT_FALSE(ServiceExists(u"qzProcCut"));
  EXPECT_FALSE(ServiceExists(u"qzProcCutx86"));
  EXPECT_TRUE(ServiceExists(u"qzTcpTagger"));

  qz::RemoveDriverGroup(qz::DriverGroup::TaggerAndFilter, drivers);
  EXPECT_FALSE(ServiceExists(u"qzTcpTagger"));
}


std::vector<DWORD> Pids(std::u16string_view image) {
  std::vector<PROCESSENTRY32W> e;
  Processes().SnapshotProcesses(TH32CS_SNAPALL, &e);
  std::vector<DWORD> out;
  for (const auto& p : e) {
    if (p.szExeFile == image) out.push_back(p.th32ProcessID);
  }
  return out;
}

TEST(EndProcessByName, EndsOnlyTheFirstExactMatch) {
  TestMachine m("win10-x64");
  m.Install("wsprobe", u"C:\\a\\lmvAgent.exe");
  m.Install("wsprobe", u"C:\\b\\lmvAgent.exe");
  m.Install("wsprobe", u"C:\\c\\LmvAgent.exe");
  m.Enter(u"C:\\test\\qzSetup.exe", 32);
  const DWORD first = Launch(u"C:\\a\\lmvAgent.exe sleep 600000");
  const DWORD second = Launch(u"C:\\b\\lmvAgent.exe sleep 600000");
  const DWORD otherCase = Launch(u"C:\\c\\LmvAgent.exe sleep 600000");
  ASSERT_TRUE(first && second && otherCase);
  std::vector<DWORD> before = Pids(u"lmvAgent.exe");
  ASSERT_EQ(before.size(), 2u);

  EXPECT_TRUE(qz::EndProcessByName(u"lmvAgent.exe"));
  std::vector<DWORD> after = Pids(u"lmvAgent.exe");
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0], before[1]) << "the first one found is ended";
  EXPECT_EQ(Pids(u"LmvAgent.exe").size(), 1u);
  EXPECT_FALSE(qz::EndProcessByName(u"qzNoticeView.exe"));

  for (DWORD pid : {after[0], otherCase}) End(pid);
}

TEST(EndProcessByName, PostsCloseToTheWindowsOfTheEndedProcessOnly) {
  TestMachine m("win10-x64");
  m.Install("wsprobe", u"C:\\a\\qzNoticeView.exe");
  m.Enter(u"C:\\test\\qzSetup.exe", 32);
  const DWORD pid = Launch(u"C:\\a\\qzNoticeView.exe sleep 600000");
  ASSERT_TRUE(pid);
  // A window of this test's own process, which must not get WM_CLOSE.
  HWND own = Desktop().CreateWindowExW(0, u"OwnClass", u"own", 0);
  ASSERT_TRUE(own);
  std::vector<HWND> all = Desktop().EnumWindows();
  EXPECT_NE(std::find(all.begin(), all.end(), own), all.end());
  DWORD owner = 0;
  Desktop().GetWindowThreadProcessId(own, &owner);
  EXPECT_EQ(owner, Processes().GetCurrentProcessId());

  EXPECT_TRUE(qz::EndProcessByName(u"qzNoticeView.exe"));
  EXPECT_TRUE(Pids(u"qzNoticeView.exe").empty());
  for (const auto& e : m.Journal()) EXPECT_NE(e.kind, "PostMessage") << e.caption;
}

// The machine's processes, with each termination recorded by the image name of its process.
class RecordingProcesses : public IProcesses {
 public:
  explicit RecordingProcesses(std::unique_ptr<IProcesses> inner) : in_(std::move(inner)) {}
  std::vector<std::u16string> ended;

  BOOL SnapshotProcesses(DWORD flags, std::vector<PROCESSENTRY32W>* entries) override {
    BOOL ok = in_->SnapshotProcesses(flags, entries);
    for (const auto& e : *entries) names_[e.th32ProcessID] = e.szExeFile;
    return ok;
  }
  BOOL ProcessIdToSessionId(DWORD pid, DWORD* session) override { return in_->ProcessIdToSessionId(pid, session); }
  HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD pid) override { return in_->OpenProcess(access, inherit, pid); }
  BOOL TerminateProcess(HANDLE process, UINT exitCode) override {
    ended.push_back(names_[in_->GetProcessId(process)]);
    if (refuse) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    return in_->TerminateProcess(process, exitCode);
  }
  bool refuse = false;
  BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) override { return in_->GetExitCodeProcess(process, exitCode); }
  DWORD GetProcessId(HANDLE process) override { return in_->GetProcessId(process); }
  BOOL CreateProcessW(std::u16string_view app, std::u16string_view cmd, DWORD flags, std::u16string_view dir,
                      const STARTUPINFOW& si, PROCESS_INFORMATION* pi) override {
    return in_->CreateProcessW(app, cmd, flags, dir, si, pi);
  }
  BOOL ShellExecuteExW(SHELLEXECUTEINFOW* info) override { return in_->ShellExecuteExW(info); }
  DWORD GetCurrentProcessId() override { return in_->GetCurrentProcessId(); }
  std::u16string GetCommandLineW() override { return in_->GetCommandLineW(); }
  [[noreturn]] void ExitProcess(UINT code) override {
    in_->ExitProcess(code);
    std::abort();
  }

 private:
  std::unique_ptr<IProcesses> in_;
  std::map<DWORD, std::u16string> names_;
};

TEST(EndAgentProcesses, EndsTheSixInTheirOrderWhateverOrderTheyStarted) {
  TestMachine m("win10-x64");
  const std::vector<std::u16string> six = {u"qzTarlinSvc.exe",  u"lmvAgent.exe",     u"lmvAssistant.exe",
                                           u"lmvKeeper.exe",    u"qzNoticeView.exe", u"qzUpdater.exe"};
  for (const auto& name : six) m.Install("wsprobe", u"C:\\agent\\" + name);
  m.Install("wsprobe", u"C:\\agent\\other.exe");
  m.Enter(u"C:\\test\\qzSetup.exe", 32);
  for (auto it = six.rbegin(); it != six.rend(); ++it) ASSERT_TRUE(Launch(u"C:\\agent\\" + *it + u" sleep 600000"));
  const DWORD other = Launch(u"C:\\agent\\other.exe sleep 600000");
  ASSERT_TRUE(other);
  auto recorder = std::make_unique<RecordingProcesses>(Platform::Current().SetProcesses(nullptr));
  RecordingProcesses* rec = recorder.get();
  Platform::Current().SetProcesses(std::move(recorder));

  qz::EndAgentProcesses();
  EXPECT_EQ(rec->ended, six);
  for (const auto& name : six) EXPECT_TRUE(Pids(name).empty()) << WideToUtf8(name);
  EXPECT_EQ(Pids(u"other.exe").size(), 1u);
  End(other);
}

// A process that refuses to end is reported, not waited for without end.
TEST(EndProcessByName, AProcessThatRefusesToEndIsNotWaitedFor) {
  TestMachine m("win10-x64");
  m.Install("wsprobe", u"C:\\agent\\lmvKeeper.exe");
  m.Enter(u"C:\\test\\qzSetup.exe", 32);
  const DWORD pid = Launch(u"C:\\agent\\lmvKeeper.exe sleep 600000");
  ASSERT_TRUE(pid);
  auto recorder = std::make_unique<RecordingProcesses>(Platform::Current().SetProcesses(nullptr));
  recorder->refuse = true;
  Platform::Current().SetProcesses(std::move(recorder));
  auto fake = std::make_unique<qztest::FakeTime>();
  qztest::FakeTime* time = fake.get();
  Platform::Current().SetTime(std::move(fake));

  EXPECT_FALSE(qz::EndProcessByName(u"lmvKeeper.exe"));
  EXPECT_TRUE(time->Pauses().empty());
  EXPECT_EQ(Pids(u"lmvKeeper.exe").size(), 1u);
  HANDLE h = Processes().OpenProcess(PROCESS_TERMINATE, FALSE, pid);
  ASSERT_TRUE(h);
  static_cast<RecordingProcesses&>(Processes()).refuse = false;
  Processes().TerminateProcess(h, 0);
  CloseHandle(h);
}

TEST(LogArchiveName, FourteenDigitsWithLeadingZeros) {
  SYSTEMTIME t{};
  t.wYear = 2021;
  t.wMonth = 2;
  t.wDay = 3;
  t.wHour = 9;
  t.wMinute = 5;
  t.wSecond = 7;
  EXPECT_EQ(qz::LogArchiveName(t), u"20210203090507.zip");
}

TEST(CollectLogs, NoLogFolderMakesNoArchive) {
  TestMachine m("win10-x64");
  m.Enter(u"C:\\test\\qzSetup.exe", 32);
  qz::InstallerFolders f;
  f.setup = u"C:\\setup";
  f.install = u"C:\\Program Files (x86)\\varnholt\\KSM";
  fs::create_directories(m.HostPath(f.install));
  std::u16string name = u"untouched";
  EXPECT_EQ(qz::CollectLogs(f, &name), 0);
  EXPECT_EQ(name, u"untouched");
}

TEST(CollectLogs, AddsTheLogFolderToAnArchiveNamedByTheLocalTime) {
  TestMachine m("win10-x64");
  qz::InstallerFolders f;
  f.setup = u"C:\\setup";
  f.install = u"C:\\Program Files (x86)\\varnholt\\KSM";
  m.Install("7zr.exe", f.setup + u"\\ExtractXzr.exe");
  fs::create_directories(m.HostPath(f.install + u"\\logs"));
  std::ofstream(m.HostPath(f.install + u"\\logs\\20240131.log")) << "old agent log";
  m.Enter(u"C:\\test\\qzSetup.exe", 32);
  auto fake = std::make_unique<qztest::FakeTime>(1612343107000ull /* 2021-02-03 09:05:07 UTC */);
  Platform::Current().SetTime(std::move(fake));

  std::u16string name;
  EXPECT_EQ(qz::CollectLogs(f, &name), 1);
  EXPECT_EQ(name, u"20210203090507.zip");
  const std::string archive = m.HostPath(f.setup + u"\\" + name);
  ASSERT_TRUE(fs::exists(archive));
  const std::string listing = qztest::HostOutput("7zz l " + qztest::ShellQuote(archive));
  EXPECT_NE(listing.find("20240131.log"), std::string::npos) << listing;
}

// The install flow's removal on the machine's own clock: an updater that ends at once leaves only
// the final text with one dot after the two status texts, and the old logs are archived first.
TEST(RemovePreviousAgent, StatusTextsLogArchiveAndProcessesEnded) {
  struct Row {
    bool korean;
    std::vector<std::u16string> texts;
  };
  const Row rows[] = {
      {false, {u"Stop the VH-KSM driver.", u"Terminates the VH-KSM Agent.", u"Delete an existing VH-KSM agent."}},
      {true, {u"VH-KSM 드라이버를 중지합니다.", u"VH-KSM 에이전트를 종료합니다.", u"기존 VH-KSM 에이전트를 삭제합니다."}}};
  // The quiet cycles and the final second are pauses of the machine's clock.
  setenv("WINSIM_TIME_SCALE", "0.01", 1);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.korean);
    TestMachine m("win10-x64");
    qz::InstallerFolders f;
    f.setup = u"C:\\setup";
    f.install = u"C:\\Program Files (x86)\\varnholt\\KSM";
    m.Install("7zr.exe", f.setup + u"\\ExtractXzr.exe");
    m.Install("wsprobe", f.setup + u"\\qzUpdater.exe");
    m.Install("wsprobe", f.install + u"\\lmvAgent.exe");
    fs::create_directories(m.HostPath(f.install + u"\\logs"));
    std::ofstream(m.HostPath(f.install + u"\\logs\\old.log")) << "old agent log";
    fs::create_directories(m.HostPath(u"C:\\test"));
    m.Enter(u"C:\\test\\qzSetup.exe", 32);
    ASSERT_TRUE(Launch(f.install + u"\\lmvAgent.exe sleep 600000"));

    std::vector<std::u16string> shown;
    std::u16string archive;
    qz::DriverRecords drivers;
    qz::RemovePreviousAgent(f, drivers, r.korean, [&](std::u16string_view t) { shown.emplace_back(t); }, &archive);
    EXPECT_EQ(shown, r.texts);
    EXPECT_TRUE(Pids(u"lmvAgent.exe").empty());
    EXPECT_EQ(archive.size(), 18u);
    EXPECT_TRUE(fs::exists(m.HostPath(f.setup + u"\\" + archive)));
  }
  unsetenv("WINSIM_TIME_SCALE");
}

// The dots under an injected clock: the status sink plays the window and may end the wait.
class WaitingDotsTest : public testing::Test {
 protected:
  void SetUp() override {
    m_.Enter(u"C:\\test\\qzSetup.exe", 32);
    auto fake = std::make_unique<qztest::FakeTime>();
    time_ = fake.get();
    Platform::Current().SetTime(std::move(fake));
  }
  TestMachine m_{"win10-x64"};
  qztest::FakeTime* time_ = nullptr;
};

TEST_F(WaitingDotsTest, QuickUpdaterShowsOnlyTheFinalTextWithOneDot) {
  qz::WaitingDots w;
  w.base = u"Delete an existing VH-KSM agent";
  std::vector<std::u16string> shown;
  w.status = [&](std::u16string_view t) { shown.emplace_back(t); };
  // The updater ended before the thread looked: the quiet cycles run at 10 ms each.
  w.done.store(1);
  qz::RunWaitingDots(w);
  EXPECT_EQ(shown, std::vector<std::u16string>{u"Delete an existing VH-KSM agent."});
  std::vector<DWORD> expected(120, 10);
  expected.push_back(1000);
  EXPECT_EQ(time_->Pauses(), expected);
}

TEST_F(WaitingDotsTest, DotsStartAfterAMinuteAndFinishTheirCycle) {
  qz::WaitingDots w;
  w.base = u"B";
  std::vector<std::pair<uint64_t, std::u16string>> shown;
  const uint64_t start = time_->GetTickCount64();
  // The updater ends while the first dot shows.
  w.status = [&](std::u16string_view t) {
    shown.emplace_back(time_->GetTickCount64() - start, std::u16string(t));
    w.done.store(1);
  };
  qz::RunWaitingDots(w);
  const std::vector<std::pair<uint64_t, std::u16string>> expected = {
      {60000, u"B."}, {61000, u"B.."}, {62000, u"B..."}, {63000, u"B...."}, {64000, u"B....."}, {65000, u"B."}};
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(time_->Pauses().size(), 120u + 5u + 1u);
}

}  // namespace
