// A new server.cfg from the module definition file: fetched by checksum, applied to the registry
// and to the run, stored sealed in the module folder, and its checksum recorded.
#include "updater/config_update.h"

#include <tinyxml2.h>

#include "config/configure.h"
#include "module_fixture.h"
#include "updater/install_transaction.h"
#include "updater/module_download.h"

using namespace qz;
using namespace modtest;

namespace {

constexpr char kNewConfig[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<tarlinLMV version=\"3.0\">\n  <serial>VH-2024-0001</serial>\n"
    "  <server>10.20.30.40</server>\n  <port>8080</port>\n  <ssl>8443</ssl>\n  <menu>1F0</menu>\n</tarlinLMV>";

class ConfigUpdate : public ModuleWork {
 protected:
  void SetUp() override {
    ModuleWork::SetUp();
    UseModuleFolder();
    u_.config.settings.server = "127.0.0.1";
  }
  // Runs the step over a definition root holding the given children.
  void Apply(const std::string& children) {
    tinyxml2::XMLDocument doc;
    doc.Parse(("<agent>" + children + "</agent>").c_str());
    ASSERT_NE(doc.RootElement(), nullptr);
    UpdateConfigFileAndApply(u_, doc.RootElement());
  }
  static std::string Config(const std::string& cks, const std::string& name = "server.cfg") {
    return "<config cks=\"" + cks + "\">" + name + "</config>";
  }
  static Digest D(const std::string& content) { return DigestMemory(content); }
  void Record(const Digest& d) {
    RegKey agent;
    ASSERT_EQ(win::Registry().RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, kAgentKey, 0, win::KEY_WRITE, agent.put()), 0);
    qzAES site;
    site.SetPassword(kSerial);
    ASSERT_EQ(WriteSealedDigest(site, agent.get(), kValueConfigChecksum, d), 0);
  }
  std::string CommonText(const char* value) {
    RegKey common;
    EXPECT_EQ(win::Registry().RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, kCommonKey, 0, win::KEY_READ, common.put()), 0);
    qzAES site;
    site.SetPassword(kSerial);
    std::string text;
    return ReadSealedText(site, common.get(), value, 80, &text) == 0 ? text : "(unreadable)";
  }
};

TEST_F(ConfigUpdate, NewConfigurationIsAppliedStoredAndRecorded) {
  Publish("server.cfg", kNewConfig);
  Apply("<module>x.dll</module>" + Config(Cks(kNewConfig)));

  EXPECT_TRUE(log_->Has("TarlinUpdater::UpdateConfigFileAndApply 2 Updated agent config file")) << log_->Dump();
  // The registry and this run use the new settings.
  EXPECT_EQ(CommonText(kValueServer), "10.20.30.40");
  EXPECT_EQ(u_.config.settings.server, "10.20.30.40");
  EXPECT_EQ(u_.config.settings.httpsPort, 8443);
  EXPECT_EQ(u_.config.settings.menu, 0x1F0u);
  // The module folder holds the stored form, which the installation moves into place.
  const std::string stored = Content(HostModule("server.cfg"));
  EXPECT_NE(stored, kNewConfig);
  ConfigRecord back;
  ASSERT_TRUE(Configure::Read(u_.config, ModuleFolder(), true, &back));
  EXPECT_EQ(back.server, "10.20.30.40");
  EXPECT_EQ(back.httpPort, 8080);
  EXPECT_EQ(u_.config.settings.configDigest, D(stored));
  EXPECT_EQ(Names(Host(ModuleFolder())), std::vector<std::string>{"server.cfg"});
  // The installation takes exactly that file; the checksum is recorded once it is installed.
  EXPECT_EQ(u_.plan.files.at(win::FoldCase(u"server.cfg")), D(stored));
  EXPECT_EQ(u_.plan.configChecksum, std::optional<Digest>(D(kNewConfig)));
  EXPECT_EQ(AgentDigest(kValueConfigChecksum), std::nullopt);
}

TEST_F(ConfigUpdate, FetchedOnlyWhenTheRecordedChecksumDiffersOrTheFileIsMissing) {
  Publish("server.cfg", kNewConfig);
  Record(D(kNewConfig));
  PutInstalled("server.cfg", "stored form");

  Apply(Config(Cks(kNewConfig)));
  EXPECT_TRUE(qztest::RequestsAre(Journal(), {}));
  EXPECT_EQ(u_.config.settings.server, "127.0.0.1");

  // Same checksum, but the installed file is gone: fetched again.
  std::filesystem::remove(HostInstalled("server.cfg"));
  Apply(Config(Cks(kNewConfig)));
  EXPECT_TRUE(qztest::RequestsAre(Journal(), {"file_size", "/agent/server.cfg.qz"}));
  EXPECT_EQ(u_.config.settings.server, "10.20.30.40");
}

TEST_F(ConfigUpdate, NothingHappensWithoutAUsableConfigElement) {
  struct Case {
    const char* what;
    std::string children;
    std::string logged;  // empty: no line at all
  };
  const Case cases[] = {
      {"no config element", "<module>a.dll</module>", ""},
      {"no name", "<config cks=\"" + Cks(kNewConfig) + "\"/>", "3 설정 파일 이름을 찾을 수 없음"},
      {"63-digit cks", Config(Cks(kNewConfig).substr(0, 63)), "3 체크섬 정보를 찾을 수 없음"},
      {"a name outside the folder", Config(Cks(kNewConfig), "..\\server.cfg"), "Invalid config file name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    log_->lines.clear();
    Apply(c.children);
    if (c.logged.empty()) {
      EXPECT_TRUE(log_->lines.empty()) << log_->Dump();
    } else {
      EXPECT_TRUE(log_->Has(c.logged)) << log_->Dump();
    }
    EXPECT_TRUE(Downloads().empty());
    EXPECT_EQ(AgentDigest(kValueConfigChecksum), std::nullopt);
  }
}

TEST_F(ConfigUpdate, FailedDownloadLeavesTheRecordForTheNextRun) {
  const Digest earlier = D("earlier");
  Record(earlier);
  Apply(Config(Cks(kNewConfig)));  // not published
  EXPECT_TRUE(log_->Has("TarlinUpdater::UpdateConfigFileAndApply 3 server.cfg: 설정 파일 다운로드 실패")) << log_->Dump();
  EXPECT_EQ(RetryPauses(), 3);
  EXPECT_EQ(AgentDigest(kValueConfigChecksum), earlier);
  EXPECT_EQ(u_.config.settings.server, "127.0.0.1");
}

TEST_F(ConfigUpdate, WithoutTheAgentKeyTheConfigurationIsAppliedButNotRecorded) {
  ASSERT_EQ(win::Registry().SHDeleteKeyW(win::HKEY_LOCAL_MACHINE, kAgentKey), 0);
  Publish("server.cfg", kNewConfig);
  Apply(Config(Cks(kNewConfig)));
  EXPECT_TRUE(log_->Has("TarlinUpdater::ReadServerConfigChecksum 3 Fail to open key")) << log_->Dump();
  ASSERT_TRUE(u_.plan.configChecksum);
  WriteServerConfigChecksum(u_, *u_.plan.configChecksum);
  EXPECT_TRUE(log_->Has("TarlinUpdater::WriteServerConfigChecksum 3 Fail to open key"));
  EXPECT_EQ(CommonText(kValueServer), "10.20.30.40");
  EXPECT_EQ(AgentDigest(kValueConfigChecksum), std::nullopt);
}

TEST_F(ConfigUpdate, AConfigurationThatCannotBeAppliedIsRecordedButNeverInstalled) {
  // No server element: refused by the reader.
  const std::string broken = "<tarlinLMV><serial>VH-2024-0001</serial><port>1</port></tarlinLMV>";
  Publish("server.cfg", broken);
  Apply(Config(Cks(broken)));

  EXPECT_FALSE(log_->Has("Updated agent config file")) << log_->Dump();
  EXPECT_EQ(u_.config.settings.server, "127.0.0.1");
  // The plain file is gone, so the installation cannot put it over the stored one.
  EXPECT_TRUE(Names(Host(ModuleFolder())).empty());
  // Recorded under the site key, as every value of the run: the refusal did not leave the base key.
  EXPECT_EQ(AgentDigest(kValueConfigChecksum), D(broken));
}

TEST_F(ConfigUpdate, RunsAsPartOfTheModuleDownloadAndIsInstalledWithTheModules) {
  PutInstalled("server.cfg", "stored form of the old settings");
  PutInstalled("a.dll", "old a");
  Publish("server.cfg", kNewConfig);
  Publish("a.dll", "a");
  Definition("<agent>" + Config(Cks(kNewConfig)) + "<module cks=\"" + Cks("a") + "\">a.dll</module></agent>");
  // Even with the install folder current, the new settings are prepared in the module folder.
  ASSERT_TRUE(win::Files().SetCurrentDirectoryW(install_));

  EXPECT_TRUE(DownloadAgentModules(u_)) << log_->Dump();
  EXPECT_TRUE(qztest::RequestsAre(Journal(), {"file_size", "/agent/server.cfg.qz", "file_size", "/agent/a.dll.qz"}));
  EXPECT_EQ(Names(Host(ModuleFolder())), (std::vector<std::string>{"a.dll", "server.cfg"}));
  EXPECT_EQ(Content(HostInstalled("server.cfg")), "stored form of the old settings");

  EXPECT_TRUE(InstallAgentModules(u_, 331)) << log_->Dump();
  EXPECT_EQ(Content(HostInstalled("a.dll")), "a");
  ConfigRecord installed;
  ASSERT_TRUE(Configure::Read(u_.config, install_, true, &installed));
  EXPECT_EQ(installed.server, "10.20.30.40");
  EXPECT_TRUE(Names(Host(ModuleFolder())).empty());
  EXPECT_EQ(Content(HostInstalled("server.cfg.r331")), "(none)");
}

}  // namespace
