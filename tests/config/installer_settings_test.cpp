// The installer's settings document, its registry step and its server.cfg writer; what the
// registry step writes is what the updater's start reads.
#include "config/installer_settings.h"

#include <gtest/gtest.h>

#include "config/agent_identity.h"
#include "config/configure.h"
#include "config/fault_registry.h"
#include "config/registry_layout.h"
#include "config_fixture.h"
#include "crypto/aes.h"
#include "platform/file_util.h"

namespace {

using namespace qz;
using namespace win;
using qztest::ConfigTest;
using qztest::FaultRegistry;

constexpr char16_t kInstall[] = u"C:\\Program Files (x86)\\varnholt\\KSM";
constexpr char kPath[] = "C:\\bc8f992f5df34654945e6e32a5aa400c\\server.cfg";

std::string Doc(std::string_view children) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<tarlinLMV version=\"3.0\">" + std::string(children) +
         "</tarlinLMV>";
}
const std::string kRequired =
    "<serial>SN-7</serial><server>127.0.0.1</server><productkind>std</productkind><msg>hello</msg>"
    "<showui>true</showui>";

class InstallerSettingsTest : public ConfigTest {
 protected:
  void PutSettings(const std::string& doc) { PutFile(AnsiToWide(kPath), doc); }
};

TEST_F(InstallerSettingsTest, ReadingCodes) {
  struct Row {
    std::optional<std::string> file;
    int result;
  };
  const Row rows[] = {
      {std::nullopt, kSettingsNotLoaded},
      {"<tarlinLMV><serial>", kSettingsNotLoaded},
      {"<?xml version=\"1.0\"?><!-- nothing -->", kSettingsNoRoot},
      {Doc("<server>s</server><productkind>k</productkind><msg>m</msg><showui>u</showui>"), kSettingsNoSerial},
      {Doc("<serial>s</serial><productkind>k</productkind><msg>m</msg><showui>u</showui>"), kSettingsNoServer},
      {Doc("<serial>s</serial><server>s</server><msg>m</msg><showui>u</showui>"), kSettingsNoProductKind},
      {Doc("<serial>s</serial><server>s</server><productkind>k</productkind><showui>u</showui>"), kSettingsNoMessage},
      {Doc("<serial>s</serial><server>s</server><productkind>k</productkind><msg>m</msg>"), kSettingsNoShowUi},
      {Doc(kRequired), 0},
      // Texts longer than their fields, terminator included, are refused rather than emptied.
      {Doc("<serial>" + std::string(40, 's') + "</serial>" + kRequired.substr(kRequired.find("<server>"))),
       kSettingsNoSerial},
      {Doc("<serial>" + std::string(39, 's') + "</serial>" + kRequired.substr(kRequired.find("<server>"))), 0},
      {Doc("<serial>s</serial><server>" + std::string(80, 'h') + "</server><productkind>k</productkind>"),
       kSettingsNoServer},
      {Doc(kRequired + "<pk_server>" + std::string(80, 'p') + "</pk_server>"), kSettingsPkServerTooLong},
      {Doc(kRequired + "<pk_server>" + std::string(79, 'p') + "</pk_server>"), 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.file ? r.file->substr(0, 120) : "no file");
    SCOPED_TRACE(r.result);
    Files().DeleteFileW(AnsiToWide(kPath));
    if (r.file) PutSettings(*r.file);
    InstallerSettings s;
    EXPECT_EQ(ReadInstallerSettings(kPath, &s), r.result);
  }
}

TEST_F(InstallerSettingsTest, FieldsAndDefaults) {
  struct Row {
    std::string extra;
    int32_t port, ssl;
    uint32_t menu;
    bool showLogo;
  };
  const Row rows[] = {
      {"", 80, 443, 0xF0, false},
      {"<port>8080</port><ssl>8443</ssl><menu>0x1F</menu><showLogo>true</showLogo>", 8080, 8443, 0x1F, true},
      {"<port/><ssl></ssl><menu/>", 0, 0, 0, false},
      {"<showLogo>True</showLogo>", 80, 443, 0xF0, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.extra);
    PutSettings(Doc(kRequired + r.extra));
    InstallerSettings s;
    ASSERT_EQ(ReadInstallerSettings(kPath, &s), 0);
    EXPECT_EQ(s.port, r.port);
    EXPECT_EQ(s.sslPort, r.ssl);
    EXPECT_EQ(s.menu, r.menu);
    EXPECT_EQ(s.showLogo, r.showLogo);
    EXPECT_EQ(s.serial, "SN-7");
    EXPECT_EQ(s.productKind, "std");
    EXPECT_EQ(s.message, u"hello");
    EXPECT_EQ(s.showUi, u"true");
    EXPECT_EQ(s.companyName, u"");
    EXPECT_EQ(s.pkServer, "");
  }
  // A window text that does not fit its field leaves it empty; the others are kept.
  PutSettings(Doc("<serial>" + std::string(39, 's') + "</serial><server>h</server><productkind>k</productkind>"
                  "<msg>m</msg><showui>" + std::string(40, 'u') + "</showui><companyName>회사</companyName>"));
  InstallerSettings s;
  ASSERT_EQ(ReadInstallerSettings(kPath, &s), 0);
  EXPECT_EQ(s.serial, std::string(39, 's'));
  EXPECT_EQ(s.showUi, u"");
  EXPECT_EQ(s.server, "h");
  EXPECT_EQ(s.companyName, u"회사");
}

TEST_F(InstallerSettingsTest, ExtraProgramList) {
  PutSettings(Doc(kRequired +
                  "<addbin>"
                  "<item wait=\"true\" exec=\"true\" copy=\"true\" path=\"%ProgramFiles%\\tool\" "
                  "option=\"/s %SystemDrive%\">tool.exe</item>"
                  "<item exec=\"True\" copy=\"false\">%windir%\\x.exe</item>"
                  "<other>ignored.exe</other>"
                  "<item copy=\"true\">" + std::string(300, 'n') + "</item>"
                  "<item/>"
                  "</addbin>"));
  InstallerSettings s;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(ReadInstallerSettings(kPath, &s), 0);
    // The over-long item is left out rather than cut.
    ASSERT_EQ(s.extras.size(), 3u);
    const ExtraProgram& a = s.extras[0];
    EXPECT_TRUE(a.wait && a.exec && a.copy);
    EXPECT_EQ(a.fileName, u"tool.exe");
    EXPECT_EQ(a.path, u"C:\\Program Files (x86)\\tool");
    EXPECT_EQ(a.options, u"/s C:");
    const ExtraProgram& b = s.extras[1];
    EXPECT_FALSE(b.wait || b.exec || b.copy);
    EXPECT_EQ(b.fileName, u"C:\\Windows\\x.exe");
    EXPECT_EQ(b.path, u"");
    const ExtraProgram& c = s.extras[2];
    EXPECT_EQ(c.fileName, u"");
  }
  // A document without addbin leaves the list as it was.
  PutSettings(Doc(kRequired));
  ASSERT_EQ(ReadInstallerSettings(kPath, &s), 0);
  EXPECT_EQ(s.extras.size(), 3u);
}

TEST_F(InstallerSettingsTest, RegistryStepIsWhatTheUpdaterReads) {
  PutSettings(Doc(kRequired + "<pk_server>127.0.0.9</pk_server><port>8080</port><menu>1f</menu>"));
  SetRaw(kBackupKey, "UUID", REG_SZ, "11111111222233334444555566667777");
  InstallerSettings s;
  ASSERT_EQ(ReadInstallerSettings(kPath, &s), 0);
  ASSERT_EQ(InstallerRegistryStep(ctx_, s, kInstall), 0);
  EXPECT_EQ(Raw(kBackupKey, "UUID"), "11111111222233334444555566667777");
  EXPECT_EQ(Raw(kCommonKey, "value08"), std::nullopt);
  EXPECT_TRUE(KeyExists(kPcKeeperKey));
  EXPECT_EQ(Raw(kCommonKey, "value06")->size(), 16u);

  ConfigContext updater;
  ASSERT_EQ(ReadSiteSettings(updater), 0);
  EXPECT_EQ(updater.settings.serial, "SN-7");
  EXPECT_EQ(updater.settings.installFolder, kInstall);
  EXPECT_EQ(updater.settings.server, "127.0.0.1");
  EXPECT_EQ(updater.settings.pkServer, "127.0.0.9");
  EXPECT_EQ(updater.settings.httpPort, 8080);
  EXPECT_EQ(updater.settings.httpsPort, 443);
  EXPECT_EQ(updater.settings.menu, 0x1Fu);
  GetAgentGUID(updater);
  EXPECT_EQ(updater.settings.agentGuid, "11111111222233334444555566667777");

  // Again with an empty pk_server: the tree is rebuilt without a PcKeeper key.
  PutSettings(Doc(kRequired + "<pk_server></pk_server>"));
  ASSERT_EQ(ReadInstallerSettings(kPath, &s), 0);
  ASSERT_EQ(InstallerRegistryStep(ctx_, s, kInstall), 0);
  EXPECT_FALSE(KeyExists(kPcKeeperKey));
  EXPECT_EQ(Raw(kBackupKey, "UUID"), "11111111222233334444555566667777");
}

TEST_F(InstallerSettingsTest, RegistryStepCodes) {
  struct Row {
    std::u16string failKey, failValue, failDelete;
    std::string doc;
    int result;
  };
  const std::string withPk = Doc(kRequired + "<pk_server>p</pk_server>");
  const std::string noPk = Doc(kRequired);
  const Row rows[] = {
      {kProductKey, u"", u"", withPk, 1},
      {u"", u"Product", u"", withPk, 2},
      {kAgentKey, u"", u"", withPk, 8},
      {kCommonKey, u"", u"", withPk, 9},
      {u"", u"value06", u"", withPk, 20},
      {u"", u"value03", u"", withPk, 21},
      {u"", u"value11", u"", withPk, 10},
      {kPcKeeperKey, u"", u"", withPk, 11},
      {u"", u"slot01", u"", withPk, 12},
      {u"", u"", kPcKeeperKey, noPk, 13},
      {u"", u"value04", u"", withPk, 23},
      {u"", u"value05", u"", withPk, 24},
      {u"", u"value12", u"", withPk, 0},
      {u"", u"value02", u"", withPk, 25},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.result);
    PutSettings(r.doc);
    Registry().SHDeleteKeyW(HKEY_LOCAL_MACHINE, kProductKey);
    auto& fault = FaultRegistry::Install();
    if (!r.failKey.empty()) fault.failKeys.insert(r.failKey);
    if (!r.failValue.empty()) fault.failValues.insert(r.failValue);
    if (!r.failDelete.empty()) {
      // A PcKeeper key that survives the tree deletion and then refuses to go.
      fault.failDeletes.insert(r.failDelete);
      fault.failDeletes.insert(kProductKey);
      RegKey pk;
      ASSERT_EQ(OpenOrCreateKey(kPcKeeperKey, pk.put()), 0);
    }
    InstallerSettings s;
    ASSERT_EQ(ReadInstallerSettings(kPath, &s), 0);
    EXPECT_EQ(InstallerRegistryStep(ctx_, s, kInstall), r.result);
    FaultRegistry::Uninstall();
  }
}

TEST_F(InstallerSettingsTest, ServerConfigWriter) {
  PutSettings(Doc(kRequired));
  InstallerSettings s;
  ASSERT_EQ(ReadInstallerSettings(kPath, &s), 0);
  ASSERT_EQ(InstallerRegistryStep(ctx_, s, kInstall), 0);
  CreateFolderPath(kInstall);
  ASSERT_EQ(WriteInstallerServerConfig(ctx_, s, kInstall), 0);

  const std::string path = WideToAnsi(std::u16string(kInstall) + u"\\server.cfg");
  std::string text;
  qzAES base;
  base.SetPassword("");
  ASSERT_EQ(base.LoadEncrypted(path, &text, 4096), 0);
  EXPECT_EQ(text, FormatServerConfig("SN-7", "127.0.0.1", "", 80, 443, 0xF0, kInstallerMenuFormat));
  EXPECT_NE(text.find("<menu>F0</menu>"), std::string::npos);

  // The updater reads it, and its digest is the one the next start finds in value09.
  ConfigContext updater;
  ASSERT_EQ(ReadSiteSettings(updater), 0);
  ConfigRecord rec;
  ASSERT_TRUE(Configure::Read(updater, kInstall, true, &rec));
  EXPECT_EQ(rec.menu, 0xF0u);
  Digest file{};
  ASSERT_TRUE(DigestFile(std::string_view(path), &file));
  EXPECT_EQ(updater.settings.configDigest, file);

  EXPECT_EQ(WriteInstallerServerConfig(ctx_, s, u"C:\\no such folder"), kServerConfigNotCreated);
}

}  // namespace
