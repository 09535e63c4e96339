// qzUpdater's mode initialisation on simulated machines: install mode builds the agent's tree
// from the setup folder's server.cfg, the other modes read it back, and the early exits.
#include <gtest/gtest.h>

#include <optional>

#include "config/agent_identity.h"
#include "config/configure.h"
#include "config/fault_registry.h"
#include "config/installer_settings.h"
#include "config/registry_layout.h"
#include "logging/enc_logger.h"
#include "platform/file_util.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "support/host_files.h"
#include "support/peers.h"
#include "support/test_machine.h"
#include "updater/entry.h"
#include "updater/messages.h"

using namespace qz;

namespace {

using namespace win;
using qztest::FaultRegistry;
using qztest::TestMachine;

constexpr char16_t kSetup[] = u"C:\\bc8f992f5df34654945e6e32a5aa400c";
constexpr char16_t kUpdater[] = u"C:\\bc8f992f5df34654945e6e32a5aa400c\\qzUpdater.exe";
constexpr char16_t kInstall[] = u"C:\\Program Files (x86)\\varnholt\\KSM";
constexpr int kNoCommon = kExitInitializeBase - 3001;

std::u16string Cmd(std::u16string_view args) { return u"\"" + std::u16string(kUpdater) + u"\" " + std::u16string(args); }

std::string PlainConfig(int httpPort, int httpsPort) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<tarlinLMV version=\"3.0\">\n  <serial>VH-2024-0001</serial>\n"
         "  <server>127.0.0.1</server>\n  <pk_server>127.0.0.2</pk_server>\n  <port>" +
         std::to_string(httpPort) + "</port>\n  <ssl>" + std::to_string(httpsPort) + "</ssl>\n</tarlinLMV>";
}

void PutFile(std::u16string_view path, std::string_view bytes) {
  CreateFolderPath(path.substr(0, path.rfind(u'\\')));
  HANDLE h = Files().CreateFileW(path, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  Files().WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written);
  CloseHandle(h);
}

std::vector<std::u16string> LogFiles(std::u16string_view folder) {
  std::vector<std::u16string> out;
  WIN32_FIND_DATAW found;
  HANDLE find = Files().FindFirstFileW(std::u16string(folder) + u"\\logs\\*.log", &found);
  if (find == INVALID_HANDLE_VALUE) return out;
  do out.push_back(std::u16string(folder) + u"\\logs\\" + found.cFileName);
  while (Files().FindNextFileW(find, &found));
  Files().FindClose(find);
  return out;
}

// The decrypted text of every log file in folder\logs.
std::string LogText(std::u16string_view folder) {
  std::string text;
  for (const auto& path : LogFiles(folder)) {
    HANDLE h = Files().CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    std::vector<uint8_t> bytes(1 << 16);
    DWORD got = 0;
    EncLogReader reader;
    while (Files().ReadFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &got) && got)
      reader.Feed(std::span(bytes.data(), got));
    CloseHandle(h);
    reader.Finish();
    text += reader.TakeText();
  }
  return text;
}

bool KeyExists(std::u16string_view key, REGSAM view = 0) {
  HKEY k = nullptr;
  if (Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | view, &k)) return false;
  Registry().RegCloseKey(k);
  return true;
}

std::string ValueNames(std::u16string_view key) {
  std::string out;
  HKEY k = nullptr;
  if (Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &k)) return "<no key>";
  char16_t name[64];
  for (DWORD i = 0;; ++i) {
    DWORD cch = 64;
    if (Registry().RegEnumValueW(k, i, name, &cch, nullptr, nullptr, nullptr)) break;
    out += (out.empty() ? "" : " ") + WideToUtf8(std::u16string_view(name, cch));
  }
  Registry().RegCloseKey(k);
  return out;
}

TEST(UpdaterInit, InstallModeBuildsTheAgentTreeFromTheSetupFolder) {
  // The run asks the server for its settings; a live one answers at once.
  qztest::HostDir dir;
  qztest::MakeCertificate(dir);
  qztest::QzServer server(dir);
  ASSERT_GT(server.httpsPort, 0);
  TestMachine m("win10-x64");
  m.Install("qzUpdater", kUpdater);
  m.Enter(u"C:\\test\\probe.exe", 32);
  PutFile(std::u16string(kSetup) + u"\\server.cfg", PlainConfig(server.httpPort, server.httpsPort));

  // The setup folder carries no agent files, so the module work fails and says so.
  EXPECT_EQ(m.Run(Cmd(u"--install"), kSetup), kExitDone);
  ASSERT_EQ(m.Journal().size(), 1u);
  EXPECT_EQ(m.Journal()[0].text, WideToUtf8(kTextInstallFailed));

  // The 32-bit view of a 64-bit machine.
  EXPECT_TRUE(KeyExists(u"SOFTWARE\\WOW6432Node\\Varnholt\\KSM\\Common", KEY_WOW64_64KEY));
  EXPECT_FALSE(KeyExists(u"SOFTWARE\\Varnholt", KEY_WOW64_64KEY));
  // value01, the client id, comes from the server's answer to the bind.
  EXPECT_EQ(ValueNames(kCommonKey), "value06 value03 value11 value04 value05 value12 value02 value09 value08 value01");
  const std::string exported = qztest::RunWinsim({"reg", m.root(), "export", "HKLM\\SOFTWARE\\WOW6432Node\\Varnholt"});
  EXPECT_NE(exported.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Varnholt\\KSM\\PcKeeper]\n\"slot01\" = "
                          "REG_BINARY: 16 bytes"),
            std::string::npos)
      << exported;

  ConfigContext ctx;
  ASSERT_EQ(ReadSiteSettings(ctx), 0);
  EXPECT_EQ(ctx.settings.serial, "VH-2024-0001");
  EXPECT_EQ(ctx.settings.installFolder, kInstall);
  EXPECT_EQ(ctx.settings.server, "127.0.0.1");
  EXPECT_EQ(ctx.settings.pkServer, "127.0.0.2");
  EXPECT_EQ(ctx.settings.httpPort, server.httpPort);
  EXPECT_EQ(ctx.settings.httpsPort, server.httpsPort);
  EXPECT_EQ(ctx.settings.menu, 0xF0u);

  // The stored server.cfg in the install folder, and its digest in value09.
  const std::string stored = WideToAnsi(std::u16string(kInstall) + u"\\server.cfg");
  std::string text;
  ASSERT_EQ(ctx.store.LoadConfigFile(stored, &text, 4096), 0);
  EXPECT_EQ(text, FormatServerConfig("VH-2024-0001", "127.0.0.1", "127.0.0.2", server.httpPort, server.httpsPort, 0xF0,
                                     kUpdaterMenuFormat));
  Digest digest{};
  ASSERT_TRUE(DigestFile(std::string_view(stored), &digest));
  EXPECT_EQ(ctx.settings.configDigest, digest);

  // The log in the install folder's logs, opened at level 0.
  ASSERT_EQ(LogFiles(kInstall).size(), 1u);
  const std::string log = LogText(kInstall);
  EXPECT_NE(log.find("{{AgentInfo::ReadConfigure}} [C"), std::string::npos) << log;
  EXPECT_NE(log.find("ID from GUID: "), std::string::npos) << log;

  // The GUID in both places; every later mode starts from this tree.
  GetAgentGUID(ctx);
  std::string backup(32, '\0');
  HKEY k = nullptr;
  ASSERT_EQ(Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, kBackupKey, 0, KEY_READ, &k), 0);
  DWORD size = 32;
  ASSERT_EQ(Registry().RegQueryValueExA(k, "UUID", nullptr, reinterpret_cast<BYTE*>(backup.data()), &size), 0);
  Registry().RegCloseKey(k);
  EXPECT_EQ(backup, ctx.settings.agentGuid);
  EXPECT_EQ(m.Run(Cmd(u"--chksvc")), kExitDone);
  EXPECT_NE(LogText(kInstall).find("ID from reg: " + backup), std::string::npos);
}

TEST(UpdaterInit, InstallModeRefusesAServerCfgWithoutSerial) {
  TestMachine m("win10-x64");
  m.Install("qzUpdater", kUpdater);
  m.Enter(u"C:\\test\\probe.exe", 32);
  PutFile(std::u16string(kSetup) + u"\\server.cfg", "<tarlinLMV><server>127.0.0.1</server></tarlinLMV>");
  EXPECT_EQ(m.Run(Cmd(u"--install"), kSetup), kExitPrepareFailed);
  const auto journal = m.Journal();
  ASSERT_EQ(journal.size(), 1u);
  EXPECT_EQ(journal[0].text, WideToUtf8(kTextPrepareFailed));
  EXPECT_EQ(journal[0].caption, WideToUtf8(kCaptionError));
  // Refused before the agent's tree is touched: none was made either.
  EXPECT_EQ(ValueNames(kCommonKey), "<no key>");
  EXPECT_NE(LogText(kInstall).find("[  FATAL]"), std::string::npos);
  EXPECT_NE(LogText(kInstall).find("제품 시리얼 정보를 알 수 없어 설치를 중단함"), std::string::npos);
}

// Over an agent's tree: a server.cfg that cannot rebuild it leaves it as it was.
TEST(UpdaterInit, InstallModeKeepsTheAgentTreeWhenTheSetupServerCfgIsUnusable) {
  qztest::HostDir dir;
  qztest::MakeCertificate(dir);
  qztest::QzServer server(dir);
  ASSERT_GT(server.httpsPort, 0);
  TestMachine m("win10-x64");
  m.Install("qzUpdater", kUpdater);
  m.Enter(u"C:\\test\\probe.exe", 32);
  const std::u16string cfg = std::u16string(kSetup) + u"\\server.cfg";
  PutFile(cfg, PlainConfig(server.httpPort, server.httpsPort));
  ASSERT_EQ(m.Run(Cmd(u"--install"), kSetup), kExitDone);
  auto tree = [&] {
    return qztest::RunWinsim({"reg", m.root(), "export", "HKLM\\SOFTWARE\\WOW6432Node\\Varnholt"}) +
           qztest::RunWinsim({"reg", m.root(), "export", "HKLM\\SYSTEM\\Software\\Varnholt"});
  };
  const std::string before = tree();
  ASSERT_NE(before.find("value06"), std::string::npos) << before;
  ASSERT_NE(before.find("UUID"), std::string::npos) << before;

  struct Row {
    const char* what;
    std::optional<std::string> file;
  };
  const std::string valid = PlainConfig(server.httpPort, server.httpsPort);
  const Row rows[] = {
      {"no server.cfg", std::nullopt},
      {"not XML", "serial=VH-2024-0001"},
      {"no serial", "<tarlinLMV><server>127.0.0.1</server></tarlinLMV>"},
      {"a server address longer than its field",
       "<tarlinLMV><serial>VH-2024-0001</serial><server>" + std::string(80, 'h') + "</server></tarlinLMV>"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    Files().DeleteFileW(cfg);
    if (r.file) PutFile(cfg, *r.file);
    const size_t boxes = m.Journal().size();
    EXPECT_EQ(m.Run(Cmd(u"--install"), kSetup), kExitPrepareFailed);
    const auto journal = m.Journal();
    ASSERT_EQ(journal.size(), boxes + 1);
    EXPECT_EQ(journal.back().text, WideToUtf8(kTextPrepareFailed));
    EXPECT_EQ(tree(), before);
  }
  // The refusal is in the agent's log.
  EXPECT_NE(LogText(kInstall).find("제품 시리얼 정보를 알 수 없어 설치를 중단함"), std::string::npos);
}

TEST(UpdaterInit, OtherModesOnAFreshMachineStopBeforeAnyLog) {
  TestMachine m("win10-x64");
  m.Install("qzUpdater", kUpdater);
  for (auto args : {u"", u"--update", u"--uninstall", u"--stopMe", u"--restart"}) {
    SCOPED_TRACE(WideToUtf8(args));
    EXPECT_EQ(m.Run(Cmd(args)), kNoCommon);
  }
  EXPECT_EQ(Files().GetFileAttributesW(u"C:\\Program Files (x86)\\varnholt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(m.Journal().empty());
}

TEST(UpdaterInit, WhatTheInstallerWritesTheUpdaterReadsOnThatMachineOnly) {
  TestMachine m("win10-x64");
  m.Install("qzUpdater", kUpdater);
  m.Enter(u"C:\\bc8f992f5df34654945e6e32a5aa400c\\qzSetup.exe", 32);
  PutFile(std::u16string(kSetup) + u"\\server.cfg",
          "<tarlinLMV><serial>VH-2024-0001</serial><server>127.0.0.1</server><productkind>std</productkind>"
          "<msg>m</msg><showui>true</showui></tarlinLMV>");
  ConfigContext installer;
  InstallerSettings settings;
  ASSERT_EQ(ReadInstallerSettings(WideToAnsi(std::u16string(kSetup) + u"\\server.cfg"), &settings), 0);
    ASSERT_EQ(InstallerRegistryStep(installer, settings, kInstall), 0);
  CreateFolderPath(kInstall);
  ASSERT_EQ(WriteInstallerServerConfig(installer, settings, kInstall), 0);

  EXPECT_EQ(m.Run(Cmd(u"--chksvc")), kExitDone);
  EXPECT_EQ(LogFiles(kInstall).size(), 1u);

  // The same registry on a machine whose system volume has another serial.
  std::u16string label;
  DWORD serial = 0;
  ASSERT_TRUE(Files().GetVolumeInformationW(u"C:\\", &label, &serial));
  int status = -1;
  qztest::RunWinsim({"set", m.root(), "volume", "C", FmtA("%08X", serial ^ 0x00FF0000u), "present"}, &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(m.Run(Cmd(u"--chksvc")), kExitInitializeBase - 3003);
}

TEST(UpdaterInit, OutdatedInformalSwPolicyIsDeletedBeforeAnythingElse) {
  struct Row {
    const char* what;
    bool secondHasSlot;
    bool kept;
  };
  const Row rows[] = {{"every entry has slot01", true, true}, {"the second lacks it", false, false}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    TestMachine m("win10-x64");
    m.Install("qzUpdater", kUpdater);
    m.Enter(u"C:\\test\\probe.exe", 32);
    for (int i = 0; i < 3; ++i) {
      RegKey entry;
      ASSERT_EQ(OpenOrCreateKey(std::u16string(kPolicyInformalSwKey) + u"\\" + char16_t(u'a' + i), entry.put()), 0);
      const bool has = i != 1 || r.secondHasSlot;
      Registry().RegSetValueExA(entry.get(), has ? "slot01" : "slot02", REG_SZ, reinterpret_cast<const BYTE*>("x"), 2);
    }
    EXPECT_EQ(m.Run(Cmd(u"--update")), kNoCommon);
    EXPECT_EQ(KeyExists(kPolicyInformalSwKey), r.kept);
  }
}

// The early exits that need a registry which refuses a write, run in-process as the updater.
TEST(UpdaterInit, ExitsWhenThePolicyOrTheBackupCannotBeWritten) {
  struct Row {
    const char* what;
    std::u16string failKey, failDelete;
    bool outdatedPolicy;
    int exit;
  };
  const Row rows[] = {
      {"an outdated policy that cannot be deleted", u"", kPolicyInformalSwKey, true, kExitInformalSwPolicy},
      {"a backup GUID that cannot be written", kBackupKey, u"", false, kExitBackupGuid},
      {"both writable", u"", u"", true, kExitDone},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    TestMachine m("win10-x64");
    m.Enter(kUpdater, 32);
    PutFile(std::u16string(kSetup) + u"\\server.cfg",
            "<tarlinLMV><serial>S</serial><server>127.0.0.1</server><productkind>k</productkind><msg>m</msg>"
            "<showui>u</showui></tarlinLMV>");
    ConfigContext installer;
    InstallerSettings settings;
    ASSERT_EQ(ReadInstallerSettings(WideToAnsi(std::u16string(kSetup) + u"\\server.cfg"), &settings), 0);
    ASSERT_EQ(InstallerRegistryStep(installer, settings, kInstall), 0);
    Registry().SHDeleteKeyW(HKEY_LOCAL_MACHINE, kBackupKey);
    if (r.outdatedPolicy) {
      RegKey entry;
      ASSERT_EQ(OpenOrCreateKey(std::u16string(kPolicyInformalSwKey) + u"\\a", entry.put()), 0);
    }
    auto& fault = FaultRegistry::Install();
    if (!r.failKey.empty()) fault.failKeys.insert(r.failKey);
    if (!r.failDelete.empty()) fault.failDeletes.insert(r.failDelete);
    EXPECT_EQ(UpdaterMain(u"--chksvc"), r.exit);
    FaultRegistry::Uninstall();
  }
}

}  // namespace
