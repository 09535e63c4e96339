// server.cfg: the reader, the mirroring into the registry and the stored form, on a simulated machine.
#include "config/configure.h"

#include <gtest/gtest.h>

#include "config/registry_layout.h"
#include "config/sealed_value.h"
#include "config_fixture.h"
#include "crypto/digest.h"
#include "platform/file_util.h"

namespace {

using namespace qz;
using namespace win;
using qztest::ConfigTest;

constexpr char16_t kFolder[] = u"C:\\cfg";
constexpr char16_t kFile[] = u"C:\\cfg\\server.cfg";

std::string Doc(std::string_view children) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<tarlinLMV version=\"3.0\">" + std::string(children) +
         "</tarlinLMV>";
}
const std::string kCore = "<serial>SN-1</serial><server>127.0.0.1</server>";

class ConfigureTest : public ConfigTest {
 protected:
  // The Common key of a fresh tree, with the site of an empty serial (the base key) in the store.
  CommonRegKey FreshCommon() {
    Registry().SHDeleteKeyW(HKEY_LOCAL_MACHINE, kProductKey);
    CommonRegKey common;
    EXPECT_EQ(CreateKeyTree(&common), 0);
    ctx_.store.SetSiteSerial("");
    return common;
  }
  std::vector<std::u16string> CommonValues() {
    std::vector<std::u16string> out;
    HKEY k = nullptr;
    if (Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCommonKey, 0, KEY_READ, &k)) return out;
    char16_t name[64];
    for (DWORD i = 0;; ++i) {
      DWORD cch = 64;
      if (Registry().RegEnumValueW(k, i, name, &cch, nullptr, nullptr, nullptr)) break;
      out.emplace_back(name, cch);
    }
    Registry().RegCloseKey(k);
    return out;
  }
};

TEST_F(ConfigureTest, BothWritersByteForByte) {
  EXPECT_EQ(FormatServerConfig("SN-1", "127.0.0.1", "", 80, 443, 0xF0, kUpdaterMenuFormat),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<tarlinLMV version=\"3.0\">\n  <serial>SN-1</serial>\n"
            "  <server>127.0.0.1</server>\n  <pk_server></pk_server>\n  <port>80</port>\n  <ssl>443</ssl>\n"
            "  <menu>000000F0</menu>\n</tarlinLMV>");
  EXPECT_EQ(FormatServerConfig("SN-1", "127.0.0.1", "pk", -1, 0, 0xABC, kInstallerMenuFormat),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<tarlinLMV version=\"3.0\">\n  <serial>SN-1</serial>\n"
            "  <server>127.0.0.1</server>\n  <pk_server>pk</pk_server>\n  <port>-1</port>\n  <ssl>0</ssl>\n"
            "  <menu>ABC</menu>\n</tarlinLMV>");
}

TEST_F(ConfigureTest, ReaderFieldsAndDefaults) {
  struct Row {
    std::string children;
    int32_t port, ssl;
    uint32_t menu;
    bool showMsg;
  };
  const Row rows[] = {
      {kCore, 80, 443, 0xF0, false},
      {kCore + "<port>8080</port><ssl>8443</ssl><menu>0x1F</menu>", 8080, 8443, 0x1F, false},
      {kCore + "<menu>1f</menu>", 80, 443, 0x1F, false},
      {kCore + "<menu>0X1f</menu>", 80, 443, 0x1F, false},
      {kCore + "<menu>zz</menu>", 80, 443, 0, false},
      {kCore + "<menu>123456789</menu>", 80, 443, 0xFFFFFFFF, false},
      // Present but empty: 0, not the default.
      {kCore + "<port/><ssl></ssl><menu/>", 0, 0, 0, false},
      {kCore + "<port> 81x</port><ssl>-5</ssl>", 81, -5, 0xF0, false},
      {kCore + "<port>99999999999</port>", 2147483647, 443, 0xF0, false},
      {kCore + "<showMsg>TRUE</showMsg>", 80, 443, 0xF0, true},
      {kCore + "<showMsg>yes</showMsg>", 80, 443, 0xF0, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.children);
    PutFile(kFile, Doc(r.children));
    ConfigRecord rec;
    ASSERT_TRUE(Configure::Read(ctx_, kFolder, false, &rec));
    EXPECT_EQ(rec.serial, "SN-1");
    EXPECT_EQ(rec.server, "127.0.0.1");
    EXPECT_EQ(rec.httpPort, r.port);
    EXPECT_EQ(rec.httpsPort, r.ssl);
    EXPECT_EQ(rec.menu, r.menu);
    EXPECT_EQ(rec.showMsg, r.showMsg);
  }
  PutFile(kFile, Doc(kCore));
  log_.Clear();
  ConfigRecord rec;
  ASSERT_TRUE(Configure::Read(ctx_, kFolder, false, &rec));
  EXPECT_TRUE(log_.Has("{{Configure::Read}} 기본 HTTP 포트 사용")) << log_.text();
  EXPECT_TRUE(log_.Has("기본 보안 HTTP 포트 사용"));
  EXPECT_TRUE(log_.Has("[WARNING]"));
  EXPECT_TRUE(log_.Has("기본 메뉴 사용: 000000F0"));
  EXPECT_TRUE(log_.Has("독립 내PC보안점검검 서버 정보 없음"));
}

TEST_F(ConfigureTest, RefusedFilesWriteNothing) {
  struct Row {
    std::optional<std::string> file;
    const char* line;
  };
  const Row rows[] = {
      {Doc("<server>127.0.0.1</server>"), "[  FATAL]"},
      {Doc("<server>127.0.0.1</server>"), "제품 시리얼 정보를 알 수 없어 설치를 중단함"},
      {Doc("<serial>SN</serial>"), "서버 IP 정보를 알 수 없어 설치를 중단함"},
      {"<tarlinLMV><serial>", "Fail to open configure source file: C:\\cfg\\server.cfg"},
      {std::nullopt, "Fail to open configure source file: C:\\cfg\\server.cfg"},
      {"<?xml version=\"1.0\"?><!-- nothing -->", "Invalid format"},
      // Longer than its field: a cut serial would name another site.
      {Doc("<serial>" + std::string(40, 's') + "</serial><server>h</server>"), "Invalid format"},
      {Doc("<serial>s</serial><server>" + std::string(80, 'h') + "</server>"), "Invalid format"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.line);
    CommonRegKey common = FreshCommon();
    Files().DeleteFileW(kFile);
    if (r.file) PutFile(kFile, *r.file);
    log_.Clear();
    ConfigRecord rec;
    EXPECT_FALSE(ReadConfigure(ctx_, &rec, common, kFolder, false, false));
    EXPECT_TRUE(log_.Has(r.line)) << log_.text();
    EXPECT_TRUE(CommonValues().empty());
  }
}

TEST_F(ConfigureTest, FullModeMirrorsTheFileForTheNextStart) {
  CommonRegKey common = FreshCommon();
  PutFile(kFile, Doc(kCore + "<pk_server>127.0.0.9</pk_server><ssl>8443</ssl>"));
  // The digest is of the file read, wherever the process's current directory is.
  CreateFolderPath(u"C:\\Elsewhere");
  PutFile(u"C:\\Elsewhere\\server.cfg", "another file");
  ASSERT_TRUE(Files().SetCurrentDirectoryW(u"C:\\Elsewhere"));
  ctx_.settings.installFolder = u"C:\\Agent";
  ConfigRecord rec;
  ASSERT_TRUE(ReadConfigure(ctx_, &rec, common, kFolder, false, false));
  EXPECT_TRUE(log_.Has("[  DEBUG]")) << log_.text();
  EXPECT_TRUE(log_.Has("{{AgentInfo::ReadConfigure}} [C")) << log_.text();
  EXPECT_TRUE(log_.Has("독립 내PC보안점검검 서버 할당됨: [127.0.0.9]"));
  EXPECT_EQ(Raw(kCommonKey, "value06")->size(), 16u);  // "SN-1" and its terminator, sealed
  EXPECT_EQ(ctx_.settings.serial, "SN-1");
  Digest file{};
  ASSERT_TRUE(DigestFile(std::u16string_view(kFile), &file));
  EXPECT_EQ(ctx_.settings.configDigest, file);
  common.Close();

  ConfigContext next;
  ASSERT_EQ(ReadSiteSettings(next), 0);
  EXPECT_EQ(next.settings.serial, "SN-1");
  EXPECT_EQ(next.settings.installFolder, u"C:\\Agent");
  EXPECT_EQ(next.settings.server, "127.0.0.1");
  EXPECT_EQ(next.settings.pkServer, "127.0.0.9");
  EXPECT_EQ(next.settings.httpPort, 80);
  EXPECT_EQ(next.settings.httpsPort, 8443);
  EXPECT_EQ(next.settings.menu, 0xF0u);
  EXPECT_EQ(next.settings.configDigest, file);
  EXPECT_TRUE(KeyExists(kPcKeeperKey));
}

TEST_F(ConfigureTest, UpdateModeKeepsTheRegisteredSerial) {
  CommonRegKey common = FreshCommon();
  PutFile(kFile, Doc(kCore));
  ctx_.settings.installFolder = u"C:\\Agent";
  ConfigRecord rec;
  ASSERT_TRUE(ReadConfigure(ctx_, &rec, common, kFolder, false, false));
  common.Close();
  const auto serialBefore = Raw(kCommonKey, "value06");
  const auto folderBefore = Raw(kCommonKey, "value02");

  // The next start, then a configuration from the server; its serial differs from the registered one.
  ConfigContext ctx;
  ctx.logger = &log_;
  ASSERT_EQ(ReadSiteSettings(ctx), 0);
  ASSERT_EQ(Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCommonKey, 0, KEY_ALL_ACCESS, common.put()), 0);
  PutFile(kFile, Doc("<serial>OTHER</serial><server>10.0.0.2</server><port>81</port><menu>3</menu>"));
  ASSERT_TRUE(ReadConfigure(ctx, &rec, common, kFolder, true, false));
  common.Close();
  EXPECT_EQ(Raw(kCommonKey, "value06"), serialBefore);
  EXPECT_EQ(Raw(kCommonKey, "value02"), folderBefore);
  EXPECT_EQ(ctx.settings.serial, "SN-1");
  EXPECT_EQ(ctx.settings.server, "10.0.0.2");

  ConfigContext next;
  ASSERT_EQ(ReadSiteSettings(next), 0);
  EXPECT_EQ(next.settings.serial, "SN-1");
  EXPECT_EQ(next.settings.server, "10.0.0.2");
  EXPECT_EQ(next.settings.httpPort, 81);
  EXPECT_EQ(next.settings.menu, 3u);
}

TEST_F(ConfigureTest, StoredFormReadsBackIdentical) {
  struct Row {
    std::string serial, server, pk;
  };
  const Row rows[] = {
      {"SN-1", "127.0.0.1", ""},
      // Markup characters in a value must not break the document.
      {"A&B<C>", "host.example", "pk&1"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.serial);
    CommonRegKey common = FreshCommon();
    common.Close();
    SiteSettings& s = ctx_.settings;
    s.serial = r.serial;
    s.server = r.server;
    s.pkServer = r.pk;
    s.httpPort = 80;
    s.httpsPort = 443;
    s.menu = 0xF0;
    CreateFolderPath(u"C:\\Agent");
    ASSERT_TRUE(WriteConfigure(ctx_, u"C:\\Agent"));

    const auto bytes = FileBytes(u"C:\\Agent\\server.cfg");
    ASSERT_TRUE(bytes);
    const uint32_t n = static_cast<uint8_t>((*bytes)[0]) | static_cast<uint8_t>((*bytes)[1]) << 8;
    EXPECT_EQ(bytes->size(), 4u + n);
    EXPECT_EQ(n % 16, 0u);
    std::string text;
    ASSERT_EQ(ctx_.store.LoadConfigFile("C:\\Agent\\server.cfg", &text, 4096), 0);
    EXPECT_EQ(text, FormatServerConfig(s.serial, s.server, s.pkServer, 80, 443, 0xF0, kUpdaterMenuFormat));
    EXPECT_NE(text.find("<menu>000000F0</menu>"), std::string::npos);

    ConfigRecord rec;
    ASSERT_TRUE(Configure::Read(ctx_, u"C:\\Agent", true, &rec));
    EXPECT_EQ(rec.serial, r.serial);
    EXPECT_EQ(rec.server, r.server);
    EXPECT_EQ(rec.pkServer, r.pk);
    EXPECT_EQ(rec.menu, 0xF0u);

    Digest file{};
    ASSERT_TRUE(DigestFile(std::u16string_view(u"C:\\Agent\\server.cfg"), &file));
    EXPECT_EQ(s.configDigest, file);
    Digest stored{};
    ASSERT_EQ(Registry().RegOpenKeyW(HKEY_LOCAL_MACHINE, kCommonKey, common.put()), 0);
    ASSERT_EQ(ctx_.store.ReadConfigDigest(common, &stored), 0);
    EXPECT_EQ(stored, file);
  }
}

TEST_F(ConfigureTest, SealedReadOfADamagedFile) {
  PutFile(u"C:\\Agent\\server.cfg", std::string("\x10\x00\x00\x00", 4) + std::string(16, 'x'));
  ConfigRecord rec;
  EXPECT_FALSE(Configure::Read(ctx_, u"C:\\Agent", true, &rec));
  EXPECT_TRUE(log_.Has("Fail to load configure file: -12")) << log_.text();
}

TEST_F(ConfigureTest, PcKeeperKeyFollowsTheAddress) {
  CommonRegKey common = FreshCommon();
  ASSERT_TRUE(UpdatePcKeeperInfo(ctx_, common, "127.0.0.9"));
  RegKey pk;
  ASSERT_EQ(Registry().RegOpenKeyW(HKEY_LOCAL_MACHINE, kPcKeeperKey, pk.put()), 0);
  std::string text;
  qzAES base;
  base.SetPassword("");
  EXPECT_EQ(ReadSealedText(base, pk.get(), kValueSlot01, 80, &text), 0);
  EXPECT_EQ(text, "127.0.0.9");
  pk.Close();

  ASSERT_TRUE(UpdatePcKeeperInfo(ctx_, common, ""));
  EXPECT_FALSE(KeyExists(kPcKeeperKey));
  EXPECT_EQ(ctx_.store.ReadPkServer(common, &text), 0);
  EXPECT_EQ(text, "");
  // A missing key is already what an empty address asks for.
  EXPECT_TRUE(UpdatePcKeeperInfo(ctx_, common, ""));
}

}  // namespace
