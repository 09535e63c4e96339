// Site installers for the install flow's end-to-end tests: an agent release published with
// qzpack release (the stand-ins play the agent), a qzserver serving it on loopback, and installers
// built from the compiled qzSetup with qzpack setup, each with its own settings document.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/registry_layout.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "support/host_files.h"
#include "support/peers.h"
#include "support/test_machine.h"

namespace qztest {

inline constexpr char16_t kSiteSetupFolder[] = u"C:\\bc8f992f5df34654945e6e32a5aa400c";
inline constexpr char16_t kSiteInstaller[] = u"C:\\test\\qzSetup.exe";

struct SettingsDocument {
  std::string serial = "VH-2024-0001";
  std::string productKind = "V3-2";
  std::string showUi = "true";  // empty: no showui element
  std::string companyName;
  std::string pkServer;
  std::string extra;  // more elements, as XML
  std::string whole;  // when set, the document's whole text instead
};

class SiteRelease {
 public:
  HostDir dir;
  std::unique_ptr<QzServer> server;

  // Certificates, build 330 of the stand-in agent published, the server started. The agent does
  // without mfc110u.dll, so that a planted one shows where it would be copied.
  void Make() {
    server = StartPublisher(dir);
    if (!server || testing::Test::HasFatalFailure()) return;
    const std::string qzpack = BuiltProgram("qzpack");
    for (const char* f : {"qzAgentUtil.dll", "qzClientInfo.dll", "qzCrypto.dll", "qzLogger.dll", "qzNSI.dll",
                          "qzPatchMan.dll", "qzSecureZip.dll", "qzCommon.dll", "qzIPC.dll", "qzWebQuery.dll",
                          "msvcp110.dll", "msvcr110.dll"}) {
      WriteHostFile(dir / (std::string("agent/") + f), std::string("stand-in ") + f + " of build 330");
    }
    for (const char* p : {"qzTarlinSvc", "lmvAgent", "lmvAssistant", "lmvKeeper", "qzNoticeView"}) {
      WriteHostFile(dir / (std::string("agent/") + p + ".exe"), ReadHostFile(BuiltProgram(p)));
    }
    WriteHostFile(dir / "agent/qzComDrv.dll", ReadHostFile(BuiltProgram("qzComDrv.dll")));
    WriteHostFile(dir / "agent/qzUpdater.exe", ReadHostFile(BuiltProgram("qzUpdater")));
    ASSERT_EQ(RunHost({qzpack, "release", "--agent", dir / "agent", "--build", "330", "--ca", dir / "pki/ca.pem",
                       "--fs-cert", dir / "pki/fs.crt", "--fs-key", dir / "pki/fs.key", "--out", dir / "release"}),
              0);
  }

  std::string Settings(const SettingsDocument& d) const {
    if (!d.whole.empty()) return d.whole;
    std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<setup>\n  <serial>" + d.serial + "</serial>\n"
                    "  <server>127.0.0.1</server>\n  <productkind>" + d.productKind + "</productkind>\n"
                    "  <msg>VH-KSM Agent</msg>\n";
    if (!d.showUi.empty()) x += "  <showui>" + d.showUi + "</showui>\n";
    if (!d.companyName.empty()) x += "  <companyName>" + d.companyName + "</companyName>\n";
    x += "  <pk_server>" + d.pkServer + "</pk_server>\n  <port>" + std::to_string(server->httpPort) + "</port>\n  <ssl>" +
         std::to_string(server->httpsPort) + "</ssl>\n" + d.extra + "</setup>\n";
    return x;
  }

  // An installer of this release with a build mode and settings document; extra payload files as
  // "HOSTFILE=NAME". Built once per mode and document.
  std::string Installer(const std::string& mode, const SettingsDocument& d, std::vector<std::string> files = {}) {
    const std::string settings = Settings(d);
    std::string key = mode + "|" + settings;
    for (const auto& f : files) key += "|" + f;
    if (auto it = built_.find(key); it != built_.end()) return it->second;
    const std::string n = std::to_string(built_.size());
    WriteHostFile(dir / ("settings" + n + ".cfg"), settings);
    const std::string out = dir / ("qzSetup" + n + ".exe");
    std::vector<std::string> args{BuiltProgram("qzpack"), "setup", "--program", BuiltProgram("qzSetup"), "--tool",
                                  BuiltProgram("7zr.exe"), "--mode", mode, "--level", "1", "--out", out, "--release",
                                  dir / "release", "--dir", BuiltProgram("drivers"),
                                  dir / ("settings" + n + ".cfg") + "=server.cfg",
                                  BuiltProgram("certmgr.exe") + "=certmgr.exe",
                                  // Documents the installer refuses are built on purpose.
                                  "--unchecked"};
    args.insert(args.end(), files.begin(), files.end());
    EXPECT_EQ(RunHost(args), 0) << "qzpack setup " << mode;
    return built_[key] = out;
  }

 private:
  std::map<std::string, std::string> built_;
};

// A test suite that shares one site release and its server; machines run at timeScale.
class SiteReleaseTest : public testing::Test {
 protected:
  static void StartRelease(const char* timeScale) {
    setenv("WINSIM_TIME_SCALE", timeScale, 1);
    release_ = new SiteRelease;
    release_->Make();
  }
  static void StopRelease() {
    delete release_;
    release_ = nullptr;
    unsetenv("WINSIM_TIME_SCALE");
  }
  void SetUp() override { ASSERT_TRUE(release_ && release_->server) << "the release could not be made"; }

  static inline SiteRelease* release_ = nullptr;
};

inline void Place(const TestMachine& m, const std::string& installer, std::u16string_view at = kSiteInstaller) {
  const std::string target = m.HostPath(at);
  std::filesystem::create_directories(std::filesystem::path(target).parent_path());
  std::filesystem::copy_file(installer, target, std::filesystem::copy_options::overwrite_existing);
}

// The installer's result value, "<none>" when it wrote none.
inline std::u16string Outcome() {
  using namespace win;
  HKEY key = nullptr;
  if (Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, qz::kInstallKey, 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS)
    return u"<none>";
  std::vector<BYTE> data(4096);
  DWORD size = static_cast<DWORD>(data.size()), type = 0;
  LONG rc = Registry().RegQueryValueExW(key, u"value01", &type, data.data(), &size);
  Registry().RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return u"<none>";
  std::u16string s(reinterpret_cast<const char16_t*>(data.data()), size / 2);
  while (!s.empty() && s.back() == 0) s.pop_back();
  return s;
}

// Message boxes the installer showed.
inline std::vector<TestMachine::JournalEntry> Boxes(const TestMachine& m) {
  std::vector<TestMachine::JournalEntry> out;
  for (const auto& e : m.Journal()) {
    if (e.kind == "MessageBox" && e.image == "qzSetup.exe") out.push_back(e);
  }
  return out;
}

inline bool Exists(std::u16string_view path) {
  return win::Files().GetFileAttributesW(path) != win::INVALID_FILE_ATTRIBUTES;
}

inline bool KeyExists(std::u16string_view path, win::REGSAM view) {
  win::HKEY k = nullptr;
  if (win::Registry().RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, path, 0, win::KEY_READ | view, &k)) return false;
  win::Registry().RegCloseKey(k);
  return true;
}

inline bool ServiceExists(std::u16string_view name) {
  using namespace win;
  SC_HANDLE scm = Services().OpenSCManagerW(u"", u"", SC_MANAGER_ALL_ACCESS);
  SC_HANDLE s = scm ? Services().OpenServiceW(scm, name, SERVICE_ALL_ACCESS) : nullptr;
  if (s) Services().CloseServiceHandle(s);
  if (scm) Services().CloseServiceHandle(scm);
  return s != nullptr;
}

// The agent's identifier as its backup under SYSTEM keeps it; empty when there is none.
inline std::string BackupGuid() {
  using namespace win;
  HKEY k = nullptr;
  if (Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, qz::kBackupKey, 0, KEY_READ, &k)) return "";
  std::vector<BYTE> data(512);
  DWORD size = static_cast<DWORD>(data.size());
  const bool found = Registry().RegQueryValueExW(k, u"UUID", nullptr, data.data(), &size) == ERROR_SUCCESS;
  Registry().RegCloseKey(k);
  if (!found) return "";
  std::u16string s(reinterpret_cast<const char16_t*>(data.data()), size / 2);
  while (!s.empty() && s.back() == 0) s.pop_back();
  return win::WideToUtf8(s);
}

inline bool BackupGuidPresent() { return !BackupGuid().empty(); }

// Certificates in the machine's root store (the 64-bit view, where certmgr.exe writes).
inline win::DWORD RootCertificates() {
  using namespace win;
  HKEY key = nullptr;
  if (Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\SystemCertificates\\Root\\Certificates", 0,
                               KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
    return 0;
  }
  DWORD n = 0;
  char16_t name[256];
  DWORD len = 256;
  while (Registry().RegEnumKeyExW(key, n, name, &len) == ERROR_SUCCESS) {
    ++n;
    len = 256;
  }
  Registry().RegCloseKey(key);
  return n;
}

// What stands at the setup folder's place before an installer runs: a folder as a crashed run
// leaves it, a folder whose rights let everyone in, or a junction to a folder elsewhere.
enum class PlantedSetup { Folder, ForeignRights, Junction };
inline constexpr char16_t kPlantedElsewhere[] = u"C:\\Users\\x\\planted";

// A folder whose access list lets everyone in, as a standard user could make one.
inline void CreateFolderOpenToEveryone(std::u16string_view path) {
  using namespace win;
  EXPLICIT_ACCESS_W everyone;
  everyone.grfAccessPermissions = GENERIC_ALL;
  everyone.grfAccessMode = SET_ACCESS;
  everyone.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  everyone.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  everyone.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  ASSERT_TRUE(AllocateAndInitializeSid(SECURITY_WORLD_SID_AUTHORITY, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                       &everyone.Trustee.ptstrName));
  ACL acl;
  ASSERT_EQ(SetEntriesInAclW({everyone}, nullptr, &acl), ERROR_SUCCESS);
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, &acl, FALSE));
  SECURITY_ATTRIBUTES sa;
  sa.lpSecurityDescriptor = &sd;
  ASSERT_TRUE(Files().CreateDirectoryW(path, &sa));
}

// Plants it and puts files ("NAME" → host file to copy) where the setup folder's path leads.
inline void PlantSetupFolder(const TestMachine& m, PlantedSetup how, const std::map<std::string, std::string>& files) {
  using namespace win;
  const std::string setup = m.HostPath(kSiteSetupFolder);
  std::filesystem::create_directories(m.HostPath(kPlantedElsewhere));
  if (how == PlantedSetup::Junction) {
    std::filesystem::create_directory_symlink(m.HostPath(kPlantedElsewhere), setup);
  } else if (how == PlantedSetup::ForeignRights) {
    CreateFolderOpenToEveryone(kSiteSetupFolder);
    if (::testing::Test::HasFatalFailure()) return;
  } else {
    std::filesystem::create_directories(setup);
  }
  for (const auto& [name, source] : files) {
    std::filesystem::copy_file(source, setup + "/" + name, std::filesystem::copy_options::overwrite_existing);
  }
}

// The only SID of the setup folder's access list; empty when it has none of its own.
inline std::u16string SetupFolderRights() {
  using namespace win;
  ACL dacl;
  BOOL present = FALSE;
  if (Files().GetNamedSecurityInfoW(kSiteSetupFolder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, &dacl, &present) !=
          ERROR_SUCCESS ||
      !present || dacl.Aces.size() != 1) {
    return u"";
  }
  return ConvertSidToStringSidW(dacl.Aces[0].Sid);
}

// Whether a planted certmgr.exe (the service program's stand-in, which notes its command line
// in the machine's journal) was started to import a certificate.
inline bool PlantedCertmgrRan(const TestMachine& m) {
  for (const auto& e : m.Journal()) {
    if (e.kind == "OutputDebugString" && e.text.find("-add") != std::string::npos) return true;
  }
  return false;
}

}  // namespace qztest
