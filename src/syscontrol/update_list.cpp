#include "syscontrol/update_list.h"

#include <algorithm>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace qz {

using namespace win;

namespace {

constexpr char16_t kProfileList[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr char16_t kPolicyPrograms[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Programs";
constexpr char16_t kPolicyUninstall[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Uninstall";
constexpr char16_t kUninstall[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr DWORD kNameChars = 256;
constexpr DWORD kValueBytes = 256;

// A string value of at most 256 bytes; nullopt when it cannot be read (missing, too long).
std::optional<std::u16string> ReadText(HKEY key, std::u16string_view name) {
  char16_t buf[kNameChars] = {};
  DWORD size = kValueBytes, type = 0;
  if (Registry().RegQueryValueExW(key, name, &type, reinterpret_cast<BYTE*>(buf), &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::u16string s(buf, std::min<size_t>(size / 2, kNameChars - 1));
  size_t nul = s.find(u'\0');
  if (nul != std::u16string::npos) s.resize(nul);
  return s;
}

bool Restorable(const std::optional<std::u16string>& noDisplayName, const std::optional<std::u16string>& publisher,
                const std::optional<std::u16string>& parent, const std::optional<std::u16string>& releaseType) {
  if (!noDisplayName || !publisher || !parent) return false;
  if (*publisher != u"Microsoft Corporation") return false;
  if (releaseType && (*releaseType == u"Update" || *releaseType == u"Security Update" || *releaseType == u"Hotfix")) {
    return true;
  }
  return *parent == u"OperatingSystem";
}

}  // namespace

bool IsWow64() {
  BOOL wow = FALSE;
  return Os().IsWow64Process(&wow) && wow;
}

void removeAllUser(ILogger& log) {
  HKEY list = nullptr;
  if (Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProfileList, 0, KEY_READ, &list) != ERROR_SUCCESS) {
    log.Log(u"", u"removeAllUser", kLogDebug, u"Reg Key open failed. Key Path : [%s]", kProfileList);
    return;
  }
  for (DWORD i = 0;; ++i) {
    char16_t name[kNameChars];
    DWORD n = kNameChars;
    LONG rc = Registry().RegEnumKeyExW(list, i, name, &n);
    if (rc == ERROR_MORE_DATA) continue;  // a name longer than the buffer: the next one
    if (rc != ERROR_SUCCESS) break;       // the end, or an enumeration that cannot go on
    std::u16string sid(name, n);
    HKEY profile = nullptr;
    if (Registry().RegOpenKeyExW(list, sid, 0, KEY_READ, &profile) != ERROR_SUCCESS) continue;
    Registry().RegCloseKey(profile);
    if (sid.find(u"S-1-5-21-") == std::u16string::npos) continue;
    std::u16string path = sid + u"\\" + kPolicyPrograms;
    if (path.size() >= kNameChars) continue;  // does not fit its buffer
    HKEY policy = nullptr;
    bool done = Registry().RegOpenKeyExW(HKEY_USERS, path, 0, KEY_WRITE, &policy) == ERROR_SUCCESS;
    if (done) {
      done = Registry().RegDeleteValueW(policy, u"NoInstalledUpdates") == ERROR_SUCCESS;
      Registry().RegCloseKey(policy);
    }
    if (!done) log.Log(u"", u"removeAllUser", kLogDebug, u"Reg Key open or delete Failed. Key Path : [%s]", path);
  }
  Registry().RegCloseKey(list);
}

void ShowPatchesXp() {
  HKEY grouping = nullptr;
  if (Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyUninstall, 0, KEY_SET_VALUE, &grouping) != ERROR_SUCCESS) {
    return;
  }
  LONG rc = Registry().RegDeleteValueW(grouping, u"DontGroupPatches");
  Registry().RegCloseKey(grouping);
  if (rc != ERROR_SUCCESS) return;

  HKEY uninstall = nullptr;
  if (Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstall, 0, KEY_READ, &uninstall) != ERROR_SUCCESS) return;
  const REGSAM view = IsWow64() ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
  for (DWORD i = 0;; ++i) {
    char16_t name[kNameChars];
    DWORD n = kNameChars;
    LONG erc = Registry().RegEnumKeyExW(uninstall, i, name, &n);
    if (erc == ERROR_MORE_DATA) continue;  // a name longer than the buffer: the next one
    if (erc != ERROR_SUCCESS) break;       // the end, or an enumeration that cannot go on
    std::u16string sub(name, n);
    HKEY entry = nullptr;
    if (Registry().RegOpenKeyExW(uninstall, sub, 0, KEY_READ, &entry) != ERROR_SUCCESS) continue;
    auto noDisplayName = ReadText(entry, u"NoDisplayName");
    auto publisher = ReadText(entry, u"Publisher");
    auto parent = ReadText(entry, u"ParentKeyName");
    auto releaseType = ReadText(entry, u"ReleaseType");
    Registry().RegCloseKey(entry);
    if (!Restorable(noDisplayName, publisher, parent, releaseType) || noDisplayName->empty()) continue;
    HKEY writable = nullptr;
    if (Registry().RegCreateKeyExW(uninstall, sub, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &writable,
                                   nullptr) != ERROR_SUCCESS) {
      continue;
    }
    // The text followed by zero bytes, 256 bytes in all, as the fixed buffer was written.
    std::u16string data = *noDisplayName;
    data.resize(kValueBytes / 2, u'\0');
    LONG wrc = Registry().RegSetValueExW(writable, u"DisplayName", REG_SZ, reinterpret_cast<const BYTE*>(data.data()),
                                         kValueBytes);
    Registry().RegCloseKey(writable);
    if (wrc != ERROR_SUCCESS) continue;
    HKEY again = nullptr;
    if (Registry().RegOpenKeyExW(uninstall, sub, 0, KEY_WRITE, &again) == ERROR_SUCCESS) {
      Registry().RegDeleteValueW(again, u"NoDisplayName");
      Registry().RegCloseKey(again);
    }
  }
  Registry().RegCloseKey(uninstall);
}

bool SetEnablePatchUninstallable(ILogger& log) {
  log.Log(u"", u"SetEnablePatchUninstallable", kLogDebug, u"Try to show patch list");
  OSVERSIONINFOEXW v;
  if (Os().GetVersionExW(&v) && v.dwMajorVersion == 5) {
    ShowPatchesXp();
  } else {
    removeAllUser(log);
  }
  log.Log(u"", u"SetEnablePatchUninstallable", kLogDebug, u"Done to show patch list");
  return true;
}

bool RefreshExplorer(ILogger& log) {
  HWND explorer = Desktop().FindWindowW(u"explorer.exe", u"");
  uint64_t start = Time().GetTickCount64();
  DWORD_PTR result = 0;
  Desktop().SendMessageTimeoutW(HWND_BROADCAST, WM_WININICHANGE, SPI_SETNONCLIENTMETRICS, 0, SMTO_ABORTIFHUNG, 1000,
                                &result);
  double seconds = static_cast<double>(Time().GetTickCount64() - start) / 1000.0;
  log.Log(u"", u"RefreshExplorer", kLogDebug, u"SendMessageTimeout Delay : %lf", seconds);
  if (explorer) {
    Desktop().SendMessageW(explorer, WM_SETREDRAW, TRUE, 0);
    Desktop().CloseWindow(explorer);
  }
  return true;
}

}  // namespace qz
