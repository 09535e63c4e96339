// The install flow of a site installer run hidden ("-hide"): on fresh machines of several Windows
// versions and product kinds, over an older agent, with a broken settings document, and followed
// by the delivered uninstaller and a second install.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

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

TEST_F(SiteInstall, SettingsWithoutShowUiStopAtTheRegistryStep) {
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
