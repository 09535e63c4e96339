#include "syscontrol/update_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "config/fault_registry.h"
#include "fixtures.h"
#include "platform/winsim/registry_tools.h"

namespace {

using namespace win;

void SetSz(HKEY root, const std::u16string& path, std::u16string_view name, std::u16string_view text) {
  HKEY k = nullptr;
  ASSERT_EQ(Registry().RegCreateKeyW(root, path, &k), 0);
  std::u16string s(text);
  s.push_back(0);
  Registry().RegSetValueExW(k, name, REG_SZ, reinterpret_cast<const BYTE*>(s.data()), static_cast<DWORD>(s.size() * 2));
  Registry().RegCloseKey(k);
}

void SetDword(HKEY root, const std::u16string& path, std::u16string_view name, DWORD v) {
  HKEY k = nullptr;
  ASSERT_EQ(Registry().RegCreateKeyW(root, path, &k), 0);
  Registry().RegSetValueExW(k, name, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
  Registry().RegCloseKey(k);
}

bool HasValue(HKEY root, const std::u16string& path, std::u16string_view name) {
  HKEY k = nullptr;
  if (Registry().RegOpenKeyExW(root, path, 0, KEY_READ, &k) != 0) return false;
  DWORD size = 0;
  bool has = Registry().RegQueryValueExW(k, name, nullptr, nullptr, &size) == 0;
  Registry().RegCloseKey(k);
  return has;
}

std::u16string Text(HKEY root, const std::u16string& path, std::u16string_view name) {
  HKEY k = nullptr;
  if (Registry().RegOpenKeyExW(root, path, 0, KEY_READ, &k) != 0) return u"?";
  char16_t buf[200] = {};
  DWORD size = sizeof buf - 2;
  LONG rc = Registry().RegQueryValueExW(k, name, nullptr, reinterpret_cast<BYTE*>(buf), &size);
  Registry().RegCloseKey(k);
  return rc == 0 ? std::u16string(buf) : u"?";
}

const std::u16string kPolicy = u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Programs";
const std::u16string kProfiles = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";
const std::u16string kUninstall = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const std::u16string kGrouping = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\Uninstall";

TEST(PatchList, ClearsThePolicyOfEveryLoadedUserProfile) {
  // A 32-bit machine: winsim redirects all of HKLM\SOFTWARE for 32-bit programs, where Windows
  // shares the profile list between the two views.
  sctest::AgentMachine m("win10");
  const std::u16string user = winsim::UserSid("Administrator");
  const std::u16string unloaded = u"S-1-5-21-1111-2222-3333-1001";
  SetDword(HKEY_USERS, user + kPolicy, u"NoInstalledUpdates", 1);
  SetDword(HKEY_USERS, u"S-1-5-18" + kPolicy, u"NoInstalledUpdates", 1);
  SetSz(HKEY_LOCAL_MACHINE, kProfiles + unloaded, u"ProfileImagePath", u"C:\\Users\\other");

  EXPECT_TRUE(qz::SetEnablePatchUninstallable(m.log));
  EXPECT_FALSE(HasValue(HKEY_USERS, user + kPolicy, u"NoInstalledUpdates"));
  EXPECT_TRUE(HasValue(HKEY_USERS, u"S-1-5-18" + kPolicy, u"NoInstalledUpdates"));
  EXPECT_EQ(m.log.Lines(),
            (std::vector<std::string>{
                "::SetEnablePatchUninstallable 0 Try to show patch list",
                "::removeAllUser 0 Reg Key open or delete Failed. Key Path : [" + WideToUtf8(unloaded + kPolicy) + "]",
                "::SetEnablePatchUninstallable 0 Done to show patch list"}));
}

struct Entry {
  std::u16string key, publisher, releaseType, parent, hidden;
  bool restored;
};

void Plant(const Entry& e) {
  const std::u16string path = kUninstall + e.key;
  SetSz(HKEY_LOCAL_MACHINE, path, u"NoDisplayName", e.hidden);
  SetSz(HKEY_LOCAL_MACHINE, path, u"Publisher", e.publisher);
  if (!e.releaseType.empty()) SetSz(HKEY_LOCAL_MACHINE, path, u"ReleaseType", e.releaseType);
  if (!e.parent.empty()) SetSz(HKEY_LOCAL_MACHINE, path, u"ParentKeyName", e.parent);
}

const Entry kEntries[] = {
    {u"KB100", u"Microsoft Corporation", u"Security Update", u"Windows XP", u"Security Update (KB100)", true},
    {u"KB101", u"Microsoft Corporation", u"Hotfix", u"Windows XP", u"Hotfix (KB101)", true},
    {u"KB102", u"Other Corporation", u"Security Update", u"Windows XP", u"Not ours (KB102)", false},
    {u"KB103", u"Microsoft Corporation", u"", u"OperatingSystem", u"Update (KB103)", true},
    {u"KB104", u"Microsoft Corporation", u"Service Pack", u"Windows XP", u"Service Pack (KB104)", false},
    {u"KB105", u"Microsoft Corporation", u"Update", u"", u"No parent (KB105)", false},
    {u"KB106", u"microsoft corporation", u"Update", u"Windows XP", u"Case (KB106)", false},
};

TEST(PatchList, OnXpRestoresHiddenMicrosoftUpdates) {
  sctest::AgentMachine m("winxp-sp3");
  for (const auto& e : kEntries) Plant(e);
  SetDword(HKEY_LOCAL_MACHINE, kGrouping, u"DontGroupPatches", 1);
  EXPECT_TRUE(qz::SetEnablePatchUninstallable(m.log));
  EXPECT_FALSE(HasValue(HKEY_LOCAL_MACHINE, kGrouping, u"DontGroupPatches"));
  for (const auto& e : kEntries) {
    SCOPED_TRACE(WideToUtf8(e.key));
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, kUninstall + e.key, u"DisplayName"), e.restored ? e.hidden : u"?");
    EXPECT_EQ(HasValue(HKEY_LOCAL_MACHINE, kUninstall + e.key, u"NoDisplayName"), !e.restored);
  }
}

TEST(PatchList, OnXpNothingChangesWithoutTheGroupingPolicy) {
  sctest::AgentMachine m("winxp-sp3");
  for (const auto& e : kEntries) Plant(e);
  EXPECT_TRUE(qz::SetEnablePatchUninstallable(m.log));
  for (const auto& e : kEntries) {
    EXPECT_TRUE(HasValue(HKEY_LOCAL_MACHINE, kUninstall + e.key, u"NoDisplayName"));
    EXPECT_FALSE(HasValue(HKEY_LOCAL_MACHINE, kUninstall + e.key, u"DisplayName"));
  }
}

// An enumeration whose first name is too long for the buffer, and which, past its real entries,
// fails with "key deleted" instead of "no more items" (a key removed while it is read).
class BrokenEnumeration : public qztest::FaultRegistry {
 public:
  using FaultRegistry::FaultRegistry;
  std::atomic<int> calls{0};
  LONG RegEnumKeyExW(HKEY k, DWORD i, char16_t* n, DWORD* c) override {
    ++calls;
    if (i == 0) return static_cast<LONG>(ERROR_MORE_DATA);
    const LONG rc = FaultRegistry::RegEnumKeyExW(k, i - 1, n, c);
    return rc == static_cast<LONG>(ERROR_NO_MORE_ITEMS) ? kErrorKeyDeleted : rc;
  }
  static constexpr LONG kErrorKeyDeleted = 1018;
};

// Every enumeration skips a name that does not fit and ends on any other error: neither pass loops.
TEST(PatchList, EnumerationsEndOnAnyErrorButMoreData) {
  for (const char* profile : {"win10", "winxp-sp3"}) {
    SCOPED_TRACE(profile);
    sctest::AgentMachine m(profile);
    const std::u16string user = winsim::UserSid("Administrator");
    SetDword(HKEY_USERS, user + kPolicy, u"NoInstalledUpdates", 1);
    for (const auto& e : kEntries) Plant(e);
    SetDword(HKEY_LOCAL_MACHINE, kGrouping, u"DontGroupPatches", 1);
    Platform& p = Platform::Current();
    auto* broken = new BrokenEnumeration(p.SetRegistry(nullptr));
    p.SetRegistry(std::unique_ptr<IRegistry>(broken));
    std::packaged_task<bool()> run([&] { return qz::SetEnablePatchUninstallable(m.log); });
    auto done = run.get_future();
    std::thread worker(std::move(run));
    if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      worker.detach();  // it loops for ever; joining would too
      FAIL() << "an enumeration did not end after " << broken->calls.load() << " calls";
    }
    worker.join();
    EXPECT_TRUE(done.get());
    p.SetRegistry(broken->Release());
    // The entries behind the refused first name were still handled.
    if (std::string(profile) == "win10") {
      EXPECT_FALSE(HasValue(HKEY_USERS, user + kPolicy, u"NoInstalledUpdates"));
    } else {
      for (const auto& e : kEntries) {
        EXPECT_EQ(HasValue(HKEY_LOCAL_MACHINE, kUninstall + e.key, u"NoDisplayName"), !e.restored)
            << WideToUtf8(e.key);
      }
    }
  }
}

TEST(PatchList, RefreshExplorerBroadcastsAndMinimisesExplorer) {
  sctest::AgentMachine m("win10-x64");
  EXPECT_TRUE(qz::RefreshExplorer(m.log));
  HWND explorer = Desktop().CreateWindowExW(0, u"explorer.exe", u"", 0);
  Desktop().CreateWindowExW(0, u"explorer.exe", u"titled", 0);
  EXPECT_TRUE(qz::RefreshExplorer(m.log));
  EXPECT_TRUE(Desktop().IsIconic(explorer));

  std::vector<std::string> sent;
  for (const auto& e : m.machine.Journal()) sent.push_back(e.kind + " " + e.caption + " " + e.text);
  const std::string broadcast =
      "SendMessageTimeout HWND_BROADCAST msg=0x1A wParam=0x2A lParam=0x0 flags=0x2 timeout=1000";
  EXPECT_EQ(sent, (std::vector<std::string>{broadcast, broadcast,
                                            "SendMessage explorer.exe \"\" msg=0xB wParam=0x1 lParam=0x0",
                                            "CloseWindow explorer.exe \"\" minimised"}));
  EXPECT_EQ(m.log.Count("::RefreshExplorer 0 SendMessageTimeout Delay : "), 2);
}

}  // namespace
