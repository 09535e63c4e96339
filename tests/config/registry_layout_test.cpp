// The agent's registry tree: sealed values, the install folder, the key tree, the start-up read
// of the site settings and the InformalSw clean-up, on a simulated Windows 10 x64 machine.
#include "config/registry_layout.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>

#include "config/fault_registry.h"
#include "config/sealed_value.h"
#include "config_fixture.h"
#include "platform/winsim/services.h"

namespace {

using namespace qz;
using namespace win;
using qztest::ConfigTest;
using qztest::FaultRegistry;

constexpr char16_t kDefaultFolder[] = u"C:\\Program Files (x86)\\varnholt\\KSM";

struct Site {
  std::string serial = "SN-0001-XYZ";
  std::u16string folder = u"C:\\Agent Files\\KSM";
  std::string server = "10.1.2.3";
  std::string pkServer = "10.9.9.9";
  uint32_t http = 8080, https = 8443, menu = 0x1F, client = 7;
};

class RegistryLayoutTest : public ConfigTest {
 protected:
  // Writes every Common value as the installer would.
  void WriteSite(const Site& s) {
    RegKey common;
    ASSERT_EQ(OpenOrCreateKey(kCommonKey, common.put()), 0);
    qzAES c;
    c.SetPassword("");
    ASSERT_EQ(WriteSealedText(c, common.get(), kValueSerial, s.serial, kSerialSealedBuffer), 0);
    c.SetPassword(s.serial);
    ASSERT_TRUE(WriteInstallFolder(c, common.get(), s.folder));
    ASSERT_EQ(WriteSealedText(c, common.get(), kValueServer, s.server), 0);
    ASSERT_EQ(WriteSealedText(c, common.get(), kValuePkServer, s.pkServer), 0);
    ASSERT_EQ(WriteSealedDword(c, common.get(), kValueHttpPort, s.http), 0);
    ASSERT_EQ(WriteSealedDword(c, common.get(), kValueHttpsPort, s.https), 0);
    ASSERT_EQ(WriteSealedDword(c, common.get(), kValueMenu, s.menu), 0);
    ASSERT_EQ(WriteSealedDword(c, common.get(), kValueClientId, s.client), 0);
    Digest d{};
    d.fill(0xAB);
    ASSERT_EQ(WriteSealedDigest(c, common.get(), kValueConfigDigest, d), 0);
  }
  void DeleteValue(std::u16string_view name) {
    RegKey common;
    ASSERT_EQ(Registry().RegOpenKeyW(HKEY_LOCAL_MACHINE, kCommonKey, common.put()), 0);
    ASSERT_EQ(Registry().RegDeleteValueW(common.get(), name), 0);
  }
};

TEST_F(RegistryLayoutTest, SealedValuesRoundTripWithTheCipherPadding) {
  struct Row {
    const char* what;
    std::string plain;
    size_t sealed;
  };
  const Row rows[] = {
      {"15-character serial with its terminator", std::string("ABCDEFGHIJKLMNO") + '\0', 32},
      {"DWORD", std::string("\x50\x1F\0\0", 4), 16},
      {"digest", std::string(32, '\x11'), 48},
  };
  RegKey common;
  ASSERT_EQ(OpenOrCreateKey(kCommonKey, common.put()), 0);
  qzAES c;
  c.SetPassword("site");
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    ASSERT_EQ(WriteSealedValue(c, common.get(), "v", r.plain), 0);
    DWORD type = 0;
    auto raw = Raw(kCommonKey, "v", &type);
    ASSERT_TRUE(raw);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(raw->size(), r.sealed);
    std::string back;
    EXPECT_EQ(ReadSealedValue(c, common.get(), "v", 4096, &back), 0);
    EXPECT_EQ(back, r.plain);
  }
}

TEST_F(RegistryLayoutTest, UnreadableSealedValuesReadAsMissing) {
  RegKey common;
  ASSERT_EQ(OpenOrCreateKey(kCommonKey, common.put()), 0);
  // Fixed keys: a password's key also depends on the machine's volume serials, which differ per test
  // machine, and one wrong key in 256 decrypts to valid padding.
  qzAES site, other;
  std::array<uint8_t, 32> siteKey{}, otherKey{};
  siteKey.fill(0x51);
  otherKey.fill(0x0E);
  site.SetKeyInput(siteKey);
  other.SetKeyInput(otherKey);
  ASSERT_EQ(WriteSealedText(site, common.get(), "text", "0123456789"), 0);  // 11 plain bytes
  SetRaw(kCommonKey, "garbage", REG_BINARY, "not a ciphertext");
  struct Row {
    const char* what;
    IqzAES* cipher;
    const char* name;
    size_t capacity;
    LONG result;
  };
  const Row rows[] = {
      {"fits exactly", &site, "text", 11, 0},
      {"one byte more than the room", &site, "text", 10, kSealedValueError},
      {"another key", &other, "text", 100, kSealedValueError},
      {"not sealed", &site, "garbage", 100, kSealedValueError},
      {"absent", &site, "none", 100, static_cast<LONG>(ERROR_FILE_NOT_FOUND)},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    std::string plain = "left over";
    EXPECT_EQ(ReadSealedValue(*r.cipher, common.get(), r.name, r.capacity, &plain), r.result);
    if (r.result) {
      EXPECT_TRUE(plain.empty());
    }
  }
}

TEST_F(RegistryLayoutTest, InstallFolderValue) {
  RegKey common;
  ASSERT_EQ(OpenOrCreateKey(kCommonKey, common.put()), 0);
  qzAES c;
  c.SetPassword("s");
  std::u16string folder;
  EXPECT_FALSE(ReadInstallFolder(c, common.get(), &folder));

  // Empty text: the default, expanded as a 32-bit program sees %ProgramFiles%.
  ASSERT_EQ(WriteSealedText(c, common.get(), kValueInstallFolder, ""), 0);
  ASSERT_TRUE(ReadInstallFolder(c, common.get(), &folder));
  EXPECT_EQ(folder, kDefaultFolder);

  ASSERT_TRUE(WriteInstallFolder(c, common.get(), u"D:\\Agent"));
  EXPECT_EQ(Raw(kCommonKey, "value02")->size(), 16u);
  ASSERT_TRUE(ReadInstallFolder(c, common.get(), &folder));
  EXPECT_EQ(folder, u"D:\\Agent");

  // 259 characters fit with the terminator; one more would be a cut path.
  const std::u16string longest = u"D:\\" + std::u16string(256, u'a');
  EXPECT_TRUE(WriteInstallFolder(c, common.get(), longest));
  EXPECT_FALSE(WriteInstallFolder(c, common.get(), longest + u"b"));
  ASSERT_TRUE(ReadInstallFolder(c, common.get(), &folder));
  EXPECT_EQ(folder, longest);
}

TEST_F(RegistryLayoutTest, KeyTreeLandsInThe32BitViewWithProduct) {
  CommonRegKey common;
  ASSERT_EQ(CreateKeyTree(&common), 0);
  ASSERT_TRUE(common);
  for (auto key : {kClientKey, kFontKey, kPatchKey, kCurrentInformalSwKey, kPolicyInformalSwKey, kAgentKey})
    EXPECT_TRUE(KeyExists(key)) << WideToUtf8(key);
  HKEY native = nullptr;
  ASSERT_EQ(Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\WOW6432Node\\Varnholt\\KSM\\Common", 0,
                                     KEY_READ | KEY_WOW64_64KEY, &native),
            0);
  Registry().RegCloseKey(native);
  EXPECT_NE(Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ | KEY_WOW64_64KEY, &native), 0);

  RegKey product;
  ASSERT_EQ(Registry().RegOpenKeyW(HKEY_LOCAL_MACHINE, kProductKey, product.put()), 0);
  DWORD type = 0, size = 0;
  ASSERT_EQ(Registry().RegQueryValueExW(product.get(), u"Product", &type, nullptr, &size), 0);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 24u);
  // Handed back open: the caller writes through it.
  qzAES c;
  c.SetPassword("");
  EXPECT_EQ(WriteSealedDword(c, common.get(), "probe", 1), 0);
}

TEST_F(RegistryLayoutTest, KeyTreeReportsTheStepThatFailed) {
  struct Row {
    std::u16string key;
    std::u16string value;
    int step;
  };
  const Row rows[] = {
      {kProductKey, u"", 1},          {u"", u"Product", 2},         {kClientKey, u"", 3},
      {kFontKey, u"", 4},             {kPatchKey, u"", 5},          {kCurrentInformalSwKey, u"", 6},
      {kPolicyInformalSwKey, u"", 7}, {kAgentKey, u"", 8},          {kCommonKey, u"", 9},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.step);
    Registry().SHDeleteKeyW(HKEY_LOCAL_MACHINE, kProductKey);
    auto& fault = FaultRegistry::Install();
    if (!r.key.empty()) fault.failKeys.insert(r.key);
    if (!r.value.empty()) fault.failValues.insert(r.value);
    CommonRegKey common;
    EXPECT_EQ(CreateKeyTree(&common), r.step);
    EXPECT_FALSE(common);
    FaultRegistry::Uninstall();
  }
}

TEST_F(RegistryLayoutTest, InstallerOutcome) {
  EXPECT_FALSE(WriteInstallerOutcome(nullptr));
  ASSERT_TRUE(WriteInstallerOutcome(u"0"));
  HKEY k = nullptr;
  ASSERT_EQ(Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInstallKey, 0, KEY_READ, &k), 0);
  char16_t buf[8] = {};
  DWORD type = 0, size = sizeof buf;
  ASSERT_EQ(Registry().RegQueryValueExW(k, u"value01", &type, reinterpret_cast<BYTE*>(buf), &size), 0);
  Registry().RegCloseKey(k);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(std::u16string(buf), u"0");
}

TEST_F(RegistryLayoutTest, SiteSettingsReadAtStart) {
  const Site site;
  WriteSite(site);
  ASSERT_EQ(ReadSiteSettings(ctx_), 0);
  const SiteSettings& s = ctx_.settings;
  EXPECT_EQ(s.serial, site.serial);
  EXPECT_EQ(s.installFolder, site.folder);
  EXPECT_EQ(s.installFolderAnsi, "C:\\Agent Files\\KSM");
  EXPECT_EQ(s.server, site.server);
  EXPECT_EQ(s.pkServer, site.pkServer);
  EXPECT_EQ(s.httpPort, 8080);
  EXPECT_EQ(s.httpsPort, 8443);
  EXPECT_EQ(s.menu, 0x1Fu);
  EXPECT_EQ(s.clientId, 7u);
  EXPECT_EQ(s.configDigest[31], 0xAB);
  EXPECT_EQ(s.definitionDigest, Digest{});
  // The store ends holding the site key.
  CommonRegKey common;
  ASSERT_EQ(Registry().RegOpenKeyW(HKEY_LOCAL_MACHINE, kCommonKey, common.put()), 0);
  std::string server;
  EXPECT_EQ(ctx_.store.ReadServer(common, &server), 0);
  EXPECT_EQ(server, site.server);
}

TEST_F(RegistryLayoutTest, SiteSettingsFailuresAndDefaults) {
  struct Row {
    const char* what;
    std::function<void(Site&)> change;
    std::vector<std::u16string> remove;
    int result;
    std::function<void(const SiteSettings&)> check;
  };
  const Row rows[] = {
      {"HTTP port absent, HTTPS port present", nullptr, {u"value04"}, 5, nullptr},
      {"HTTPS port absent", nullptr, {u"value05"}, 6, nullptr},
      {"server absent", nullptr, {u"value03"}, 4, nullptr},
      {"100-character server", [](Site& s) { s.server = std::string(100, 'h'); }, {}, 4, nullptr},
      {"79-character server", [](Site& s) { s.server = std::string(79, 'h'); }, {}, 0,
       [](const SiteSettings& s) { EXPECT_EQ(s.server.size(), 79u); }},
      {"folder absent with a serial", nullptr, {u"value02"}, 2, nullptr},
      {"folder and serial absent", nullptr, {u"value02", u"value06"}, 3, nullptr},
      {"serial absent: the rest was sealed under the site key", nullptr, {u"value06"}, 3, nullptr},
      {"menu absent", nullptr, {u"value12"}, 0, [](const SiteSettings& s) { EXPECT_EQ(s.menu, 0xF0u); }},
      {"client ID absent", nullptr, {u"value01"}, 0, [](const SiteSettings& s) { EXPECT_EQ(s.clientId, 0u); }},
      {"PC keeper server absent", nullptr, {u"value11"}, 0,
       [](const SiteSettings& s) { EXPECT_EQ(s.pkServer, ""); }},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    Registry().SHDeleteKeyW(HKEY_LOCAL_MACHINE, kProductKey);
    Site site;
    if (r.change) r.change(site);
    WriteSite(site);
    for (const auto& v : r.remove) DeleteValue(v);
    ConfigContext ctx;
    EXPECT_EQ(ReadSiteSettings(ctx), r.result);
    if (r.check) r.check(ctx.settings);
  }
  Registry().SHDeleteKeyW(HKEY_LOCAL_MACHINE, kProductKey);
  ConfigContext ctx;
  EXPECT_EQ(ReadSiteSettings(ctx), 1);
}

TEST_F(RegistryLayoutTest, AnotherVolumeSerialMakesTheCopiedSettingsUnreadable) {
  WriteSite(Site{});
  ASSERT_EQ(ReadSiteSettings(ctx_), 0);
  dynamic_cast<winsim::WinsimPlatform&>(platform_).machine().UpdateConfig([](winsim::MachineConfig& c) {
    for (auto& v : c.volumes)
      if (v.letter == 'C') v.serial ^= 0x01010101u;
  });
  ConfigContext ctx;
  EXPECT_EQ(ReadSiteSettings(ctx), 3);
  EXPECT_EQ(ctx.settings.serial, "");
}

TEST_F(RegistryLayoutTest, InformalSwPolicyIsDroppedWhenAnEntryLacksSlot01) {
  struct Row {
    const char* what;
    std::vector<std::pair<std::u16string, bool>> entries;  // name, has slot01
    bool kept;
  };
  const Row rows[] = {
      {"every entry has slot01", {{u"a", true}, {u"b", true}, {u"c", true}}, true},
      {"the second entry lacks it", {{u"a", true}, {u"b", false}, {u"c", true}}, false},
      {"no entries", {}, true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    Registry().SHDeleteKeyW(HKEY_LOCAL_MACHINE, kPolicyInformalSwKey);
    RegKey policy;
    ASSERT_EQ(OpenOrCreateKey(kPolicyInformalSwKey, policy.put()), 0);
    for (const auto& [name, has] : r.entries) {
      const std::u16string path = std::u16string(kPolicyInformalSwKey) + u"\\" + name;
      if (has) {
        SetRaw(path, "slot01", REG_SZ, "x");
      } else {
        SetRaw(path, "other", REG_SZ, "x");
      }
    }
    policy.Close();
    EXPECT_TRUE(CleanInformalSwPolicy());
    EXPECT_EQ(KeyExists(kPolicyInformalSwKey), r.kept);
  }
  // No policy key at all is nothing to clean.
  EXPECT_TRUE(CleanInformalSwPolicy());

  RegKey policy;
  ASSERT_EQ(OpenOrCreateKey(std::u16string(kPolicyInformalSwKey) + u"\\x", policy.put()), 0);
  policy.Close();
  FaultRegistry::Install().failDeletes.insert(kPolicyInformalSwKey);
  EXPECT_FALSE(CleanInformalSwPolicy());
  FaultRegistry::Uninstall();
}

}  // namespace
