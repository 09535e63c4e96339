// qzUpdater --uninstall and --makeExpunge_byagent end to end: the agent's stand-ins installed and
// running on a simulated machine, then removed; what is left waits for the restart, and the
// backup identifier survives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "logging/enc_logger.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "integration/agent_machine.h"
#include "support/host_files.h"
#include "support/peers.h"
#include "support/test_machine.h"
#include "updater/entry.h"
#include "updater/updater_fixture.h"

using namespace qz;

namespace {

using namespace win;
using qztest::TestMachine;
namespace fs = std::filesystem;

constexpr char16_t kSetup[] = u"C:\\bc8f992f5df34654945e6e32a5aa400c";
constexpr char16_t kInstall[] = u"C:\\Program Files (x86)\\varnholt\\KSM";
constexpr char16_t kUninstallFolder[] = u"C:\\5985b9ffb5ac4b2b9ff13f56a66435db";
constexpr char16_t kSafeBootEntry[] = u"SYSTEM\\CurrentControlSet\\Control\\SafeBoot\\Network\\VH-KSM Agent Service";

std::u16string Updater(std::u16string_view args) {
  return u"\"" + std::u16string(kSetup) + u"\\qzUpdater.exe\" " + std::u16string(args);
}

constexpr auto Count = &qztest::CountProcesses;

// Keys as the 32-bit updater sees them.
bool KeyExists(HKEY root, std::u16string_view path) {
  HKEY k = nullptr;
  if (Registry().RegOpenKeyExW(root, path, 0, KEY_READ | KEY_WOW64_32KEY, &k)) return false;
  Registry().RegCloseKey(k);
  return true;
}

void MakeKey(HKEY root, std::u16string_view path) {
  HKEY k = nullptr;
  ASSERT_EQ(Registry().RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &k,
                                       nullptr),
            ERROR_SUCCESS);
  Registry().RegCloseKey(k);
}

bool BackupGuidPresent() {
  HKEY k = nullptr;
  if (Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\Software\\Varnholt\\KSM", 0, KEY_READ, &k)) return false;
  DWORD size = 0;
  const bool found = Registry().RegQueryValueExW(k, u"UUID", nullptr, nullptr, &size) == ERROR_SUCCESS && size > 0;
  Registry().RegCloseKey(k);
  return found;
}

bool Has(const std::vector<std::string>& notes, const std::string& note) {
  return std::find(notes.begin(), notes.end(), note) != notes.end();
}

std::vector<std::string> Notes(const TestMachine& m) {
  std::vector<std::string> out;
  for (const auto& e : m.Journal()) out.push_back(e.kind == "OutputDebugString" ? e.text : e.kind);
  return out;
}

class UpdaterUninstall : public testing::Test {
 protected:
  static void SetUpTestSuite() { setenv("WINSIM_TIME_SCALE", "0.01", 1); }
  static void TearDownTestSuite() { unsetenv("WINSIM_TIME_SCALE"); }
};

// Install mode builds the registry and places the drivers; the stand-ins then play the agent, its
// service started by the service check, with the traces the agent leaves elsewhere.
void InstallAgent(TestMachine& m, const qztest::QzServer& server) {
  qztest::RunInstallMode(m, server);
  if (testing::Test::HasFatalFailure()) return;
  for (const char* f : {"qzTarlinSvc", "lmvAgent", "lmvAssistant"}) {
    m.Install(f, std::u16string(kInstall) + u"\\" + Utf8ToWide(f) + u".exe");
  }
  m.Install("qzComDrv.dll", std::u16string(kInstall) + u"\\qzComDrv.dll");
  ASSERT_EQ(m.Run(Updater(u"--chksvc")), kExitDone);
  ASSERT_EQ(Count(u"qzTarlinSvc.exe"), 1);
  for (const char16_t* program : {u"lmvAgent.exe", u"lmvAssistant.exe"}) {
    ASSERT_NE(qztest::Launch(std::u16string(kInstall) + u"\\" + program, kInstall), 0u);
  }

  MakeKey(HKEY_LOCAL_MACHINE, kSafeBootEntry);
  MakeKey(HKEY_CLASSES_ROOT, u"vhksm.appwiz\\shell");
  MakeKey(HKEY_CLASSES_ROOT, u"vhksm.appwiz.edge");
  MakeKey(HKEY_USERS, u".DEFAULT\\SOFTWARE\\Varnholt\\KSM\\Common");
  const std::u16string appData = Files().ExpandEnvironmentStringsW(u"%AppData%\\varnholt\\KSM");
  fs::create_directories(m.HostPath(appData + u"\\cache"));
  std::ofstream(m.HostPath(appData + u"\\cache\\menu.lnk")) << "link";
  fs::create_directories(m.HostPath(kUninstallFolder));
  std::ofstream(m.HostPath(std::u16string(kUninstallFolder) + u"\\qzUpdater.exe")) << "copy";
}

TEST_F(UpdaterUninstall, RemovesTheAgentAndLeavesTheRestForTheRestart) {
  qztest::HostDir dir;
  qztest::MakeCertificate(dir);
  qztest::QzServer server(dir);
  ASSERT_GT(server.httpsPort, 0);

  struct Row {
    std::u16string command;
    char letter;
    bool refreshesDesktop;
  };
  const Row rows[] = {{u"--uninstall", 'U', true}, {u"--makeExpunge_byagent", 'A', false}};
  for (const auto& r : rows) {
    SCOPED_TRACE(WideToUtf8(r.command));
    TestMachine m("win10-x64");
    InstallAgent(m, server);
    if (HasFatalFailure()) return;
    ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Varnholt\\KSM\\Common"));
    ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\qzNetFilterX64"));
    // A file another program holds stays until the restart.
    qztest::RunWinsim({"lock", m.root(), WideToUtf8(std::u16string(kInstall) + u"\\qzProcCutx64.sys")});
    const std::u16string appData = Files().ExpandEnvironmentStringsW(u"%AppData%\\varnholt\\KSM");

    EXPECT_EQ(m.Run(Updater(r.command), kSetup), kExitDone);

    for (auto image : {u"qzTarlinSvc.exe", u"lmvAgent.exe", u"lmvAssistant.exe"}) EXPECT_EQ(Count(image), 0);
    for (auto service : {u"VH-KSM Agent Service", u"qzNetFilterX64", u"qzTcpTaggerX64"}) {
      EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\" + std::u16string(service)))
          << WideToUtf8(service);
    }
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Varnholt\\KSM"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kSafeBootEntry));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, u"vhksm.appwiz"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, u"vhksm.appwiz.edge"));
    EXPECT_FALSE(KeyExists(HKEY_USERS, u".DEFAULT\\SOFTWARE\\Varnholt\\KSM"));
    EXPECT_TRUE(BackupGuidPresent());
    EXPECT_FALSE(fs::exists(m.HostPath(appData)));
    EXPECT_FALSE(fs::exists(m.HostPath(kUninstallFolder)));

    const std::vector<std::string> notes = Notes(m);
    EXPECT_TRUE(Has(notes, "lmvAssistant: procedure 30"));  // menu entries and shortcuts
    EXPECT_TRUE(Has(notes, "qzTarlinSvc: -uninstall"));
    for (const char* call : {"SetUSBStorUseState", "SetWIFIUseState", "SetBluetoothUseState"}) {
      EXPECT_TRUE(Has(notes, std::string("qzComDrv: ") + call + "(0) = 1")) << call;
    }
    EXPECT_EQ(Has(notes, "SendMessageTimeout"), r.refreshesDesktop);

    const std::string log = uptest::ReadLogs(m.HostPath(std::u16string(kInstall) + u"\\logs"));
    EXPECT_NE(log.find(FmtA("== 에이전트 삭제 시도 (%c) ===", r.letter)), std::string::npos) << log;
    EXPECT_NE(log.find("작업 스케줄 삭제 성공"), std::string::npos);
    EXPECT_NE(log.find("매체 제어 복원"), std::string::npos);
    EXPECT_NE(log.find("에이전트 삭제 완료"), std::string::npos);
    EXPECT_EQ(log.find("삭제 실패"), std::string::npos) << log;

    // The held file, the loaded library and the log wait for the restart, and so does the folder.
    EXPECT_TRUE(fs::exists(m.HostPath(std::u16string(kInstall) + u"\\qzProcCutx64.sys")));
    EXPECT_FALSE(fs::exists(m.HostPath(std::u16string(kInstall) + u"\\qzTarlinSvc.exe")));
    m.Leave();
    qztest::RunWinsim({"unlock", m.root(), WideToUtf8(std::u16string(kInstall) + u"\\qzProcCutx64.sys")});
    int status = -1;
    qztest::RunWinsim({"reboot", m.root()}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(fs::exists(m.HostPath(kInstall)));
    EXPECT_TRUE(fs::exists(m.HostPath(u"C:\\Program Files (x86)\\varnholt")));
    m.Enter(u"C:\\Windows\\explorer.exe", 64);
    EXPECT_TRUE(BackupGuidPresent());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\VH-KSM Agent Service"));
  }
}

// Two copies of an idle program named lmvAgent.exe (no endpoint: the quit call gets 1722, which
// counts as a success) and a service program that never returns from its verbs: neither the stop
// mode nor the uninstall leaves one of them running, and the run ends within the five-minute bound
// of each service command (time-scaled here), saying so.
TEST_F(UpdaterUninstall, IdleAgentCopiesAndAHungServiceProgramSurviveNeitherStopNorUninstall) {
  qztest::HostDir dir;
  qztest::MakeCertificate(dir);
  qztest::QzServer server(dir);
  ASSERT_GT(server.httpsPort, 0);
  for (const char16_t* mode : {u"--stopMe", u"--uninstall"}) {
    SCOPED_TRACE(WideToUtf8(mode));
    TestMachine m("win10-x64");
    qztest::RunInstallMode(m, server);
    if (HasFatalFailure()) return;
    const std::u16string install(kInstall);
    m.Install("qzTarlinSvc", install + u"\\qzTarlinSvc.exe");
    ASSERT_EQ(m.Run(Updater(u"--chksvc")), kExitDone);
    ASSERT_EQ(Count(u"qzTarlinSvc.exe"), 1);
    // The running service's program file is replaced by one that ignores every verb.
    fs::rename(m.HostPath(install + u"\\qzTarlinSvc.exe"), m.HostPath(install + u"\\qzTarlinSvc.old"));
    m.Install("lmvKeeper", install + u"\\qzTarlinSvc.exe");
    m.Install("lmvKeeper", install + u"\\lmvAgent.exe");
    for (int i = 0; i < 2; ++i) ASSERT_NE(qztest::Launch(install + u"\\lmvAgent.exe", install), 0u);
    ASSERT_EQ(Count(u"lmvAgent.exe"), 2);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(m.Run(Updater(mode), kSetup), kExitDone);
    // Each hung command costs its bound (3 s at this time scale), never for ever.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(120));

    // Ended processes leave the snapshot once their end is seen.
    for (int i = 0; i < 500 && Count(u"lmvAgent.exe") + Count(u"qzTarlinSvc.exe") > 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(Count(u"lmvAgent.exe"), 0);
    EXPECT_EQ(Count(u"qzTarlinSvc.exe"), 0);
    const std::string log = uptest::ReadLogs(m.HostPath(install + u"\\logs"));
    EXPECT_NE(log.find("에이전트 종료 함수 호출 성공"), std::string::npos) << log;
    EXPECT_NE(log.find("에이전트를 강제적으로 종료함"), std::string::npos) << log;
    EXPECT_NE(log.find("서비스 프로그램이 5분 안에 끝나지 않아 강제 종료함: \"" + WideToUtf8(install) +
                       "\\qzTarlinSvc.exe\" -stop"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("메인 에이전트 종료 실패"), std::string::npos) << log;
  }
}

TEST_F(UpdaterUninstall, ABrokenRegistryEndsTheRunBeforeAnythingIsRemoved) {
  TestMachine m("win10-x64");
  m.Install("qzUpdater", std::u16string(kSetup) + u"\\qzUpdater.exe");
  m.Install("lmvAgent", std::u16string(kInstall) + u"\\lmvAgent.exe");
  m.Enter(u"C:\\Windows\\explorer.exe", 64);
  MakeKey(HKEY_CLASSES_ROOT, u"vhksm.appwiz");

  EXPECT_EQ(m.Run(Updater(u"--uninstall"), kSetup), kExitInitializeBase - 3001);
  EXPECT_TRUE(fs::exists(m.HostPath(std::u16string(kInstall) + u"\\lmvAgent.exe")));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, u"vhksm.appwiz"));
  EXPECT_FALSE(fs::exists(m.HostPath(std::u16string(kInstall) + u"\\logs")));
}

}  // namespace
