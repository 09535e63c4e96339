#include "platform/pending_renames.h"

#include <string_view>

#include "platform/platform.h"
#include "platform/text.h"

namespace win {

namespace {

constexpr char16_t kSessionManager[] = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char16_t kPendingValue[] = u"PendingFileRenameOperations";

std::u16string Plain(std::u16string_view path) {
  std::u16string s(path);
  if (s.rfind(u"\\??\\", 0) == 0) s.erase(0, 4);
  for (auto& c : s) {
    if (c == u'/') c = u'\\';
  }
  return s;
}

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

// The path a 32-bit process on 64-bit Windows really writes: system32 is SysWOW64 for it, except
// the folders Windows leaves shared; Sysnative is the real system32.
std::u16string AsThisProcessWrites(std::u16string path, bool wow64, const std::u16string& windir) {
  if (!wow64 || windir.empty()) return path;
  const std::u16string system32 = windir + u"\\System32\\";
  const std::u16string sysnative = windir + u"\\Sysnative\\";
  if (StartsWithNoCase(path, sysnative)) return system32 + path.substr(sysnative.size());
  if (!StartsWithNoCase(path, system32)) return path;
  const std::u16string_view rest = std::u16string_view(path).substr(system32.size());
  for (std::u16string_view shared : {u"catroot\\", u"catroot2\\", u"DriverStore\\", u"LogFiles\\", u"spool\\",
                                     u"drivers\\etc\\"}) {
    if (StartsWithNoCase(rest, shared)) return path;
  }
  return windir + u"\\SysWOW64\\" + std::u16string(rest);
}

}  // namespace

int CancelDeletesAtRestart(const std::vector<std::u16string>& paths) {
  BOOL wow64 = FALSE;
  const bool redirected = Os().IsWow64Process(&wow64) && wow64;
  const std::u16string windir = Plain(Files().ExpandEnvironmentStringsW(u"%windir%"));
  std::vector<std::u16string> written;
  for (const auto& p : paths) {
    std::u16string full = Files().GetFullPathNameW(p);
    written.push_back(AsThisProcessWrites(Plain(full.empty() ? p : full), redirected, windir));
  }

  IRegistry& reg = Registry();
  HKEY key = nullptr;
  const LONG opened =
      reg.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_READ | KEY_WRITE | KEY_WOW64_64KEY, &key);
  if (opened == ERROR_FILE_NOT_FOUND) return 0;
  if (opened != ERROR_SUCCESS) return -1;
  DWORD type = 0, size = 0;
  LONG rc = reg.RegQueryValueExW(key, kPendingValue, &type, nullptr, &size);
  if (rc == ERROR_FILE_NOT_FOUND) {
    reg.RegCloseKey(key);
    return 0;
  }
  std::vector<BYTE> data(size);
  if (rc == ERROR_SUCCESS) rc = reg.RegQueryValueExW(key, kPendingValue, &type, data.data(), &size);
  if (rc != ERROR_SUCCESS) {
    reg.RegCloseKey(key);
    return -1;
  }
  data.resize(size);

  const std::vector<std::u16string> ops = ParsePendingRenames(data);
  std::vector<std::u16string> kept;
  int removed = 0;
  for (size_t i = 0; i < ops.size(); i += 2) {
    const bool deletion = i + 1 < ops.size() && ops[i + 1].empty();
    bool cancel = false;
    if (deletion) {
      const std::u16string source = Plain(ops[i]);
      for (const auto& w : written) cancel |= EqualsNoCase(source, w);
    }
    if (cancel) {
      ++removed;
      continue;
    }
    kept.push_back(ops[i]);
    if (i + 1 < ops.size()) kept.push_back(ops[i + 1]);
  }
  if (removed > 0) {
    if (kept.empty()) {
      rc = reg.RegDeleteValueW(key, kPendingValue);
    } else {
      const std::vector<BYTE> bytes = SerializePendingRenames(kept);
      rc = reg.RegSetValueExW(key, kPendingValue, REG_MULTI_SZ, bytes.data(), static_cast<DWORD>(bytes.size()));
    }
  }
  reg.RegCloseKey(key);
  return rc == ERROR_SUCCESS ? removed : -1;
}

std::vector<std::u16string> ParsePendingRenames(const std::vector<unsigned char>& data) {
  std::vector<std::u16string> out;
  std::u16string cur;
  bool open = false;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == 0) {
      out.push_back(std::move(cur));
      cur.clear();
      open = false;
    } else {
      cur.push_back(c);
      open = true;
    }
  }
  if (open) out.push_back(std::move(cur));
  // The list's own terminator reads as one more empty string.
  if (out.size() % 2 == 1 && out.back().empty()) out.pop_back();
  return out;
}

std::vector<unsigned char> SerializePendingRenames(const std::vector<std::u16string>& strings) {
  std::vector<BYTE> out;
  auto put = [&](char16_t c) {
    out.push_back(static_cast<BYTE>(c & 0xFF));
    out.push_back(static_cast<BYTE>(c >> 8));
  };
  for (const auto& s : strings) {
    for (char16_t c : s) put(c);
    put(0);
  }
  put(0);
  return out;
}

}  // namespace win
