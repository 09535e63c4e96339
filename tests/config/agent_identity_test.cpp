// The agent GUID and its backup, the client ID reset and the installer's GUID step.
#include "config/agent_identity.h"

#include <gtest/gtest.h>

#include "config/fault_registry.h"
#include "config/registry_layout.h"
#include "config_fixture.h"

namespace {

using namespace qz;
using namespace win;
using qztest::ConfigTest;
using qztest::FaultRegistry;

constexpr char kGuidA[] = "0a1b2c3d4e5f6a7b0123456789ABCDEF";
constexpr char kBackup[] = "11111111222233334444555566667777";
constexpr char kStored[] = "aaaaaaaabbbbccccDDDDEEEEFFFF0000";

class FakeCom : public ICom {
 public:
  bool fail = false;
  int calls = 0;
  HRESULT CoCreateGuid(GUID* g) override {
    ++calls;
    if (fail) return E_FAIL;
    g->Data1 = 0x0A1B2C3D;
    g->Data2 = 0x4E5F;
    g->Data3 = 0x6A7B;
    const BYTE d4[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    std::copy(d4, d4 + 8, g->Data4);
    return S_OK;
  }
};

class AgentIdentityTest : public ConfigTest {
 protected:
  AgentIdentityTest() {
    auto com = std::make_unique<FakeCom>();
    com_ = com.get();
    platform_.SetCom(std::move(com));
    CommonRegKey common;
    EXPECT_EQ(CreateKeyTree(&common), 0);
  }
  std::optional<std::string> Stored() { return Raw(kCommonKey, "value08"); }
  std::optional<std::string> Backup() { return Raw(kBackupKey, "UUID"); }

  FakeCom* com_;
};

TEST_F(AgentIdentityTest, GuidText) {
  GUID g;
  ASSERT_EQ(com_->CoCreateGuid(&g), S_OK);
  EXPECT_EQ(FormatAgentGuid(g), kGuidA);
}

TEST_F(AgentIdentityTest, UpdaterGetAgentGuid) {
  struct Row {
    const char* what;
    std::optional<std::string> stored, backup;
    bool comFails;
    std::string guid;
    std::optional<std::string> storedAfter, backupAfter;
    const char* line;
    DWORD storedType = REG_SZ;
  };
  const std::string zeros = kZeroAgentGuid;
  const std::string dword5("\x05\0\0\0", 4);
  const Row rows[] = {
      {"value08 wins", kStored, kBackup, false, kStored, kStored, kBackup, "ID from reg: aaaaaaaa"},
      {"backup used, value08 stays absent", std::nullopt, kBackup, false, kBackup, std::nullopt, kBackup,
       "Using backup GUID: 1111"},
      {"both absent: one new GUID in both", std::nullopt, std::nullopt, false, kGuidA, kGuidA, kGuidA,
       "Backup GUID - OK"},
      {"CoCreateGuid fails: zeros in value08, no backup", std::nullopt, std::nullopt, true, zeros, zeros,
       std::nullopt, "Fail to generate agent ID"},
      {"zeros in value08 count as missing", zeros, std::nullopt, false, kGuidA, kGuidA, kGuidA, "ID from GUID: 0a1b"},
      {"zeros in value08 give way to the backup", zeros, kBackup, false, kBackup, kBackup, kBackup,
       "Using backup GUID"},
      {"zeros in the backup count as missing", std::nullopt, zeros, false, kGuidA, kGuidA, kGuidA, "ID from GUID"},
      {"a REG_DWORD value08 gives way to the backup and is repaired", dword5, kBackup, false, kBackup, kBackup,
       kBackup, "Using backup GUID", REG_DWORD},
      {"a REG_DWORD value08 without a backup: a new GUID", dword5, std::nullopt, false, kGuidA, kGuidA, kGuidA,
       "ID from GUID", REG_DWORD},
      {"31 characters count as missing", "aaaaaaaabbbbccccDDDDEEEEFFFF000", kBackup, false, kBackup, kBackup, kBackup,
       "Using backup GUID"},
      {"a character that is not hexadecimal counts as missing", "aaaaaaaabbbbccccDDDDEEEEFFFF000g", kBackup, false,
       kBackup, kBackup, kBackup, "Using backup GUID"},
      {"a damaged backup counts as missing", std::nullopt, "1111-2222", false, kGuidA, kGuidA, kGuidA, "ID from GUID"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    Registry().SHDeleteKeyW(HKEY_LOCAL_MACHINE, kBackupKey);
    RegKey common;
    ASSERT_EQ(Registry().RegOpenKeyW(HKEY_LOCAL_MACHINE, kCommonKey, common.put()), 0);
    Registry().RegDeleteValueW(common.get(), u"value08");
    if (r.stored) SetRaw(kCommonKey, "value08", r.storedType, *r.stored);
    if (r.backup) SetRaw(kBackupKey, "UUID", REG_SZ, *r.backup);
    com_->fail = r.comFails;
    log_.Clear();
    ConfigContext ctx;
    ctx.logger = &log_;
    GetAgentGUID(ctx);
    EXPECT_EQ(ctx.settings.agentGuid, r.guid);
    DWORD type = 0;
    EXPECT_EQ(Raw(kCommonKey, "value08", &type), r.storedAfter);
    if (r.storedAfter) {
      EXPECT_EQ(type, REG_SZ);
    }
    EXPECT_EQ(Backup(), r.backupAfter);
    EXPECT_TRUE(log_.Has(r.line)) << log_.text();
  }
}

TEST_F(AgentIdentityTest, AFailedGuidIsReplacedByTheNextRun) {
  com_->fail = true;
  ConfigContext first;
  GetAgentGUID(first);
  // Nothing to back up: the run goes on without writing zeros there.
  EXPECT_TRUE(EnsureBackupGuid(first));
  EXPECT_EQ(Backup(), std::nullopt);
  EXPECT_EQ(Stored(), std::string(kZeroAgentGuid));

  com_->fail = false;
  ConfigContext second;
  GetAgentGUID(second);
  EXPECT_EQ(second.settings.agentGuid, kGuidA);
  EXPECT_EQ(Stored(), std::string(kGuidA));
  EXPECT_EQ(Backup(), std::string(kGuidA));
}

TEST_F(AgentIdentityTest, BackupCheck) {
  ConfigContext ctx;
  ctx.settings.agentGuid = kStored;
  EXPECT_TRUE(EnsureBackupGuid(ctx));
  EXPECT_EQ(Backup(), std::string(kStored));
  // An existing backup is never replaced.
  ctx.settings.agentGuid = kGuidA;
  EXPECT_TRUE(EnsureBackupGuid(ctx));
  EXPECT_EQ(Backup(), std::string(kStored));

  Registry().SHDeleteKeyW(HKEY_LOCAL_MACHINE, kBackupKey);
  FaultRegistry::Install().failKeys.insert(kBackupKey);
  EXPECT_FALSE(EnsureBackupGuid(ctx));
  FaultRegistry::Uninstall();
}

TEST_F(AgentIdentityTest, GetAgentGuidLogsAFailedBackupWrite) {
  FaultRegistry::Install().failKeys.insert(kBackupKey);
  GetAgentGUID(ctx_);
  FaultRegistry::Uninstall();
  EXPECT_TRUE(log_.Has("Backup GUID - Failed")) << log_.text();
  EXPECT_EQ(Stored(), std::string(kGuidA));
}

TEST_F(AgentIdentityTest, ClientIdReset) {
  CommonRegKey common;
  ASSERT_EQ(Registry().RegOpenKeyW(HKEY_LOCAL_MACHINE, kCommonKey, common.put()), 0);
  ctx_.store.SetSiteSerial("SN");
  ASSERT_EQ(ctx_.store.WriteClientId(common, 5), 0);
  ctx_.settings.clientId = 5;
  ASSERT_TRUE(SetClientID(ctx_));
  EXPECT_EQ(ctx_.settings.clientId, 0u);
  uint32_t id = 99;
  EXPECT_EQ(ctx_.store.ReadClientId(common, &id), 0);
  EXPECT_EQ(id, 0u);

  ctx_.settings.clientId = 5;
  auto& fault = FaultRegistry::Install();
  fault.failValues.insert(u"value01");
  EXPECT_FALSE(SetClientID(ctx_));
  EXPECT_EQ(ctx_.settings.clientId, 5u);
  EXPECT_TRUE(log_.Has("Fail to write client ID: 5 ")) << log_.text();
  fault.failValues.clear();
  fault.failKeys.insert(kCommonKey);
  EXPECT_FALSE(SetClientID(ctx_));
  EXPECT_TRUE(log_.Has("레지스트리 열기 오류: 5")) << log_.text();
  FaultRegistry::Uninstall();
}

TEST_F(AgentIdentityTest, InstallerGuidStep) {
  struct Row {
    const char* what;
    std::optional<std::string> backup;
    bool comFails;
    std::optional<std::string> storedAfter, backupAfter;
  };
  const Row rows[] = {
      {"an existing backup survives, value08 untouched", kBackup, false, std::nullopt, kBackup},
      {"no backup: a new GUID in both", std::nullopt, false, kGuidA, kGuidA},
      {"CoCreateGuid fails: zeros, no backup", std::nullopt, true, std::string(kZeroAgentGuid), std::nullopt},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    Registry().SHDeleteKeyW(HKEY_LOCAL_MACHINE, kBackupKey);
    RegKey common;
    ASSERT_EQ(Registry().RegOpenKeyW(HKEY_LOCAL_MACHINE, kCommonKey, common.put()), 0);
    Registry().RegDeleteValueW(common.get(), u"value08");
    if (r.backup) SetRaw(kBackupKey, "UUID", REG_SZ, *r.backup);
    com_->fail = r.comFails;
    InstallerGuidStep();
    EXPECT_EQ(Stored(), r.storedAfter);
    EXPECT_EQ(Backup(), r.backupAfter);
  }
  // Without Common nothing is made.
  Registry().SHDeleteKeyW(HKEY_LOCAL_MACHINE, kProductKey);
  Registry().SHDeleteKeyW(HKEY_LOCAL_MACHINE, kBackupKey);
  com_->calls = 0;
  InstallerGuidStep();
  EXPECT_EQ(com_->calls, 0);
  EXPECT_EQ(Backup(), std::nullopt);
}

}  // namespace
