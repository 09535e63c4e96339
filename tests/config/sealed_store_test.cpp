// The sealed store: which key (base or site) and which registry key and value each accessor uses,
// checked against the raw REG_BINARY data with explicitly keyed ciphers, and when the site key is
// rebuilt.
#include "config/sealed_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "config/registry_keys.h"
#include "config/registry_layout.h"
#include "config_fixture.h"
#include "crypto/aes.h"
#include "platform/winsim/services.h"

namespace {

using namespace qz;
using namespace win;
using qztest::ConfigTest;

constexpr char kSerial[] = "SN-0042";

std::string Le(uint64_t v, size_t bytes) {
  std::string out(bytes, '\0');
  for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<char>(v >> (8 * i));
  return out;
}

std::optional<std::string> Open(qzAES& cipher, const std::string& raw) {
  std::vector<uint8_t> out(4096);
  const int n = cipher.Decrypt(out, std::span(reinterpret_cast<const uint8_t*>(raw.data()), raw.size()));
  if (n < 0) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(n));
}

std::string Seal(qzAES& cipher, std::string_view plain) {
  std::vector<uint8_t> out(4096);
  const int n = cipher.Encrypt(out, std::span(reinterpret_cast<const uint8_t*>(plain.data()), plain.size()));
  EXPECT_GT(n, 0);
  return std::string(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(std::max(n, 0)));
}

Digest Pattern(uint8_t seed) {
  Digest d{};
  for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(seed + 7 * i);
  return d;
}

std::string Bytes(const Digest& d) { return std::string(reinterpret_cast<const char*>(d.data()), d.size()); }

class SealedStoreTest : public ConfigTest {
 protected:
  SealedStoreTest() {
    EXPECT_EQ(CreateKeyTree(&common_), 0);
    EXPECT_EQ(OpenOrCreateKey(kPcKeeperKey, pcKeeper_.put()), 0);
    EXPECT_EQ(OpenAgentKey(KEY_READ | KEY_WRITE, &agent_), 0);
    base_.SetPassword("");
    site_.SetPassword(kSerial);
  }

  void ChangeVolumeSerial() {
    dynamic_cast<winsim::WinsimPlatform&>(platform_).machine().UpdateConfig([](winsim::MachineConfig& c) {
      for (auto& v : c.volumes)
        if (v.letter == 'C') v.serial ^= 0x01010101u;
    });
  }

  CommonRegKey common_;
  AgentRegKey agent_;
  PcKeeperRegKey pcKeeper_;
  qzAES base_, site_;
};

TEST_F(SealedStoreTest, EachValueIsSealedUnderItsKeyInItsRegistryKey) {
  enum class Key { Base, Site };
  using Write = std::function<LONG(const SealedStore&)>;
  // Reads through the store and checks what it got.
  using Read = std::function<void(const SealedStore&)>;
  struct Row {
    const char* what;
    std::u16string_view key;
    const char* value;
    Key sealedWith;
    std::string plain;
    Write write;
    Read read;
  };
  const CommonRegKey& c = common_;
  const AgentRegKey& a = agent_;
  const PcKeeperRegKey& pk = pcKeeper_;
  auto text = [](auto read, std::string expected) {
    return [read, expected](const SealedStore& s) {
      std::string got;
      EXPECT_EQ(read(s, &got), 0);
      EXPECT_EQ(got, expected);
    };
  };
  auto dword = [](auto read, uint32_t expected) {
    return [read, expected](const SealedStore& s) {
      uint32_t got = ~expected;
      EXPECT_EQ(read(s, &got), 0);
      EXPECT_EQ(got, expected);
    };
  };
  auto digest = [](auto read, Digest expected) {
    return [read, expected](const SealedStore& s) {
      Digest got{};
      EXPECT_EQ(read(s, &got), 0);
      EXPECT_EQ(got, expected);
    };
  };
  const Digest d9 = Pattern(9), d10 = Pattern(10), d21 = Pattern(21);
  const Row rows[] = {
      {"serial", kCommonKey, "value06", Key::Base, std::string(kSerial) + '\0',
       [&](const SealedStore& s) { return s.WriteSerial(c, kSerial); },
       text([&](const SealedStore& s, std::string* v) { return s.ReadSerial(c, v); }, kSerial)},
      {"install folder", kCommonKey, "value02", Key::Site, std::string("D:\\Agent Files") + '\0',
       [&](const SealedStore& s) { return s.WriteInstallFolder(c, u"D:\\Agent Files") ? 0 : 1; },
       [&](const SealedStore& s) {
         std::u16string folder;
         EXPECT_TRUE(s.ReadInstallFolder(c, &folder));
         EXPECT_EQ(folder, u"D:\\Agent Files");
       }},
      {"client ID", kCommonKey, "value01", Key::Site, Le(0x01020304, 4),
       [&](const SealedStore& s) { return s.WriteClientId(c, 0x01020304); },
       dword([&](const SealedStore& s, uint32_t* v) { return s.ReadClientId(c, v); }, 0x01020304)},
      {"server", kCommonKey, "value03", Key::Site, std::string("10.1.2.3") + '\0',
       [&](const SealedStore& s) { return s.WriteServer(c, "10.1.2.3"); },
       text([&](const SealedStore& s, std::string* v) { return s.ReadServer(c, v); }, "10.1.2.3")},
      {"PC keeper server", kCommonKey, "value11", Key::Site, std::string("pk.example") + '\0',
       [&](const SealedStore& s) { return s.WritePkServer(c, "pk.example"); },
       text([&](const SealedStore& s, std::string* v) { return s.ReadPkServer(c, v); }, "pk.example")},
      {"HTTP port", kCommonKey, "value04", Key::Site, Le(8080, 4),
       [&](const SealedStore& s) { return s.WriteHttpPort(c, 8080); },
       dword([&](const SealedStore& s, uint32_t* v) { return s.ReadHttpPort(c, v); }, 8080)},
      {"HTTPS port", kCommonKey, "value05", Key::Site, Le(8443, 4),
       [&](const SealedStore& s) { return s.WriteHttpsPort(c, 8443); },
       dword([&](const SealedStore& s, uint32_t* v) { return s.ReadHttpsPort(c, v); }, 8443)},
      {"menu", kCommonKey, "value12", Key::Site, Le(0x1F, 4),
       [&](const SealedStore& s) { return s.WriteMenu(c, 0x1F); },
       dword([&](const SealedStore& s, uint32_t* v) { return s.ReadMenu(c, v); }, 0x1F)},
      {"config digest", kCommonKey, "value09", Key::Site, Bytes(d9),
       [&](const SealedStore& s) { return s.WriteConfigDigest(c, d9); },
       digest([&](const SealedStore& s, Digest* v) { return s.ReadConfigDigest(c, v); }, d9)},
      {"definition digest", kCommonKey, "value10", Key::Site, Bytes(d10),
       [&](const SealedStore& s) { return s.WriteDefinitionDigest(c, d10); },
       digest([&](const SealedStore& s, Digest* v) { return s.ReadDefinitionDigest(c, v); }, d10)},
      {"PC keeper slot", kPcKeeperKey, "slot01", Key::Site, std::string("pk.example") + '\0',
       [&](const SealedStore& s) { return s.WritePcKeeperServer(pk, "pk.example"); }, nullptr},
      {"agent build", kAgentKey, "value05", Key::Site, Le(417, 4),
       [&](const SealedStore& s) { return s.WriteAgentBuild(a, 417); },
       dword([&](const SealedStore& s, uint32_t* v) { return s.ReadAgentBuild(a, v); }, 417)},
      {"config checksum", kAgentKey, "value21", Key::Site, Bytes(d21),
       [&](const SealedStore& s) { return s.WriteConfigChecksum(a, d21); },
       digest([&](const SealedStore& s, Digest* v) { return s.ReadConfigChecksum(a, v); }, d21)},
      {"plain download", kAgentKey, "value25", Key::Site, Le(1, 4), nullptr,
       dword([&](const SealedStore& s, uint32_t* v) { return s.ReadPlainDownload(a, v); }, 1)},
      {"unsent text, UTF-16 with its terminator", kAgentKey, "value17", Key::Site,
       std::string("a\0\x31\xAC\0\0", 6), [&](const SealedStore& s) { return s.WriteUnsentText(a, u"a\uAC31"); },
       nullptr},
      {"unsent kind", kAgentKey, "value18", Key::Site, Le(0x0A0B0C0D, 4),
       [&](const SealedStore& s) { return s.WriteUnsentKind(a, 0x0A0B0C0D); }, nullptr},
      {"unsent time", kAgentKey, "value19", Key::Site, Le(0x0102030405060708ull, 8),
       [&](const SealedStore& s) { return s.WriteUnsentTime(a, 0x0102030405060708ull); }, nullptr},
  };
  ctx_.store.SetSiteSerial(kSerial);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    qzAES& expected = r.sealedWith == Key::Base ? base_ : site_;
    if (r.write) {
      ASSERT_EQ(r.write(ctx_.store), 0);
      DWORD type = 0;
      const auto raw = Raw(r.key, r.value, &type);
      ASSERT_TRUE(raw);
      EXPECT_EQ(type, REG_BINARY);
      EXPECT_EQ(Open(expected, *raw), r.plain);
    }
    if (r.read) {
      SetRaw(r.key, r.value, REG_BINARY, Seal(expected, r.plain));
      r.read(ctx_.store);
    }
  }
}

TEST_F(SealedStoreTest, StoredConfigFileIsSealedUnderTheBaseKey) {
  ctx_.store.SetSiteSerial(kSerial);
  const std::string text = "<tarlinLMV><serial>SN-0042</serial></tarlinLMV>";
  CreateFolderPath(u"C:\\Agent");
  ASSERT_EQ(ctx_.store.SaveConfigFile("C:\\Agent\\server.cfg", text), 0);
  std::string back;
  ASSERT_EQ(base_.LoadEncrypted("C:\\Agent\\server.cfg", &back, 4096), 0);
  EXPECT_EQ(back, text);

  ASSERT_EQ(base_.SaveEncrypted("C:\\Agent\\other.cfg", "<other/>"), 0);
  ASSERT_EQ(ctx_.store.LoadConfigFile("C:\\Agent\\other.cfg", &back, 4096), 0);
  EXPECT_EQ(back, "<other/>");
}

TEST_F(SealedStoreTest, SiteKeyBeforeAnySerialAndForTheEmptySerial) {
  // Never keyed: the all-zero key and IV of a fresh cipher, which opens nothing sealed by a password.
  qzAES unkeyed;
  SealedStore fresh;
  ASSERT_EQ(fresh.WriteServer(common_, "10.0.0.7"), 0);
  EXPECT_EQ(Open(unkeyed, *Raw(kCommonKey, "value03")), std::string("10.0.0.7") + '\0');
  SetRaw(kCommonKey, "value02", REG_BINARY, Seal(unkeyed, std::string("E:\\KSM") + '\0'));
  std::u16string folder;
  ASSERT_TRUE(fresh.ReadInstallFolder(common_, &folder));
  EXPECT_EQ(folder, u"E:\\KSM");
  // The serial stays under the base key meanwhile.
  ASSERT_EQ(fresh.WriteSerial(common_, "S"), 0);
  EXPECT_EQ(Open(base_, *Raw(kCommonKey, "value06")), std::string("S") + '\0');

  // The empty serial is a site of its own: the base key.
  fresh.SetSiteSerial("");
  ASSERT_EQ(fresh.WriteServer(common_, "10.0.0.8"), 0);
  EXPECT_EQ(Open(base_, *Raw(kCommonKey, "value03")), std::string("10.0.0.8") + '\0');
}

TEST_F(SealedStoreTest, SiteKeyIsRebuiltOnlyWhenTheSerialChanges) {
  SealedStore& store = ctx_.store;
  store.SetSiteSerial("SN-A");
  ASSERT_EQ(store.WriteServer(common_, "10.0.0.1"), 0);
  ASSERT_EQ(store.WriteSerial(common_, "SN-A"), 0);
  // The keys depend on the volume serial: a key built again from here on differs from the first.
  ChangeVolumeSerial();
  auto readsFirstServer = [&] {
    std::string server;
    return store.ReadServer(common_, &server) == 0 && server == "10.0.0.1";
  };

  store.SetSiteSerial("SN-A");
  EXPECT_TRUE(readsFirstServer()) << "the same serial rebuilt the site key";
  std::string serial;
  EXPECT_EQ(store.ReadSerial(common_, &serial), 0);
  EXPECT_EQ(serial, "SN-A");

  store.SetSiteSerial("SN-B");
  EXPECT_FALSE(readsFirstServer()) << "another serial kept the old site key";
  // Back to the first serial: built afresh, now on the changed volume.
  store.SetSiteSerial("SN-A");
  EXPECT_FALSE(readsFirstServer());
  qzAES now;
  now.SetPassword("SN-A");
  ASSERT_EQ(store.WriteServer(common_, "10.0.0.2"), 0);
  EXPECT_EQ(Open(now, *Raw(kCommonKey, "value03")), std::string("10.0.0.2") + '\0');
}

}  // namespace
