// The install flow of a site installer run hidden ("-hide"): on fresh machines of several Windows
// versions and product kinds, over an older agent, with a broken settings document, and followed
// by the delivered uninstaller and a second install.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "config/config_context.h"
#include "config/registry_layout.h"
#include "crypto/digest.h"
#include "installer/install_state.h"
#include "installer/site_installer.h"
#include "integration/agent_machine.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

namespace fs = std::filesystem;
using namespace win;
using namespace qztest;

class SiteInstall : public SiteReleaseTest {
 protected:
  static void SetUpTestSuite() { StartRelease("0.01"); }
  static void TearDownTestSuite() { StopRelease(); }
};

std::u16string InstallFolder(bool x64) {
  return x64 ? u"C:\\Program Files (x86)\\varnholt\\KSM" : u"C:\\Program Files\\varnholt\\KSM";
}

std::u16string In(std::u16string_view folder, std::u16string_view name) {
  return std::u16string(folder) + u"\\" + std::u16string(name);
}


std::vector<std::string> LogArchives(const std::string& hostFolder) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(hostFolder, ec)) {
    if (e.path().extension() == ".zip") out.push_back(e.path().filename().string());
  }
  return out;
}

TEST(InstallWorkerDrivers, FilesByProductKindWindowsAndWidth) {
  struct Row {
    const char* kind;
    int os, width;
    const char16_t* filter;
    const char16_t* cut;
  };
  const Row rows[] = {
      {"V3-2", 61, 2, u"qzNetFilterX64.sys", u"qzProcCutx64.sys"},
      {"V3-2", 100, 1, u"qzNetFilter.sys", u"qzProcCutx86.sys"},
      {"V2", 60, 2, u"qzNetFilter_VistaX64.sys", nullptr},
      {"V2", 60, 1, u"qzNetFilter_Vista.sys", nullptr},
      {"V2", 51, 1, nullptr, nullptr},
      {"V3-1", 51, 1, nullptr, u"qzProcCutXp.sys"},
      {"V3-1", 52, 1, nullptr, nullptr},
      {"V3-1", 60, 2, nullptr, u"qzProcCutx64.sys"},
      {"v3-2", 61, 2, nullptr, nullptr},  // the kinds are compared exactly
      {"", 61, 2, nullptr, nullptr},
  };
  for (const auto& r : rows) {
    auto str = [](const char16_t* s) { return s ? WideToUtf8(s) : std::string("none"); };
    SCOPED_TRACE(std::string(r.kind) + " " + std::to_string(r.os) + " " + std::to_string(r.width));
    EXPECT_EQ(str(qz::NetworkFilterDriverFile(r.kind, r.os, r.width)), str(r.filter));
    EXPECT_EQ(str(qz::ProcessCutDriverFile(r.kind, r.os, r.width)), str(r.cut));
  }
}

// Fresh machines: the drivers of the product kind for that Windows, the agent's files, its
// registry and server.cfg, its service running; the hidden installer ends with exit code 1 and "0".
TEST_F(SiteInstall, FreshMachinesGetTheFilesOfTheirProductKindAndWindows) {
  struct Row {
    const char* profile;
    bool x64;
    const char* kind;
    std::vector<std::u16string> placed, absent;
  };
  const std::vector<std::u16string> allDrivers = {u"qzNetFilterX64.sys", u"qzNetFilter.sys",  u"qzProcCutx64.sys",
                                                  u"qzProcCutx86.sys",   u"qzProcCutXp.sys",  u"qzNetFilter_Vista.sys"};
  const Row rows[] = {
      {"win7-x64", true, "V3-2", {u"qzNetFilterX64.sys", u"qzProcCutx64.sys", u"qzComDrv.dll"}, {}},
      {"winxp-sp3", false, "V2", {}, {u"qzComDrv.dll"}},
      {"win2003-sp2", false, "V3-1", {u"qzComDrv.dll"}, {}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.profile);
    SettingsDocument d;
    d.productKind = r.kind;
    d.pkServer = "127.0.0.2";
    TestMachine m(r.profile);
    Place(m, release_->Installer("-hide", d));
    m.Enter(u"C:\\test\\probe.exe", 32);
    EXPECT_EQ(m.Run(kSiteInstaller, u"C:\\test"), 1);

    EXPECT_EQ(Outcome(), u"0");
    EXPECT_TRUE(Boxes(m).empty());
    EXPECT_FALSE(Exists(kSiteSetupFolder));
    const std::u16string install = InstallFolder(r.x64);
    for (const auto& f : r.placed) EXPECT_TRUE(Exists(In(install, f))) << WideToUtf8(f);
    for (const auto& f : allDrivers) {
      if (std::find(r.placed.begin(), r.placed.end(), f) == r.placed.end()) {
        EXPECT_FALSE(Exists(In(install, f))) << WideToUtf8(f);
      }
    }
    for (const auto& f : r.absent) EXPECT_FALSE(Exists(In(install, f))) << WideToUtf8(f);
    for (const char16_t* f : {u"lmvAgent.exe", u"qzTarlinSvc.exe", u"qzUpdater.exe", u"qzCrypto.dll", u"qorv-ca.pem",
                              u"qorv-fs.crt", u"local-fs.crt", u"msvcp110.dll"}) {
      EXPECT_TRUE(Exists(In(install, f))) << WideToUtf8(f);
    }
    EXPECT_TRUE(Exists(u"C:\\Windows\\system32\\msvcr110.dll"));
    // No old logs, no archive.
    EXPECT_TRUE(LogArchives(m.HostPath(In(install, u"logs"))).empty());
    EXPECT_TRUE(ServiceRuns());
    EXPECT_TRUE(KeyExists(u"SOFTWARE\\Varnholt\\KSM\\PcKeeper", KEY_WOW64_32KEY));
    EXPECT_TRUE(BackupGuidPresent());

    // The registry the updater reads at start, and the digest of the server.cfg written beside it.
    qz::ConfigContext site;
    ASSERT_EQ(qz::ReadSiteSettings(site), 0);
    EXPECT_EQ(site.settings.serial, "VH-2024-0001");
    EXPECT_EQ(site.settings.httpsPort, release_->server->httpsPort);
    EXPECT_EQ(site.settings.menu, 0xF0u);
    qz::Digest onDisk{};
    ASSERT_TRUE(qz::DigestFile(In(install, u"server.cfg"), &onDisk));
    EXPECT_EQ(site.settings.configDigest, onDisk);
    m.Leave();
  }
}

// Over an agent that qzUpdater --install set up: its logs archived into the new logs folder, the
// old agent removed through the updater, its identifier kept, and an exec-only extra program run.
TEST_F(SiteInstall, OlderAgentIsReplacedItsLogsKeptAndItsIdentifierKept) {
  TestMachine m("win10-x64");
  RunInstallMode(m, *release_->server);
  ASSERT_FALSE(HasFatalFailure());
  const std::u16string install = InstallFolder(true);
  ASSERT_TRUE(Exists(In(install, u"logs")));
  ASSERT_TRUE(Exists(In(install, u"qzTcpTagger10X64.sys")));
  const std::string guid = BackupGuid();
  ASSERT_FALSE(guid.empty());
  fs::remove_all(m.HostPath(kSiteSetupFolder));
  const std::vector<std::string> filterQuery = {"run", m.root(), "--", "sc.exe query qzNetFilterX64"};
  ASSERT_NE(RunWinsim(filterQuery).find("RUNNING"), std::string::npos) << "the old agent's network filter runs";

  SettingsDocument d;
  d.extra =
      "  <addbin>\n"
      "    <item exec=\"true\" copy=\"false\" wait=\"false\" option=\"fileops %SystemRoot%\">probe.exe</item>\n"
      "  </addbin>\n";
  Place(m, release_->Installer("-hide", d, {BuiltProgram("wsprobe") + "=probe.exe"}));
  EXPECT_EQ(m.Run(kSiteInstaller, u"C:\\test"), 1);

  EXPECT_EQ(Outcome(), u"0");
  EXPECT_TRUE(Boxes(m).empty());
  const auto archives = LogArchives(m.HostPath(In(install, u"logs")));
  ASSERT_EQ(archives.size(), 1u);
  EXPECT_TRUE(std::regex_match(archives[0], std::regex("20[0-9]{12}\\.zip"))) << archives[0];
  // The old agent went with the updater's uninstall: its tagger driver file is not placed again.
  EXPECT_FALSE(Exists(In(install, u"qzTcpTagger10X64.sys")));
  EXPECT_TRUE(Exists(In(install, u"qzNetFilterX64.sys")));
  // The network filter that the removal took down runs again, from the new file.
  const std::string query = RunWinsim(filterQuery);
  EXPECT_NE(query.find("RUNNING"), std::string::npos) << query;
  EXPECT_EQ(BackupGuid(), guid);
  EXPECT_TRUE(ServiceRuns());
  // The extra program ran from the setup folder before it was deleted.
  EXPECT_TRUE(Exists(u"C:\\Windows\\d.txt"));
  EXPECT_FALSE(Exists(kSiteSetupFolder));
}

TEST_F(SiteInstall, SettingsWithoutShowUiStopInThePreparation) {
  struct Row {
    const char* lang;
    std::string text, caption;
  };
  const Row rows[] = {{"en", "Installation can not proceed.(37)", "Default setting error2"},
                      {"ko", "설치를 진행할 수 없습니다.(37)", "기본 설정 에러2"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.lang);
    SettingsDocument d;
    d.showUi = "";
    TestMachine m("win10-x64", r.lang);
    Place(m, release_->Installer("-hide", d));
    m.Enter(u"C:\\test\\probe.exe", 32);
    EXPECT_EQ(m.Run(kSiteInstaller, u"C:\\test"), 1);
    const auto boxes = Boxes(m);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, r.text);
    EXPECT_EQ(boxes[0].caption, r.caption);
    EXPECT_EQ(boxes[0].flags, MB_ICONWARNING);
    EXPECT_EQ(WideToUtf8(Outcome()), r.text);
    EXPECT_FALSE(Exists(kSiteSetupFolder));
    EXPECT_FALSE(Exists(In(InstallFolder(true), u"lmvAgent.exe")));
    m.Leave();
  }
}

// The files under a folder with their contents, by path relative to it.
std::map<std::string, std::string> FilesUnder(const std::string& hostFolder) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(hostFolder, ec)) {
    if (e.is_regular_file()) out[fs::relative(e.path(), hostFolder).string()] = ReadHostFile(e.path().string());
  }
  return out;
}

// The agent's registry as text: its tree (without the installer's own result value) and the
// identifier's backup.
std::string AgentRegistry(const TestMachine& m) {
  std::string tree = RunWinsim({"reg", m.root(), "export", "HKLM\\SOFTWARE\\WOW6432Node\\Varnholt"});
  std::string kept;
  std::istringstream lines(tree);
  bool install = false;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] == '[') install = line.find("\\KSM\\Install]") != std::string::npos;
    if (!install) kept += line + "\n";
  }
  return kept + RunWinsim({"reg", m.root(), "export", "HKLM\\SYSTEM\\Software\\Varnholt"});
}

DWORD ProcessId(std::u16string_view image) {
  std::vector<PROCESSENTRY32W> e;
  Processes().SnapshotProcesses(TH32CS_SNAPALL, &e);
  for (size_t i = 1; i < e.size(); ++i) {
    if (e[i].szExeFile == image) return e[i].th32ProcessID;
  }
  return 0;
}

// A settings document that does not read, over a running agent: the install stops in the
// preparation and the agent keeps its files, registry, running service and identifier.
TEST_F(SiteInstall, BrokenSettingsLeaveTheInstalledAgentAsItWas) {
  TestMachine m("win10-x64");
  Place(m, release_->Installer("-hide", SettingsDocument{}));
  m.Enter(u"C:\\test\\probe.exe", 32);
  ASSERT_EQ(m.Run(kSiteInstaller, u"C:\\test"), 1);
  ASSERT_EQ(Outcome(), u"0");
  ASSERT_TRUE(ServiceRuns());
  const std::string install = m.HostPath(InstallFolder(true));
  const auto files = FilesUnder(install);
  ASSERT_TRUE(files.count("qzTarlinSvc.exe"));
  const std::string registry = AgentRegistry(m);
  ASSERT_NE(registry.find("value06"), std::string::npos) << registry;
  const std::string guid = BackupGuid();
  ASSERT_FALSE(guid.empty());
  const DWORD service = ProcessId(u"qzTarlinSvc.exe");
  ASSERT_NE(service, 0u);

  struct Row {
    const char* what;
    SettingsDocument doc;
    std::string text;
  };
  SettingsDocument noShowUi, notXml, longSerial;
  noShowUi.showUi = "";
  notXml.whole = "serial=VH-2024-0001\nserver=127.0.0.1\n";
  longSerial.serial = std::string(100, '7');
  const Row rows[] = {{"no showui", noShowUi, "Installation can not proceed.(37)"},
                      {"not XML", notXml, "Installation can not proceed.(31)"},
                      {"a serial of 100 characters", longSerial, "Installation can not proceed.(33)"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    Place(m, release_->Installer("-hide", r.doc));
    m.Enter(u"C:\\test\\probe.exe", 32);
    const size_t before = Boxes(m).size();
    EXPECT_EQ(m.Run(kSiteInstaller, u"C:\\test"), 1);
    const auto boxes = Boxes(m);
    ASSERT_EQ(boxes.size(), before + 1);
    EXPECT_EQ(boxes.back().text, r.text);
    EXPECT_EQ(boxes.back().caption, "Default setting error2");
    EXPECT_EQ(boxes.back().flags, MB_ICONWARNING);
    EXPECT_EQ(WideToUtf8(Outcome()), r.text);
    EXPECT_FALSE(Exists(kSiteSetupFolder));

    EXPECT_EQ(FilesUnder(install), files);
    EXPECT_EQ(AgentRegistry(m), registry);
    EXPECT_EQ(BackupGuid(), guid);
    EXPECT_EQ(ProcessId(u"qzTarlinSvc.exe"), service) << "the agent's service was not stopped";
    EXPECT_TRUE(ServiceRuns());
  }
}

// A hidden site installer whose payload carries no certmgr.exe (and the agent no mfc110u.dll),
// run where a junction leads the setup folder's path to a folder holding a certmgr.exe, a CA and
// agent files: the agent is installed from the payload alone, nothing planted is run, imported or
// copied, and the junction's target keeps its files. On a refused Windows the setup folder stays,
// which shows it made afresh over one that was open to everyone.
TEST_F(SiteInstall, NothingPlantedAtTheSetupFolderIsRunImportedOrCopied) {
  using qztest::PlantedSetup;
  const std::string settings = (release_->dir / "settings-plain.cfg");
  WriteHostFile(settings, release_->Settings(SettingsDocument{}));
  const std::string installer = release_->dir / "qzSetup-without-certmgr.exe";
  ASSERT_EQ(RunHost({BuiltProgram("qzpack"), "setup", "--program", BuiltProgram("qzSetup"), "--tool",
                     BuiltProgram("7zr.exe"), "--mode", "-hide", "--level", "1", "--out", installer, "--release",
                     release_->dir / "release", "--dir", BuiltProgram("drivers"), settings + "=server.cfg"}),
            0);
  const std::string ca = release_->dir / "planted-ca.pem";
  ASSERT_EQ(RunHost({BuiltProgram("qzpack"), "ca", "--cert", ca, "--key", release_->dir / "planted-ca.key"}), 0);
  const std::string planted = release_->dir / "planted.dll";
  WriteHostFile(planted, "planted");
  const std::map<std::string, std::string> plants = {{"certmgr.exe", BuiltProgram("qzTarlinSvc")},
                                                     {"qorv-ca.pem", ca},
                                                     {"mfc110u.dll", planted},
                                                     {"vhSecureClient.dll", planted},
                                                     {"qzKorea.dll", planted}};
  {
    SCOPED_TRACE("junction, installed");
    TestMachine m("win10-x64");
    Place(m, installer);
    m.Enter(u"C:\\test\\probe.exe", 32);
    qztest::PlantSetupFolder(m, PlantedSetup::Junction, plants);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(m.Run(kSiteInstaller, u"C:\\test"), 1);
    EXPECT_EQ(Outcome(), u"0");
    EXPECT_TRUE(ServiceRuns());
    const std::u16string install = InstallFolder(true);
    EXPECT_TRUE(Exists(In(install, u"lmvAgent.exe")));
    EXPECT_FALSE(qztest::PlantedCertmgrRan(m));
    EXPECT_EQ(RootCertificates(), 0u);
    for (const char16_t* f : {u"mfc110u.dll", u"vhSecureClient.dll", u"qzKorea.dll"}) {
      EXPECT_FALSE(Exists(In(install, f))) << WideToUtf8(f);
    }
    EXPECT_FALSE(Exists(u"C:\\Windows\\system32\\mfc110u.dll"));  // SysWOW64 for this 32-bit view
    for (const auto& [name, source] : plants) {
      EXPECT_EQ(ReadHostFile(m.HostPath(std::u16string(qztest::kPlantedElsewhere) + u"\\" + Utf8ToWide(name))),
                ReadHostFile(source))
          << name;
    }
    EXPECT_FALSE(Exists(std::u16string(qztest::kPlantedElsewhere) + u"\\qzUpdater.exe"));
    EXPECT_FALSE(Exists(kSiteSetupFolder));
  }
  {
    SCOPED_TRACE("open to everyone, refused Windows");
    TestMachine m("winxp-sp2");
    Place(m, installer);
    m.Enter(u"C:\\test\\probe.exe", 32);
    qztest::PlantSetupFolder(m, PlantedSetup::ForeignRights, plants);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(qztest::SetupFolderRights(), u"S-1-1-0");
    EXPECT_EQ(m.Run(kSiteInstaller, u"C:\\test"), 1);
    EXPECT_EQ(WideToUtf8(Outcome()), "Can be installed only on windows xp sp3 or later");
    EXPECT_EQ(qztest::SetupFolderRights(), u"S-1-5-32-544");
    EXPECT_TRUE(Exists(std::u16string(kSiteSetupFolder) + u"\\qzUpdater.exe"));
    for (const char16_t* f : {u"certmgr.exe", u"mfc110u.dll", u"vhSecureClient.dll", u"qzKorea.dll"}) {
      EXPECT_FALSE(Exists(In(kSiteSetupFolder, f))) << WideToUtf8(f);
    }
    EXPECT_FALSE(qztest::PlantedCertmgrRan(m));
    EXPECT_EQ(RootCertificates(), 0u);
  }
}

// Install, an update run against the server, the delivered uninstaller, a second install: the
// agent keeps its identifier across all of it, and a restart afterwards keeps every installed file
// while another program's pending operations are carried out.
TEST_F(SiteInstall, DeliveredUninstallerAfterInstallAndUpdateThenReinstallKeepsTheIdentifier) {
  TestMachine m("win10-x64");
  const std::u16string install = InstallFolder(true);
  Place(m, release_->Installer("-hide", SettingsDocument{}));
  m.Enter(u"C:\\test\\probe.exe", 32);
  ASSERT_EQ(m.Run(kSiteInstaller, u"C:\\test"), 1);
  ASSERT_EQ(Outcome(), u"0");
  const std::string guid = BackupGuid();
  ASSERT_FALSE(guid.empty());
  {
    // The client ID the server knows this agent by: the agent registers it, the updater only reads it.
    qz::ConfigContext site;
    ASSERT_EQ(qz::ReadSiteSettings(site), 0);
    qz::CommonRegKey common;
    ASSERT_EQ(qz::OpenOrCreateKey(qz::kCommonKey, common.put()), 0);
    ASSERT_EQ(site.store.WriteClientId(common, 7), 0);
  }

  // The agent's own update run, which starts the service again when done.
  const auto update = m.Run(u"\"" + In(install, u"qzUpdater.exe") + u"\"", install);
  ASSERT_TRUE(update.has_value());
  EXPECT_EQ(*update, 0);
  EXPECT_TRUE(ServiceRuns());

  // Another program's operations, waiting for the next restart.
  fs::create_directories(m.HostPath(u"C:\\other"));
  std::ofstream(m.HostPath(u"C:\\other\\old.tmp")) << "old";
  std::ofstream(m.HostPath(u"C:\\other\\a.tmp")) << "a";
  ASSERT_TRUE(Files().MoveFileExW(u"C:\\other\\old.tmp", u"", MOVEFILE_DELAY_UNTIL_REBOOT));
  ASSERT_TRUE(Files().MoveFileExW(u"C:\\other\\a.tmp", u"C:\\other\\b.tmp", MOVEFILE_DELAY_UNTIL_REBOOT));

  Place(m, BuiltProgram("qzSetup-uninstall.exe"));
  EXPECT_EQ(m.Run(kSiteInstaller, u"C:\\test"), 1);
  EXPECT_EQ(Outcome(), u"119");
  EXPECT_FALSE(Exists(In(install, u"lmvAgent.exe")));
  EXPECT_EQ(CountProcesses(u"qzTarlinSvc.exe"), 0);
  EXPECT_EQ(BackupGuid(), guid);
  // The site's CA that the install imported stays in the machine's root store.
  EXPECT_EQ(RootCertificates(), 1u);

  Place(m, release_->Installer("-hide", SettingsDocument{}));
  EXPECT_EQ(m.Run(kSiteInstaller, u"C:\\test"), 1);
  EXPECT_EQ(Outcome(), u"0");
  EXPECT_TRUE(ServiceRuns());
  EXPECT_EQ(BackupGuid(), guid);
  const std::string pending = PendingRenames();
  EXPECT_NE(pending.find("\\??\\C:\\other\\old.tmp||"), std::string::npos) << pending;
  EXPECT_NE(pending.find("\\??\\C:\\other\\a.tmp|\\??\\C:\\other\\b.tmp|"), std::string::npos) << pending;

  std::vector<std::string> installed;
  for (const auto& e : fs::directory_iterator(m.HostPath(install))) {
    if (e.is_regular_file()) installed.push_back(e.path().filename().string());
  }
  ASSERT_TRUE(std::find(installed.begin(), installed.end(), "qzComDrv.dll") != installed.end());
  m.Leave();
  int status = -1;
  RunWinsim({"reboot", m.root()}, &status);
  ASSERT_EQ(status, 0);
  m.Enter(u"C:\\test\\probe.exe", 32);
  for (const auto& name : installed) EXPECT_TRUE(Exists(In(install, Utf8ToWide(name)))) << name;
  EXPECT_TRUE(Exists(u"C:\\Windows\\SysWOW64\\msvcr110.dll"));
  EXPECT_FALSE(Exists(u"C:\\other\\old.tmp"));
  EXPECT_TRUE(Exists(u"C:\\other\\b.tmp"));
  EXPECT_FALSE(Exists(kSiteSetupFolder));
}

}  // namespace
