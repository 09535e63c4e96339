// The pieces of the agent's removal: folder trees with files in use, the registry traces, the
// browser mark of old Windows, the end-of-mode folders and the legacy uninstaller.
#include "updater/uninstall.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "config/registry_layout.h"
#include "platform/winsim/reboot.h"
#include "platform/winsim/services.h"
#include "updater_fixture.h"

using namespace qz;
using namespace win;
using uptest::Count;
using uptest::UpdaterMachine;

namespace {

namespace fs = std::filesystem;

// The stop sequence's pauses run a hundred times faster.
const bool kTimeScaled = [] {
  setenv("WINSIM_TIME_SCALE", "0.01", 1);
  return true;
}();

winsim::Machine& MachineOf() { return dynamic_cast<winsim::WinsimPlatform&>(Platform::Current()).machine(); }

bool KeyExists(HKEY root, std::u16string_view path) {
  HKEY k = nullptr;
  if (Registry().RegOpenKeyExW(root, path, 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  Registry().RegCloseKey(k);
  return true;
}

void MakeKey(HKEY root, std::u16string_view path) {
  HKEY k = nullptr;
  ASSERT_EQ(Registry().RegCreateKeyW(root, path, &k), ERROR_SUCCESS) << WideToUtf8(path);
  Registry().RegCloseKey(k);
}

void SetText(HKEY root, std::u16string_view path, std::u16string_view name, std::u16string_view text) {
  HKEY k = nullptr;
  ASSERT_EQ(Registry().RegCreateKeyW(root, path, &k), ERROR_SUCCESS);
  std::u16string v(text);
  v.push_back(0);
  Registry().RegSetValueExW(k, name, REG_SZ, reinterpret_cast<const BYTE*>(v.data()), static_cast<DWORD>(v.size() * 2));
  Registry().RegCloseKey(k);
}

bool ValueExists(HKEY root, std::u16string_view path, std::u16string_view name) {
  HKEY k = nullptr;
  if (Registry().RegOpenKeyExW(root, path, 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  DWORD size = 0;
  const bool found = Registry().RegQueryValueExW(k, name, nullptr, nullptr, &size) == ERROR_SUCCESS;
  Registry().RegCloseKey(k);
  return found;
}

TEST(DeleteFolderTree, FilesInUseAreLeftForTheRestartAndTheRestGoesNow) {
  UpdaterMachine m;
  const std::u16string f = m.installFolder;
  m.Put(f + u"\\a.txt");
  m.Put(f + u"\\ro.txt");
  m.Put(f + u"\\sub\\deep\\b.txt");
  m.Put(f + u"\\inuse.dll");
  m.Put(f + u"\\logs\\open.log");
  fs::create_directories(m.Host(f + u"\\empty"));
  ASSERT_TRUE(Files().SetFileAttributesW(f + u"\\ro.txt", FILE_ATTRIBUTE_READONLY));
  qztest::RunWinsim({"lock", m.machine.root(), WideToUtf8(f + u"\\inuse.dll")});
  // Open by this process without delete sharing, as the updater's own log is.
  const HANDLE open = Files().CreateFileW(f + u"\\logs\\open.log", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL);
  ASSERT_NE(open, INVALID_HANDLE_VALUE);

  EXPECT_TRUE(DeleteFolderTree(*m.u, f, false));
  for (auto gone : {u"\\a.txt", u"\\ro.txt", u"\\sub", u"\\empty"}) EXPECT_FALSE(m.Exists(f + gone)) << WideToUtf8(gone);
  EXPECT_TRUE(m.Exists(f + u"\\inuse.dll"));
  EXPECT_TRUE(m.Exists(f + u"\\logs\\open.log"));

  CloseHandle(open);
  qztest::RunWinsim({"unlock", m.machine.root(), WideToUtf8(f + u"\\inuse.dll")});
  winsim::Reboot(MachineOf());
  EXPECT_FALSE(m.Exists(f));
  EXPECT_TRUE(m.Exists(u"C:\\Program Files (x86)\\varnholt"));  // only the tree itself
}

// Passes everything to the machine's file system, but reports the named folders as links
// (junctions), as Windows lists them.
class LinkFiles : public IFileSystem {
 public:
  LinkFiles(std::unique_ptr<IFileSystem> inner, std::vector<std::u16string> links)
      : inner_(std::move(inner)), links_(std::move(links)) {}
  std::unique_ptr<IFileSystem> Release() { return std::move(inner_); }

  HANDLE CreateFileW(std::u16string_view p, DWORD a, DWORD s, DWORD c, DWORD f) override {
    return inner_->CreateFileW(p, a, s, c, f);
  }
  BOOL ReadFile(HANDLE h, void* b, DWORD n, DWORD* r) override { return inner_->ReadFile(h, b, n, r); }
  BOOL WriteFile(HANDLE h, const void* b, DWORD n, DWORD* w) override { return inner_->WriteFile(h, b, n, w); }
  DWORD SetFilePointer(HANDLE h, LONG d, LONG* hi, DWORD m) override { return inner_->SetFilePointer(h, d, hi, m); }
  BOOL SetFilePointerEx(HANDLE h, int64_t d, int64_t* n, DWORD m) override {
    return inner_->SetFilePointerEx(h, d, n, m);
  }
  BOOL GetFileSizeEx(HANDLE h, int64_t* s) override { return inner_->GetFileSizeEx(h, s); }
  BOOL SetEndOfFile(HANDLE h) override { return inner_->SetEndOfFile(h); }
  BOOL FlushFileBuffers(HANDLE h) override { return inner_->FlushFileBuffers(h); }
  BOOL DeleteFileW(std::u16string_view p) override { return inner_->DeleteFileW(p); }
  BOOL CopyFileW(std::u16string_view a, std::u16string_view b, BOOL f) override { return inner_->CopyFileW(a, b, f); }
  BOOL MoveFileW(std::u16string_view a, std::u16string_view b) override { return inner_->MoveFileW(a, b); }
  BOOL MoveFileExW(std::u16string_view a, std::u16string_view b, DWORD f) override {
    return inner_->MoveFileExW(a, b, f);
  }
  BOOL CreateDirectoryW(std::u16string_view p) override { return inner_->CreateDirectoryW(p); }
  BOOL RemoveDirectoryW(std::u16string_view p) override { return inner_->RemoveDirectoryW(p); }
  DWORD GetFileAttributesW(std::u16string_view p) override { return Mark(p, inner_->GetFileAttributesW(p)); }
  BOOL SetFileAttributesW(std::u16string_view p, DWORD a) override { return inner_->SetFileAttributesW(p, a); }
  HANDLE FindFirstFileW(std::u16string_view p, WIN32_FIND_DATAW* d) override {
    HANDLE h = inner_->FindFirstFileW(p, d);
    if (h == INVALID_HANDLE_VALUE) return h;
    folders_[h] = std::u16string(p.substr(0, p.rfind(u'\\')));
    d->dwFileAttributes = Mark(folders_[h] + u"\\" + d->cFileName, d->dwFileAttributes);
    return h;
  }
  BOOL FindNextFileW(HANDLE h, WIN32_FIND_DATAW* d) override {
    if (!inner_->FindNextFileW(h, d)) return FALSE;
    d->dwFileAttributes = Mark(folders_[h] + u"\\" + d->cFileName, d->dwFileAttributes);
    return TRUE;
  }
  BOOL FindClose(HANDLE h) override { return inner_->FindClose(h); }
  std::u16string GetCurrentDirectoryW() override { return inner_->GetCurrentDirectoryW(); }
  BOOL SetCurrentDirectoryW(std::u16string_view p) override { return inner_->SetCurrentDirectoryW(p); }
  std::u16string GetModuleFileNameW() override { return inner_->GetModuleFileNameW(); }
  std::u16string GetFullPathNameW(std::u16string_view p) override { return inner_->GetFullPathNameW(p); }
  std::u16string ExpandEnvironmentStringsW(std::u16string_view t) override { return inner_->ExpandEnvironmentStringsW(t); }
  BOOL GetEnvironmentVariableW(std::u16string_view n, std::u16string* v) override {
    return inner_->GetEnvironmentVariableW(n, v);
  }
  DWORD GetLogicalDrives() override { return inner_->GetLogicalDrives(); }
  std::u16string GetLogicalDriveStringsW() override { return inner_->GetLogicalDriveStringsW(); }
  UINT GetDriveTypeW(std::u16string_view r) override { return inner_->GetDriveTypeW(r); }
  BOOL GetVolumeInformationW(std::u16string_view r, std::u16string* n, DWORD* s) override {
    return inner_->GetVolumeInformationW(r, n, s);
  }
  BOOL GetDiskFreeSpaceExW(std::u16string_view p, ULONGLONG* a, ULONGLONG* b, ULONGLONG* c) override {
    return inner_->GetDiskFreeSpaceExW(p, a, b, c);
  }

 private:
  DWORD Mark(std::u16string_view path, DWORD attributes) {
    if (attributes == INVALID_FILE_ATTRIBUTES) return attributes;
    for (const auto& l : links_) {
      if (EqualsNoCase(l, path)) return attributes | FILE_ATTRIBUTE_REPARSE_POINT;
    }
    return attributes;
  }
  std::unique_ptr<IFileSystem> inner_;
  std::vector<std::u16string> links_;
  std::map<HANDLE, std::u16string> folders_;
};

TEST(DeleteFolderTree, LinksAreRemovedWithoutReachingWhatTheyPointAt) {
  UpdaterMachine m;
  const std::u16string f = m.installFolder;
  const std::u16string appData = u"C:\\Users\\x\\AppData\\Roaming\\varnholt\\KSM";
  m.Put(f + u"\\plain.txt");
  m.Put(f + u"\\sub\\link\\precious.dll");  // stands for the folder a planted junction reaches
  m.Put(appData + u"\\precious.ini");
  Platform& p = Platform::Current();
  auto* links = new LinkFiles(p.SetFiles(nullptr), {f + u"\\sub\\link", appData});
  p.SetFiles(std::unique_ptr<IFileSystem>(links));

  EXPECT_TRUE(DeleteFolderTree(*m.u, f, false));
  EXPECT_TRUE(DeleteFolderTree(*m.u, appData, false));
  p.SetFiles(links->Release());

  EXPECT_FALSE(m.Exists(f + u"\\plain.txt"));
  EXPECT_TRUE(m.Exists(f + u"\\sub\\link\\precious.dll"));
  EXPECT_TRUE(m.Exists(appData + u"\\precious.ini"));
}

TEST(DeleteFolderTree, RefusalsLeaveEverythingInPlace) {
  UpdaterMachine m;
  const std::u16string longFolder = u"C:\\" + std::u16string(120, u'd') + u"\\" + std::u16string(126, u'e');
  m.Put(longFolder + u"\\abcdefghij.txt");  // 250 + 1 + 14 characters: beyond the path buffer
  m.Put(longFolder + u"\\a");

  struct Row {
    std::u16string path;
    bool listFailure, result;
    DWORD error;  // 0: not checked
  };
  const Row rows[] = {
      {u"C:\\no\\such\\folder", false, false, 0},
      {u"C:\\no\\such\\folder", true, true, 0},  // a subfolder that vanished counts as deleted
      {u"C:\\", false, false, ERROR_ACCESS_DENIED},
      {u"C:", false, false, ERROR_ACCESS_DENIED},  // "C:\\*" is the root's listing
      {u"C:\\.", false, false, ERROR_ACCESS_DENIED},
      {u"C:/", false, false, ERROR_ACCESS_DENIED},
      {u"C:\\Windows\\..", false, false, ERROR_ACCESS_DENIED},
      {longFolder, false, false, 206},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(WideToUtf8(r.path));
    SetLastError(0);
    EXPECT_EQ(DeleteFolderTree(*m.u, r.path, r.listFailure), r.result);
    if (r.error) {
      EXPECT_EQ(GetLastError(), r.error);
    }
  }
  EXPECT_TRUE(m.Exists(u"C:\\Windows\\System32"));
  EXPECT_TRUE(m.Exists(longFolder + u"\\abcdefghij.txt"));
  winsim::Reboot(MachineOf());  // nothing was scheduled either
  EXPECT_TRUE(m.Exists(u"C:\\Windows\\System32"));
  EXPECT_TRUE(m.Exists(longFolder));
}

TEST(RemoveAgentRegistry, EveryTraceGoesButTheBackupIdentifier) {
  UpdaterMachine m;
  MakeKey(HKEY_LOCAL_MACHINE, kCommonKey);
  MakeKey(HKEY_LOCAL_MACHINE, kAgentKey);
  SetText(HKEY_LOCAL_MACHINE, kBackupKey, u"UUID", u"0123456789abcdef0123456789abcdef");
  for (auto user : {u"S-1-5-18", u".DEFAULT", u"S-1-5-21-1111-2222-3333-1001"}) {
    MakeKey(HKEY_USERS, std::u16string(user) + u"\\SOFTWARE\\Varnholt\\KSM\\Common");
  }
  MakeKey(HKEY_USERS, u"S-1-5-21-1111-2222-3333-1001\\SOFTWARE\\Other");
  SetText(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\SafeBoot\\Network\\VH-KSM Agent Service", u"",
          u"Service");
  // Only the second class key exists: the first one's absence does not stop it.
  MakeKey(HKEY_CLASSES_ROOT, u"vhksm.appwiz.edge\\shell\\open");

  RemoveAgentRegistry(*m.u);

  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProductKey));
  EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, kBackupKey, u"UUID"));
  for (auto user : {u"S-1-5-18", u".DEFAULT", u"S-1-5-21-1111-2222-3333-1001"}) {
    EXPECT_FALSE(KeyExists(HKEY_USERS, std::u16string(user) + u"\\SOFTWARE\\Varnholt\\KSM")) << WideToUtf8(user);
  }
  EXPECT_TRUE(KeyExists(HKEY_USERS, u"S-1-5-21-1111-2222-3333-1001\\SOFTWARE\\Other"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\SafeBoot\\Network\\VH-KSM Agent Service"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\SafeBoot\\Network"));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, u"vhksm.appwiz.edge"));
  EXPECT_EQ(Count(m.Log(), "실패"), 0) << m.Log();
}

TEST(RemoveAgentRegistry, FailuresAreLoggedWithTheRegistryError) {
  UpdaterMachine m;
  // No product tree; a safe-mode entry with a subkey cannot go by a plain key deletion.
  MakeKey(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\SafeBoot\\Network\\VH-KSM Agent Service\\x");

  RemoveAgentRegistry(*m.u);

  const std::string log = m.Log();
  EXPECT_EQ(Count(log, "{{TarlinUpdater::RemoveAgentRegistry}} 2 - 레지스트리 삭제 실패"), 1) << log;
  EXPECT_EQ(Count(log, "{{TarlinUpdater::RemoveAgentRegistry}} 5 - 안전모드 정보 삭제 실패"), 1) << log;
  EXPECT_EQ(Count(log, "Appwiz"), 0);
}

TEST(UninstallAgent, OnABareMachineEveryStepRunsAndOnlyOldWindowsLosesTheBrowserMark) {
  struct Row {
    std::string profile;
    bool markRemoved;
  };
  const Row rows[] = {{"winxp-sp3", true}, {"win2003-sp2", true}, {"win7", false}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.profile);
    UpdaterMachine m(r.profile);
    for (auto name : {u"Other", u"Q-T$1.0", u"Q-T$2.0"}) SetText(HKEY_LOCAL_MACHINE, kPostPlatformKey, name, u"x");
    MakeKey(HKEY_LOCAL_MACHINE, kCommonKey);
    m.Put(m.installFolder + u"\\server.cfg");

    UninstallAgent(*m.u);

    EXPECT_EQ(ValueExists(HKEY_LOCAL_MACHINE, kPostPlatformKey, u"Q-T$1.0"), !r.markRemoved);
    EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, kPostPlatformKey, u"Q-T$2.0"));  // only the first one
    EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, kPostPlatformKey, u"Other"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProductKey));
    EXPECT_FALSE(m.Exists(m.installFolder + u"\\server.cfg"));
    const std::string log = m.Log();
    // Nothing of the agent is there: no service program, no library, no assistant folder.
    EXPECT_EQ(Count(log, "{{TarlinUpdater::UninstallAgent}} 에이전트 서비스 삭제 실패"), 1);
    EXPECT_EQ(Count(log, "{{MediaController::LoadComDrvFunction}}"), 1);
    EXPECT_EQ(Count(log, "매체 제어 복원"), 0);
    EXPECT_EQ(Count(log, " - 보조 에이전트 폴더 삭제 실패"), 1);
    EXPECT_EQ(Count(log, "작업 폴더 삭제 실패"), 0);
    EXPECT_EQ(Count(log, "{{TarlinUpdater::UninstallAgent}} 에이전트 삭제 완료"), 1);
  }
}

TEST(EndOfModeFolders, SetupAndUninstallFolders) {
  UpdaterMachine m;
  // Missing: the uninstall folder is simply skipped, the setup folder's absence is logged.
  RemoveUninstallFolder(*m.u);
  RemoveSetupFolder(*m.u);
  std::string log = m.Log();
  EXPECT_EQ(Count(log, "설치 제거 폴더 삭제 실패"), 0);
  EXPECT_EQ(Count(log, "{{TarlinUpdater::RemoveSetupFolder}} 3 - 설치 폴더 삭제 실패"), 1) << log;

  m.Put(u"C:\\5985b9ffb5ac4b2b9ff13f56a66435db\\x\\y.txt");
  m.Put(u"C:\\bc8f992f5df34654945e6e32a5aa400c\\msvcp110.dll");
  // The updater runs from the setup folder: its own program file cannot go before the restart.
  const std::u16string self = u"C:\\bc8f992f5df34654945e6e32a5aa400c\\qzUpdater.exe";
  m.machine.Install("lmvKeeper", self);
  PROCESS_INFORMATION pi;
  STARTUPINFOW si;
  ASSERT_TRUE(Processes().CreateProcessW(u"", self, 0, u"C:\\", si, &pi));
  CloseHandle(pi.hThread);

  RemoveUninstallFolder(*m.u);
  RemoveSetupFolder(*m.u);
  EXPECT_FALSE(m.Exists(u"C:\\5985b9ffb5ac4b2b9ff13f56a66435db"));
  EXPECT_FALSE(m.Exists(u"C:\\bc8f992f5df34654945e6e32a5aa400c\\msvcp110.dll"));
  EXPECT_TRUE(m.Exists(self));
  EXPECT_EQ(Count(m.Log(), "폴더 삭제 실패"), 1);  // still only the first one

  Processes().TerminateProcess(pi.hProcess, 0);
  Time().WaitForSingleObject(pi.hProcess, INFINITE);
  CloseHandle(pi.hProcess);
  winsim::Reboot(MachineOf());
  EXPECT_FALSE(m.Exists(u"C:\\bc8f992f5df34654945e6e32a5aa400c"));
}

TEST(RunOrletUninstallerIfPossible, StartsThePresentProgramWithoutWaiting) {
  UpdaterMachine m;
  const std::u16string folder = u"C:\\bc8f992f5df34654945e6e32a5aa400c";
  fs::create_directories(m.Host(folder));

  RunOrletUninstallerIfPossible(*m.u, folder);
  EXPECT_EQ(Count(m.Log(), "오를렛"), 0);  // absent: not even a line

  m.Put(folder + u"\\OrletUninstaller_Win.exe", "not a program");
  RunOrletUninstallerIfPossible(*m.u, folder);
  EXPECT_EQ(Count(m.Log(), "{{TarlinUpdater::RunOrletUninstallerIfPossible}} 오를렛 에이전트 삭제 시도 실패"), 1);

  // A program that runs until it is ended: the call returns while it still runs.
  m.machine.Install("lmvKeeper", folder + u"\\OrletUninstaller_Win.exe");
  RunOrletUninstallerIfPossible(*m.u, folder);
  EXPECT_EQ(Count(m.Log(), "{{TarlinUpdater::RunOrletUninstallerIfPossible}} 오를렛 에이전트 삭제\r\n"), 1) << m.Log();
  std::vector<PROCESSENTRY32W> procs;
  ASSERT_TRUE(Processes().SnapshotProcesses(TH32CS_SNAPPROCESS, &procs));
  int running = 0;
  for (const auto& p : procs) {
    if (!EqualsNoCase(p.szExeFile, u"OrletUninstaller_Win.exe")) continue;
    ++running;
    const HANDLE h = Processes().OpenProcess(PROCESS_TERMINATE, FALSE, p.th32ProcessID);
    ASSERT_NE(h, nullptr);
    Processes().TerminateProcess(h, 0);
    Time().WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
  }
  EXPECT_EQ(running, 1);
}

}  // namespace
