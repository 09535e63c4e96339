// The install worker in-process, seen through the status sink the window would be: what it shows
// and places, in which order, with a setup folder as the payload leaves it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "installer/install_state.h"
#include "installer/removal.h"
#include "installer/site_installer.h"
#include "integration/agent_machine.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "support/test_machine.h"

namespace {

namespace fs = std::filesystem;
using namespace win;
using qztest::TestMachine;

class RecordingView : public qz::InstallView {
 public:
  void SetStatusText(std::u16string_view text) override { texts.emplace_back(text); }
  void ShowFinishedPicture() override { finishedAt = texts.size(); }
  HWND Owner() override { return nullptr; }
  std::vector<std::u16string> texts;
  size_t finishedAt = 0;
};

constexpr const char16_t* kCopyOrder[] = {
    u"local-fs.crt",     u"msvcp110.dll",     u"msvcr110.dll",      u"mfc110u.dll",      u"msvcp110.dll",
    u"msvcr110.dll",     u"mfc110u.dll",      u"lmvAgent.exe",      u"lmvAssistant.exe", u"lmvKeeper.exe",
    u"qzAgentUtil.dll",  u"qzClientInfo.dll", u"qzCrypto.dll",      u"qzLogger.dll",     u"qzTarlinSvc.exe",
    u"qzNSI.dll",        u"qzPatchMan.dll",   u"qzSecureZip.dll",   u"qzUpdater.exe",    u"qorv-ca.pem",
    u"qorv-fs.crt",      u"qzCommon.dll",     u"qzIPC.dll",         u"qzNoticeView.exe", u"qzPatcher.dll",
    u"qzPCKeeper.dll",   u"qzPCKeeperUI.dll", u"qzWebQuery.dll",    u"qzPatchCom.dll",   u"qzEnglish.dll",
    u"qzKorea.dll",      u"qzKeeperImage.dll", u"vhGSUtils.dll",    u"vhSafePacket.dll", u"vhSecureClient.dll",
};

TEST(InstallWorker, ShowsAndPlacesEverythingInOrderThenHandsOver) {
  setenv("WINSIM_TIME_SCALE", "0.01", 1);
  TestMachine m("win7-x64");
  qz::InstallerState state;
  state.folders.setup = u"C:\\setup";
  state.folders.install = u"C:\\Program Files (x86)\\varnholt\\KSM";
  state.folders.system = u"C:\\Windows\\system32";
  state.folders.setupAnsi = "C:\\setup";
  state.folders.installAnsi = "C:\\Program Files (x86)\\varnholt\\KSM";
  state.folders.systemAnsi = "C:\\Windows\\system32";
  state.productKind = "V3-2";
  state.showMode = u"true";
  state.installing = 1;
  fs::create_directories(m.HostPath(state.folders.install));
  fs::create_directories(m.HostPath(state.folders.setup));
  std::ofstream(m.HostPath(u"C:\\setup\\server.cfg"))
      << "<setup><serial>VH-1</serial><server>127.0.0.1</server><productkind>V3-2</productkind><msg>m</msg>"
         "<showui>true</showui><addbin><item copy=\"true\" path=\"C:\\extra\">tool.dll</item></addbin></setup>";
  for (const char* f : {"qzNetFilterX64.sys", "qzProcCutx64.sys", "qzComDrv.dll", "lmvAgent.exe", "tool.dll"}) {
    std::ofstream(m.HostPath(u"C:\\setup\\" + Utf8ToWide(f))) << f;
  }
  // The agent's service program, which the install registers and starts.
  m.Install("qzTarlinSvc", u"C:\\setup\\qzTarlinSvc.exe");
  fs::create_directories(m.HostPath(u"C:\\extra"));
  fs::create_directories(m.HostPath(u"C:\\test"));
  m.Enter(u"C:\\test\\qzSetup.exe", 32);
  qz::TakeOverSettings(state, u"");
  RecordingView view;
  state.view = &view;

  EXPECT_EQ(qz::RunInstallWorker(state), 0);

  const std::u16string install = state.folders.install + u"\\";
  std::vector<std::u16string> want = {u"Stop the VH-KSM driver.", u"Terminates the VH-KSM Agent.",
                                      u"Delete an existing VH-KSM agent.", install + u"qzNetFilterX64.sys",
                                      install + u"qzProcCutx64.sys", install + u"qzComDrv.dll", u"File Copy Start"};
  for (size_t i = 0; i < std::size(kCopyOrder); ++i) {
    const bool system = i >= 4 && i <= 6;
    want.push_back((system ? u"C:\\Windows\\system32\\" : install) + kCopyOrder[i]);
  }
  want.push_back(u"File Copy Complete");
  want.push_back(u"C:\\extra\\tool.dll");
  want.push_back(u"installed");
  EXPECT_EQ(view.texts, want);
  EXPECT_EQ(view.finishedAt, want.size());
  EXPECT_EQ(state.installing, 0);
  EXPECT_EQ(state.done, 1);
  EXPECT_EQ(state.processorWidth, 2);
  EXPECT_EQ(state.osNumber, 61);
  for (const char16_t* f : {u"qzNetFilterX64.sys", u"qzProcCutx64.sys", u"qzComDrv.dll", u"lmvAgent.exe",
                            u"server.cfg"}) {
    EXPECT_TRUE(qztest::Exists(install + f)) << WideToUtf8(f);
  }
  EXPECT_TRUE(qztest::Exists(u"C:\\extra\\tool.dll"));
  EXPECT_FALSE(qztest::Exists(state.folders.setup));
  EXPECT_TRUE(qztest::ServiceRuns());
  unsetenv("WINSIM_TIME_SCALE");
}

// The end of a process, thrown where the installer ends its process, so the test sees it.
struct ProcessEnded {
  UINT code;
};

// The machine's processes, except that ending this one throws ProcessEnded.
class ExitTrap : public IProcesses {
 public:
  explicit ExitTrap(std::unique_ptr<IProcesses> inner) : in_(std::move(inner)) {}
  BOOL SnapshotProcesses(DWORD flags, std::vector<PROCESSENTRY32W>* entries) override {
    return in_->SnapshotProcesses(flags, entries);
  }
  BOOL ProcessIdToSessionId(DWORD pid, DWORD* session) override { return in_->ProcessIdToSessionId(pid, session); }
  HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD pid) override { return in_->OpenProcess(access, inherit, pid); }
  BOOL TerminateProcess(HANDLE process, UINT exitCode) override { return in_->TerminateProcess(process, exitCode); }
  BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) override { return in_->GetExitCodeProcess(process, exitCode); }
  DWORD GetProcessId(HANDLE process) override { return in_->GetProcessId(process); }
  BOOL CreateProcessW(std::u16string_view app, std::u16string_view cmd, DWORD flags, std::u16string_view dir,
                      const STARTUPINFOW& si, PROCESS_INFORMATION* pi) override {
    return in_->CreateProcessW(app, cmd, flags, dir, si, pi);
  }
  BOOL ShellExecuteExW(SHELLEXECUTEINFOW* info) override { return in_->ShellExecuteExW(info); }
  BOOL DuplicateHandle(HANDLE sp, HANDLE s, HANDLE tp, HANDLE* t, DWORD access, BOOL inherit, DWORD options) override {
    return in_->DuplicateHandle(sp, s, tp, t, access, inherit, options);
  }
  DWORD GetCurrentProcessId() override { return in_->GetCurrentProcessId(); }
  std::u16string GetCommandLineW() override { return in_->GetCommandLineW(); }
  [[noreturn]] void ExitProcess(UINT code) override { throw ProcessEnded{code}; }

 private:
  std::unique_ptr<IProcesses> in_;
};

constexpr char16_t kInstall[] = u"C:\\Program Files (x86)\\varnholt\\KSM";
constexpr char16_t kSetupFolder[] = u"C:\\setup";

// A 64-bit Windows 7 machine with a setup folder as the payload leaves it (a V3-2 settings
// document, a few of the agent's files, the service program given), this test acting as qzSetup.
class WorkerRun : public testing::Test {
 protected:
  static void SetUpTestSuite() { setenv("WINSIM_TIME_SCALE", "0.01", 1); }
  static void TearDownTestSuite() { unsetenv("WINSIM_TIME_SCALE"); }

  void Prepare(const std::string& servicePrograms = "qzTarlinSvc", const std::string& lang = "en") {
    state_.reset();
    m_ = std::make_unique<TestMachine>("win7-x64", lang);
    state_ = std::make_unique<qz::InstallerState>();
    state_->korean = lang == "ko";
    state_->folders.setup = kSetupFolder;
    state_->folders.install = kInstall;
    state_->folders.system = u"C:\\Windows\\system32";
    state_->showMode = u"true";
    state_->installing = 1;
    fs::create_directories(m_->HostPath(kInstall));
    fs::create_directories(m_->HostPath(kSetupFolder));
    fs::create_directories(m_->HostPath(u"C:\\test"));
    std::ofstream(m_->HostPath(u"C:\\setup\\server.cfg"))
        << "<setup><serial>VH-1</serial><server>127.0.0.1</server><productkind>V3-2</productkind><msg>m</msg>"
           "<showui>true</showui></setup>";
    for (const char* f : {"qzNetFilterX64.sys", "qzProcCutx64.sys", "qzComDrv.dll", "lmvAgent.exe", "qzCrypto.dll",
                          "msvcr110.dll"}) {
      std::ofstream(m_->HostPath(u"C:\\setup\\" + Utf8ToWide(f))) << "new " << f;
    }
    m_->Install(servicePrograms, u"C:\\setup\\qzTarlinSvc.exe");
    m_->Enter(u"C:\\test\\qzSetup.exe", 32);
    state_->folders.setupAnsi = WideToAnsi(state_->folders.setup);
    state_->folders.installAnsi = WideToAnsi(state_->folders.install);
    state_->folders.systemAnsi = WideToAnsi(state_->folders.system);
    qz::TakeOverSettings(*state_, u"");
  }

  // The worker's run: the exit code when it ended the process, nothing when it returned.
  std::optional<UINT> Run() {
    Platform::Current().SetProcesses(std::make_unique<ExitTrap>(Platform::Current().SetProcesses(nullptr)));
    try {
      EXPECT_EQ(qz::RunInstallWorker(*state_), 0);
    } catch (const ProcessEnded& e) {
      return e.code;
    }
    return std::nullopt;
  }

  std::unique_ptr<TestMachine> m_;
  std::unique_ptr<qz::InstallerState> state_;
};

// The agent's files or its service not in place at the end: the install says so and ends with 1.
TEST_F(WorkerRun, AnInstallWithoutItsFilesOrRunningServiceFails) {
  struct Row {
    const char* name;
    std::string serviceProgram;  // put into the setup folder as qzTarlinSvc.exe
    const char* lang;
    std::u16string blocked;      // a folder standing where a copy-list file goes
    std::string text, caption;
  };
  const Row rows[] = {
      // Present, but it neither registers nor starts the service.
      {"service", "wsprobe", "en", u"", "VH-KSM Agent could not be installed.(41)", "Default setting error"},
      {"service ko", "wsprobe", "ko", u"", "VH-KSM 에이전트를 설치하지 못했습니다.(41)", "기본 설정 에러"},
      {"file", "qzTarlinSvc", "en", std::u16string(kInstall) + u"\\qzCrypto.dll",
       "VH-KSM Agent could not be installed.(40)", "Default setting error"},
      {"system file", "qzTarlinSvc", "en", u"C:\\Windows\\SysWOW64\\msvcr110.dll",
       "VH-KSM Agent could not be installed.(40)", "Default setting error"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    Prepare(r.serviceProgram, r.lang);
    if (!r.blocked.empty()) fs::create_directories(m_->HostPath(r.blocked));

    EXPECT_EQ(Run(), std::optional<UINT>(1u));

    std::vector<TestMachine::JournalEntry> boxes;
    for (const auto& e : m_->Journal()) {
      if (e.kind == "MessageBox") boxes.push_back(e);
    }
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, r.text);
    EXPECT_EQ(boxes[0].caption, r.caption);
    EXPECT_EQ(boxes[0].flags, MB_ICONERROR);
    EXPECT_EQ(WideToUtf8(qztest::Outcome()), r.text);
    EXPECT_FALSE(qztest::Exists(kSetupFolder));
    // A missing file stops the install before its service program runs.
    if (!r.blocked.empty()) {
      EXPECT_FALSE(qztest::ServiceExists(qztest::kServiceName));
    }
    {
      std::lock_guard lock(state_->flagLock);
      EXPECT_EQ(state_->done, 0);
    }
  }
}

// A previous agent's network filter comes down with the removal's sc.exe commands; this install
// creates and starts it again from the file it placed, and creates nothing when it placed none.
TEST(RestartNetworkFilter, CreatesTheFilterRemovedByTheRemovalFromTheNewFile) {
  for (const char16_t* placed : {u"qzNetFilterX64.sys", static_cast<const char16_t*>(nullptr)}) {
    SCOPED_TRACE(placed ? "placed" : "none placed");
    TestMachine m("win10-x64");
    fs::create_directories(m.HostPath(u"C:\\test"));
    m.Enter(u"C:\\test\\qzSetup.exe", 32);
    qz::InstallerFolders f;
    f.install = kInstall;
    f.setup = kSetupFolder;
    const std::u16string sys = std::u16string(kInstall) + u"\\qzNetFilterX64.sys";
    m.Install("drivers/qzNetFilterX64.sys", sys);
    SC_HANDLE scm = Services().OpenSCManagerW(u"", u"", SC_MANAGER_ALL_ACCESS);
    SC_HANDLE s = Services().CreateServiceW(scm, u"qzNetFilterX64", u"qzNetFilterX64", SERVICE_ALL_ACCESS,
                                            SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, sys);
    ASSERT_TRUE(s);
    ASSERT_TRUE(Services().StartServiceW(s, {}));
    Services().CloseServiceHandle(s);
    Services().CloseServiceHandle(scm);

    qz::DriverRecords drivers;
    qz::RemoveDriverGroup(qz::DriverGroup::TaggerAndFilter, drivers);
    ASSERT_FALSE(qztest::ServiceExists(u"qzNetFilterX64"));
    // As the updater's uninstall leaves the folder, then this install's copy (or none).
    fs::remove(m.HostPath(sys));
    if (placed) m.Install("drivers/qzNetFilterX64.sys", sys);

    qz::RestartNetworkFilter(drivers.netFilter, placed, f);
    EXPECT_EQ(qztest::ServiceExists(u"qzNetFilterX64"), placed != nullptr);
    if (placed) {
      const std::string query = qztest::RunWinsim({"run", m.root(), "--", "sc.exe query qzNetFilterX64"});
      EXPECT_NE(query.find("RUNNING"), std::string::npos) << query;
    }
  }
}

// PendingFileRenameOperations as pairs.
std::vector<std::pair<std::string, std::string>> PendingPairs() {
  const std::vector<uint8_t> bytes = qztest::PendingRenameBytes();
  std::vector<std::string> strings;
  std::u16string cur;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
    if (c) {
      cur.push_back(c);
    } else {
      strings.push_back(WideToUtf8(cur));
      cur.clear();
    }
  }
  std::vector<std::pair<std::string, std::string>> pairs;
  for (size_t i = 0; i + 1 < strings.size(); i += 2) pairs.emplace_back(strings[i], strings[i + 1]);
  return pairs;
}

// After an uninstall whose files could not all go, this install writes them again: their pending
// deletions go, every other pending pair stays in its order, and a restart keeps the new files.
TEST_F(WorkerRun, AReinstallCancelsThePendingDeletionsOfWhatItWritesAndNothingElse) {
  Prepare();
  const std::u16string install(kInstall);
  auto schedule = [](std::u16string_view from, std::u16string_view to = u"") {
    ASSERT_TRUE(Files().MoveFileExW(from, to, MOVEFILE_DELAY_UNTIL_REBOOT));
  };
  fs::create_directories(m_->HostPath(u"C:\\other"));
  std::ofstream(m_->HostPath(u"C:\\other\\lmvAgent.exe")) << "another program's";
  std::ofstream(m_->HostPath(u"C:\\other\\a.tmp")) << "a";
  // As the old agent's uninstall left them (a 32-bit program: system32 is SysWOW64 to it).
  schedule(install + u"\\lmvAgent.exe");
  schedule(u"C:\\other\\lmvAgent.exe");
  schedule(install + u"\\QZCOMDRV.DLL");
  schedule(u"C:\\other\\a.tmp", u"C:\\other\\b.tmp");
  schedule(u"C:\\Windows\\system32\\msvcr110.dll");
  schedule(install + u"\\qzPatcher.dll");  // in the copy list, but not in this payload
  schedule(u"C:\\other\\c.tmp", install + u"\\lmvAgent.exe");  // a rename, not a deletion
  // A 64-bit program's deletion of the real system32 file, which this install does not write.
  m_->Enter(u"C:\\test\\tool64.exe", 64);
  schedule(u"C:\\Windows\\system32\\msvcr110.dll");
  m_->Enter(u"C:\\test\\qzSetup.exe", 32);
  const std::string ksm = "\\??\\C:\\Program Files (x86)\\varnholt\\KSM\\";
  const std::vector<std::pair<std::string, std::string>> kept = {
      {"\\??\\C:\\other\\lmvAgent.exe", ""},
      {"\\??\\C:\\other\\a.tmp", "\\??\\C:\\other\\b.tmp"},
      {ksm + "qzPatcher.dll", ""},
      {"\\??\\C:\\other\\c.tmp", ksm + "lmvAgent.exe"},
      {"\\??\\C:\\Windows\\System32\\msvcr110.dll", ""},
  };
  ASSERT_EQ(PendingPairs().size(), kept.size() + 3);

  EXPECT_EQ(Run(), std::nullopt);

  // The setup folder's own deletions follow those that were there.
  auto pending = PendingPairs();
  ASSERT_GE(pending.size(), kept.size());
  pending.resize(kept.size());
  auto lower = [](std::vector<std::pair<std::string, std::string>> v) {
    for (auto& [a, b] : v) {
      std::transform(a.begin(), a.end(), a.begin(), ::tolower);
      std::transform(b.begin(), b.end(), b.begin(), ::tolower);
    }
    return v;
  };
  EXPECT_EQ(lower(pending), lower(kept));

  std::vector<std::string> installed;
  for (const auto& e : fs::directory_iterator(m_->HostPath(install))) {
    if (e.is_regular_file()) installed.push_back(e.path().filename().string());
  }
  ASSERT_GT(installed.size(), 5u);
  m_->Leave();
  int status = -1;
  qztest::RunWinsim({"reboot", m_->root()}, &status);
  ASSERT_EQ(status, 0);
  m_->Enter(u"C:\\test\\qzSetup.exe", 32);
  for (const auto& name : installed) {
    EXPECT_TRUE(qztest::Exists(install + u"\\" + Utf8ToWide(name))) << name;
  }
  EXPECT_EQ(qztest::ReadHostFile(m_->HostPath(install + u"\\lmvAgent.exe")), "new lmvAgent.exe");
  EXPECT_TRUE(qztest::Exists(u"C:\\Windows\\SysWOW64\\msvcr110.dll"));
  // The other program's operations were carried out.
  EXPECT_FALSE(qztest::Exists(u"C:\\other\\lmvAgent.exe"));
  EXPECT_TRUE(qztest::Exists(u"C:\\other\\b.tmp"));
  EXPECT_FALSE(qztest::Exists(kSetupFolder));
}

}  // namespace
