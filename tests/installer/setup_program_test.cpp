// The qzSetup program on simulated machines: built by qzpack setup with a build mode and a payload,
// run as a user would run it, judged by its message box, result value, exit code and what it
// leaves on the machine.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <sstream>

#include "config/registry_layout.h"
#include "installer/entry.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "integration/agent_machine.h"
#include "support/host_files.h"
#include "support/peers.h"
#include "support/test_machine.h"
#include "installer/site_installer.h"

namespace {

namespace fs = std::filesystem;
using namespace win;
using qztest::BuiltProgram;
using qztest::TestMachine;

constexpr char16_t kSetup[] = u"C:\\bc8f992f5df34654945e6e32a5aa400c";
constexpr char16_t kInstaller[] = u"C:\\test\\qzSetup.exe";
constexpr char16_t kInstall64[] = u"C:\\Program Files (x86)\\varnholt\\KSM";

using qztest::RunHost;
using qztest::BackupGuidPresent;
using qztest::Boxes;
using qztest::End;
using qztest::Exists;
using qztest::Launch;
using qztest::KeyExists;
using qztest::Outcome;
using qztest::Place;
using qztest::ServiceExists;

// One installer per build mode and updater, built once per test program into a host folder. An
// empty updater packs a text file in its place: an updater that cannot start. The uninstall build
// with the real updater is the delivered one that the build makes. A complete install payload also
// carries a settings document (shown window, showui "true") and a service program's file.
const std::string& Installer(const std::string& mode, const std::string& updater = "", bool complete = false) {
  static std::map<std::string, std::string> built{
      {"-uninstall|qzUpdater|0", BuiltProgram("qzSetup-uninstall.exe")}};
  const std::string key = mode + "|" + updater + "|" + (complete ? "1" : "0");
  auto it = built.find(key);
  if (it != built.end()) return it->second;
  static qztest::HostDir dir;
  const std::string payload = dir.path() + "/payload" + std::to_string(built.size());
  fs::create_directories(payload);
  std::ofstream(payload + "/msvcp110.dll") << "runtime";
  std::ofstream(payload + "/msvcr110.dll") << "runtime";
  const std::string out = dir.path() + "/qzSetup" + std::to_string(built.size()) + ".exe";
  std::vector<std::string> args{BuiltProgram("qzpack"), "setup", "--program", BuiltProgram("qzSetup"), "--tool",
                                BuiltProgram("7zr.exe"), "--mode", mode, "--level", "1", "--out", out, "--dir", payload};
  if (updater.empty()) std::ofstream(payload + "/qzUpdater.exe") << "not a program";
  if (complete) {
    std::ofstream(payload + "/qzTarlinSvc.exe") << "not a program";
    std::ofstream(payload + "/server.cfg") << "<setup><serial>VH-1</serial><server>127.0.0.1</server>"
                                              "<productkind>V3-2</productkind><msg>m</msg><showui>true</showui></setup>";
  }
  if (!updater.empty()) args.push_back(BuiltProgram(updater) + "=qzUpdater.exe");
  // Incomplete install builds are what the installer's own checks are tested with.
  if (!complete) args.push_back("--unchecked");
  EXPECT_EQ(RunHost(args), 0) << "qzpack setup " << mode;
  return built[key] = out;
}






// The install window (dialog 129) as "winsim ui layout" shows it: shown or not.
bool InstallWindowShown(const TestMachine& m) {
  int status = -1;
  std::istringstream lines(qztest::RunWinsim({"ui", m.root(), "layout"}, &status));
  std::string line;
  while (status == 0 && std::getline(lines, line)) {
    std::istringstream fields(line);
    int id = 0, x = 0, y = 0, w = 0, h = 0, visible = 0;
    std::string cls;
    if (fields >> id >> cls >> x >> y >> w >> h >> visible && id == 129) return visible != 0;
  }
  return false;
}

void EndAll(std::u16string_view image) {
  std::vector<PROCESSENTRY32W> e;
  Processes().SnapshotProcesses(TH32CS_SNAPALL, &e);
  for (size_t i = 1; i < e.size(); ++i) {
    if (e[i].szExeFile == image) qztest::End(e[i].th32ProcessID);
  }
}

bool Alive(DWORD pid) {
  std::vector<PROCESSENTRY32W> e;
  Processes().SnapshotProcesses(TH32CS_SNAPALL, &e);
  for (size_t i = 1; i < e.size(); ++i) {
    if (e[i].th32ProcessID == pid) return true;
  }
  return false;
}

class SetupProgram : public testing::Test {
 protected:
  static void SetUpTestSuite() { setenv("WINSIM_TIME_SCALE", "0.01", 1); }
  static void TearDownTestSuite() { unsetenv("WINSIM_TIME_SCALE"); }
};

TEST_F(SetupProgram, SecondCopyEndsWithTheDuplicateMessageAndLeavesTheFirstAlone) {
  struct Row {
    const char* lang;
    std::string text, caption;
  };
  const Row rows[] = {{"en", "Currently installing or removing", "Duplicate execution"},
                      {"ko", "현재 설치 또는 삭제중 입니다.", "중복 실행"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.lang);
    TestMachine m("win10-x64", r.lang);
    Place(m, Installer("-uninstall"));
    // The first copy, busy: a program file of the same name elsewhere.
    m.Install("wsprobe", u"C:\\first\\qzSetup.exe");
    m.Enter(u"C:\\Windows\\explorer.exe", 64);
    const DWORD first = Launch(u"C:\\first\\qzSetup.exe sleep 600000");
    ASSERT_TRUE(first);

    EXPECT_EQ(m.Run(kInstaller, u"C:\\test"), 1);
    auto boxes = Boxes(m);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, r.text);
    EXPECT_EQ(boxes[0].caption, r.caption);
    EXPECT_EQ(boxes[0].flags, MB_ICONWARNING);
    EXPECT_EQ(WideToUtf8(Outcome()), r.text);
    EXPECT_FALSE(Exists(kSetup)) << "nothing was prepared";
    EXPECT_TRUE(Alive(first));
    End(first);
  }
}

TEST_F(SetupProgram, CopiesUnderAnotherNameOrLetterCaseAreNotCounted) {
  for (const char16_t* other : {u"C:\\first\\QZSetup.exe", u"C:\\first\\qzSetup2.exe"}) {
    SCOPED_TRACE(WideToUtf8(other));
    TestMachine m("win10-x64");
    Place(m, Installer("-uninstall"));
    m.Install("wsprobe", other);
    m.Enter(u"C:\\Windows\\explorer.exe", 64);
    const DWORD busy = Launch(std::u16string(other) + u" sleep 600000");
    ASSERT_TRUE(busy);
    EXPECT_EQ(m.Run(kInstaller, u"C:\\test"), 1);
    // Not refused: the uninstall flow ran to its own end.
    auto boxes = Boxes(m);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "VH-KSM Agent Uninstall");
    EXPECT_NE(boxes[0].text, "Currently installing or removing");
    End(busy);
  }
}

TEST_F(SetupProgram, VersionGateOverTheProfiles) {
  struct Row {
    const char* profile;
    bool accepted;
    const char* lang = "en";
  };
  const Row rows[] = {{"win2000", false},    {"winxp-sp2", false}, {"winxp-x64", false}, {"winxp-sp3", true},
                      {"win2003-sp2", true}, {"vista", true},      {"win7-x64", true},   {"win10-x64", true},
                      {"winxp-sp2", false, "ko"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.profile) + " " + r.lang);
    const std::string refusal = std::string(r.lang) == "ko" ? "Windows XP SP3 이전 버전 사용자는 설치가 불가능합니다."
                                                            : "Can be installed only on windows xp sp3 or later";
    TestMachine m(r.profile, r.lang);
    Place(m, Installer("", "", true));
    m.Enter(u"C:\\Windows\\explorer.exe", 32);
    if (r.accepted) {
      // Past the gate the install window comes up and waits for Install; nothing is installed.
      auto run = std::async(std::launch::async, [&] { return m.Run(kInstaller, u"C:\\test"); });
      bool shown = false;
      for (int i = 0; i < 6000 && !shown; ++i) {
        if (run.wait_for(std::chrono::milliseconds(10)) == std::future_status::ready) break;
        shown = InstallWindowShown(m);
      }
      EXPECT_TRUE(shown);
      EXPECT_TRUE(Boxes(m).empty());
      EXPECT_EQ(Outcome(), u"<none>");
      EndAll(u"qzSetup.exe");
      run.wait();
      continue;
    }
    const auto code = m.Run(kInstaller, u"C:\\test");
    auto boxes = Boxes(m);
    EXPECT_EQ(code, 1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, refusal);
    // The caption is the installer's own, English on every machine.
    EXPECT_EQ(boxes[0].caption, "VH-KSM Agent Installation");
    EXPECT_EQ(boxes[0].flags, MB_ICONERROR);
    EXPECT_EQ(WideToUtf8(Outcome()), refusal);
    EXPECT_TRUE(Exists(std::u16string(kSetup) + u"\\qzUpdater.exe")) << "the setup folder stays";
  }
}

// An install build whose payload lacks a file the install needs stops in the preparation, before
// the version gate and before anything of a previous agent is touched.
TEST_F(SetupProgram, InstallBuildWithoutItsRequiredFilesStopsInThePreparation) {
  struct Row {
    const char* lang;
    std::string text, caption;
  };
  const Row rows[] = {{"en", "Installation can not proceed.(39)", "Default setting error2"},
                      {"ko", "설치를 진행할 수 없습니다.(39)", "기본 설정 에러2"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.lang);
    TestMachine m("win10-x64", r.lang);
    Place(m, Installer(""));
    m.Enter(u"C:\\Windows\\explorer.exe", 32);
    EXPECT_EQ(m.Run(kInstaller, u"C:\\test"), 1);
    auto boxes = Boxes(m);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, r.text);
    EXPECT_EQ(boxes[0].caption, r.caption);
    EXPECT_EQ(boxes[0].flags, MB_ICONWARNING);
    EXPECT_EQ(WideToUtf8(Outcome()), r.text);
    EXPECT_FALSE(Exists(kSetup));
  }
}

// What stands at the setup folder's place before the delivered uninstaller runs is never used: a
// certmgr.exe found there is not run, a certificate there is not imported, a junction's target
// keeps its files and gets none; the uninstall ends as always.
TEST_F(SetupProgram, UninstallBuildUsesNothingPlantedAtTheSetupFolder) {
  using qztest::PlantedSetup;
  qztest::HostDir dir;
  const std::string ca = dir.path() + "/qorv-ca.pem", precious = dir.path() + "/precious.txt";
  ASSERT_EQ(RunHost({BuiltProgram("qzpack"), "ca", "--cert", ca, "--key", dir.path() + "/ca.key"}), 0);
  qztest::WriteHostFile(precious, "precious");
  const std::string noting = BuiltProgram("qzTarlinSvc"), certmgr = BuiltProgram("certmgr.exe");
  struct Row {
    const char* what;
    PlantedSetup how;
    std::map<std::string, std::string> files;
  };
  const Row rows[] = {
      {"a crashed run's folder with a program named certmgr.exe", PlantedSetup::Folder, {{"certmgr.exe", noting}}},
      {"a folder open to everyone with certmgr.exe and a CA",
       PlantedSetup::ForeignRights,
       {{"certmgr.exe", certmgr}, {"qorv-ca.pem", ca}}},
      {"a junction to a folder with certmgr.exe, a CA and a file",
       PlantedSetup::Junction,
       {{"certmgr.exe", certmgr}, {"qorv-ca.pem", ca}, {"precious.txt", precious}}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    TestMachine m("win10-x64");
    Place(m, Installer("-uninstall", "qzUpdater"));
    m.Enter(u"C:\\Windows\\explorer.exe", 64);
    qztest::PlantSetupFolder(m, r.how, r.files);
    ASSERT_FALSE(HasFatalFailure());

    EXPECT_EQ(m.Run(kInstaller, u"C:\\test"), 1);
    // As on any machine without an agent: its own updater finds none, nothing is left to remove.
    EXPECT_EQ(Outcome(), u"119");
    EXPECT_FALSE(qztest::PlantedCertmgrRan(m));
    EXPECT_EQ(qztest::RootCertificates(), 0u);
    EXPECT_FALSE(Exists(kSetup));
    if (r.how == PlantedSetup::Junction) {
      const std::u16string target = qztest::kPlantedElsewhere;
      for (const auto& [name, source] : r.files) {
        EXPECT_EQ(qztest::ReadHostFile(m.HostPath(target + u"\\" + Utf8ToWide(name))), qztest::ReadHostFile(source))
            << name;
      }
      EXPECT_FALSE(Exists(target + u"\\qzUpdater.exe"));
    }
  }
}

// The uninstall build with an updater that cannot start: it never says it deleted an agent that
// its updater did not remove, and never goes the install window's way.
TEST_F(SetupProgram, UninstallBuildWhoseUpdaterCannotStartSaysItCouldNotDelete) {
  struct Row {
    const char* profile;
    const char* lang;
    std::string updater;
    std::string text;
  };
  const Row rows[] = {
      // Not a program: CreateProcessW on XP, the shell from Vista on, both refuse it.
      {"winxp-sp2", "en", "", "VH-KSM Agent could not be deleted.(193)"},
      {"win7", "ko", "", "VH-KSM 에이전트를 삭제하지 못했습니다.(193)"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.profile) + " updater=" + r.updater);
    TestMachine m(r.profile, r.lang);
    Place(m, Installer("-uninstall", r.updater));
    m.Enter(u"C:\\Windows\\explorer.exe", 32);
    EXPECT_EQ(m.Run(kInstaller, u"C:\\test"), 1);
    auto boxes = Boxes(m);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, r.text);
    EXPECT_EQ(boxes[0].caption, "VH-KSM Agent Uninstall");
    EXPECT_EQ(boxes[0].flags, MB_ICONERROR);
    EXPECT_EQ(WideToUtf8(Outcome()), r.text);
    EXPECT_FALSE(Exists(kSetup));
  }
}

int Count(std::u16string_view image) {
  std::vector<PROCESSENTRY32W> e;
  Processes().SnapshotProcesses(TH32CS_SNAPALL, &e);
  int n = 0;
  for (size_t i = 1; i < e.size(); ++i) n += e[i].szExeFile == image;
  return n;
}




// The agent as qzUpdater --install leaves it, its stand-ins running, then the delivered installer;
// once as it is, once with its install folder value broken and once without its Common key, both
// of which stop the updater at its start.
TEST_F(SetupProgram, UninstallBuildRemovesAnInstalledAgent) {
  enum class Damage { None, InstallFolderValue, CommonKeyGone };
  struct Row {
    const char* name;
    Damage damage;
    const char* failure;  // the box's text when the agent stays
  };
  for (const Row& r : {Row{"intact", Damage::None, nullptr},
                       Row{"value02 broken", Damage::InstallFolderValue, "VH-KSM Agent could not be deleted.(-13002)"},
                       // The updater finds no settings, yet the agent's service is still there.
                       Row{"Common key gone", Damage::CommonKeyGone, "VH-KSM Agent could not be deleted.(-13001)"}}) {
    SCOPED_TRACE(r.name);
    qztest::HostDir dir;
    qztest::MakeCertificate(dir);
    qztest::QzServer server(dir);
    ASSERT_GT(server.httpsPort, 0);
    TestMachine m("win10-x64");
    Place(m, Installer("-uninstall", "qzUpdater"));
    qztest::RunInstallMode(m, server);
    ASSERT_FALSE(HasFatalFailure());
    const std::u16string updater = u"\"" + std::u16string(kSetup) + u"\\qzUpdater.exe\" ";
    for (const char* f : {"qzTarlinSvc", "lmvAgent", "lmvAssistant", "lmvKeeper", "qzNoticeView"}) {
      m.Install(f, std::u16string(kInstall64) + u"\\" + Utf8ToWide(f) + u".exe");
    }
    m.Install("qzComDrv.dll", std::u16string(kInstall64) + u"\\qzComDrv.dll");
    ASSERT_TRUE(m.Run(updater + u"--chksvc").has_value());
    for (const char16_t* f : {u"lmvAgent.exe", u"lmvAssistant.exe", u"lmvKeeper.exe", u"qzNoticeView.exe"}) {
      ASSERT_TRUE(Launch(std::u16string(kInstall64) + u"\\" + f, kInstall64));
    }
    fs::remove_all(m.HostPath(kSetup));
    ASSERT_EQ(Count(u"qzTarlinSvc.exe"), 1);
    ASSERT_TRUE(ServiceExists(u"qzNetFilterX64"));
    ASSERT_TRUE(KeyExists(u"SOFTWARE\\Varnholt\\KSM\\Common", KEY_WOW64_32KEY));
    if (r.damage == Damage::CommonKeyGone) {
      ASSERT_EQ(Registry().RegDeleteKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Varnholt\\KSM\\Common", KEY_WOW64_32KEY),
                ERROR_SUCCESS);
    }
    if (r.damage == Damage::InstallFolderValue) {
      HKEY common = nullptr;
      ASSERT_EQ(Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Varnholt\\KSM\\Common", 0,
                                         KEY_ALL_ACCESS | KEY_WOW64_32KEY, &common),
                ERROR_SUCCESS);
      const BYTE junk[] = {1, 2, 3, 4, 5, 6, 7, 8};
      ASSERT_EQ(Registry().RegSetValueExW(common, u"value02", REG_BINARY, junk, sizeof junk), ERROR_SUCCESS);
      Registry().RegCloseKey(common);
    }

    EXPECT_EQ(m.Run(kInstaller, u"C:\\test"), 1);

    // The installer's own part runs either way.
    for (const char16_t* p : {u"qzTarlinSvc.exe", u"lmvAgent.exe", u"lmvAssistant.exe", u"lmvKeeper.exe",
                              u"qzNoticeView.exe", u"qzUpdater.exe"}) {
      EXPECT_EQ(Count(p), 0) << WideToUtf8(p);
    }
    for (const char16_t* s : {u"qzNetFilterX64", u"qzTcpTaggerX64", u"qzProcCutx64", u"qzPrtProcX64"}) {
      EXPECT_FALSE(ServiceExists(s)) << WideToUtf8(s);
    }
    auto boxes = Boxes(m);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "VH-KSM Agent Uninstall");
    if (r.failure) {
      // The updater stopped before removing anything: the agent's files stay, and the
      // administrator is told with the updater's exit code.
      EXPECT_EQ(KeyExists(u"SOFTWARE\\Varnholt\\KSM\\Common", KEY_WOW64_32KEY), r.damage != Damage::CommonKeyGone);
      EXPECT_TRUE(Exists(std::u16string(kInstall64) + u"\\lmvAgent.exe"));
      EXPECT_EQ(boxes[0].text, r.failure);
      EXPECT_EQ(boxes[0].flags, MB_ICONERROR);
      EXPECT_EQ(WideToUtf8(Outcome()), boxes[0].text);
    } else {
      // The updater's own removal ran: the agent's registry and program files are gone.
      EXPECT_FALSE(KeyExists(u"SOFTWARE\\Varnholt\\KSM\\Common", KEY_WOW64_32KEY));
      EXPECT_FALSE(Exists(std::u16string(kInstall64) + u"\\lmvAgent.exe"));
      EXPECT_EQ(boxes[0].text, "VH-KSM Agent has been deleted.");
      EXPECT_EQ(boxes[0].flags, MB_OK);
      EXPECT_EQ(Outcome(), u"119");
    }
    EXPECT_FALSE(Exists(kSetup));
    // What stays for a later install: the agent's backup identifier.
    EXPECT_TRUE(BackupGuidPresent());
  }
}

}  // namespace
