// The environment of a simulated process: its variables, from the machine's configuration and
// the registry, and their expansion.
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/registry.h"
#include "platform/text.h"
#include "platform/winsim/files_internal.h"
#include "platform/winsim/services.h"

namespace winsim {

using namespace win;

std::u16string WinsimFiles::ExpandEnvironmentStringsW(std::u16string_view text) {
  return Guard(std::u16string(text), [&] { return Expand(text, true); });
}

BOOL WinsimFiles::GetEnvironmentVariableW(std::u16string_view name, std::u16string* value) {
  return Guard(FALSE, [&]() -> BOOL {
    auto v = Lookup(name, true);
    if (!v) return Fail(ERROR_ENVVAR_NOT_FOUND);
    if (value) *value = *v;
    return Ok();
  });
}

DWORD WinsimFiles::MajorVersion() {
  std::lock_guard lock(envMutex_);
  if (major_) return *major_;
  DWORD major = 0;
  if (auto reg = MakeRegistry(m_)) {
    HKEY key = nullptr;
    if (reg->RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                           KEY_READ | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
      DWORD type = 0, value = 0, size = sizeof value;
      if (reg->RegQueryValueExW(key, u"CurrentMajorVersionNumber", &type, reinterpret_cast<BYTE*>(&value),
                                &size) == ERROR_SUCCESS &&
          type == REG_DWORD) {
        major = value;
      }
      reg->RegCloseKey(key);
    }
  }
  if (!major) {
    if (const Profile* p = FindProfile(m_->Config().profile)) major = p->major;
  }
  if (major) major_ = major;
  return major ? major : 10;
}

std::vector<std::pair<std::u16string, std::u16string>> WinsimFiles::ProcessVariables() {
  const auto cfg = m_->Config();
  const bool modern = MajorVersion() >= 6;
  const bool is64 = cfg.Is64Bit();
  const bool wow = m_->IsWow64();
  const bool system = m_->self().system;
  const std::u16string user = Utf8ToWide(cfg.user);
  const std::u16string computer = Utf8ToWide(cfg.computerName);
  const std::u16string windir = u"C:\\Windows";
  const std::u16string profile = system ? windir + u"\\system32\\config\\systemprofile"
                                 : modern ? u"C:\\Users\\" + user
                                          : u"C:\\Documents and Settings\\" + user;
  const std::u16string appData = profile + (modern ? u"\\AppData\\Roaming" : u"\\Application Data");
  const std::u16string temp = system ? windir + u"\\TEMP"
                              : modern ? profile + u"\\AppData\\Local\\Temp"
                                       : profile + u"\\Local Settings\\Temp";
  const std::u16string allUsers = modern ? u"C:\\ProgramData" : u"C:\\Documents and Settings\\All Users";
  const std::u16string pf64 = u"C:\\Program Files";
  const std::u16string pf86 = u"C:\\Program Files (x86)";
  const std::u16string pf = wow ? pf86 : pf64;
  const std::u16string arch = cfg.arch == 9 ? u"AMD64" : cfg.arch == 6 ? u"IA64" : u"x86";

  std::vector<std::pair<std::u16string, std::u16string>> v = {
      {u"ALLUSERSPROFILE", allUsers},
      {u"APPDATA", appData},
      {u"CommonProgramFiles", pf + u"\\Common Files"},
      {u"COMPUTERNAME", computer},
      {u"HOMEDRIVE", u"C:"},
      {u"HOMEPATH", profile.substr(2)},
      {u"NUMBER_OF_PROCESSORS", u"2"},
      {u"PROCESSOR_ARCHITECTURE", wow ? u"x86" : arch},
      {u"ProgramFiles", pf},
      {u"SystemDrive", u"C:"},
      {u"SystemRoot", windir},
      {u"TEMP", temp},
      {u"TMP", temp},
      {u"USERDOMAIN", system ? u"WORKGROUP" : computer},
      {u"USERNAME", system ? computer + u"$" : user},
      {u"USERPROFILE", profile},
      {u"windir", windir},
  };
  if (modern) {
    v.push_back({u"LOCALAPPDATA", profile + u"\\AppData\\Local"});
    v.push_back({u"ProgramData", allUsers});
    v.push_back({u"PUBLIC", u"C:\\Users\\Public"});
  }
  if (is64) {
    v.push_back({u"CommonProgramFiles(x86)", pf86 + u"\\Common Files"});
    v.push_back({u"CommonProgramW6432", pf64 + u"\\Common Files"});
    v.push_back({u"ProgramFiles(x86)", pf86});
    v.push_back({u"ProgramW6432", pf64});
  }
  if (wow) v.push_back({u"PROCESSOR_ARCHITEW6432", arch});
  return v;
}

std::optional<std::u16string> WinsimFiles::RegistryVariable(std::u16string_view name) {
  auto reg = MakeRegistry(m_);
  if (!reg) return std::nullopt;
  HKEY key = nullptr;
  if (reg->RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", 0,
                         KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::optional<std::u16string> out;
  DWORD type = 0, size = 0;
  if (reg->RegQueryValueExW(key, name, &type, nullptr, &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ)) {
    std::vector<BYTE> data(size);
    if (reg->RegQueryValueExW(key, name, &type, data.data(), &size) == ERROR_SUCCESS) {
      std::u16string s;
      for (size_t i = 0; i + 1 < size; i += 2) s.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
      while (!s.empty() && s.back() == 0) s.pop_back();
      out = type == REG_EXPAND_SZ ? Expand(s, false) : s;
    }
  }
  reg->RegCloseKey(key);
  return out;
}

std::optional<std::u16string> WinsimFiles::Lookup(std::u16string_view name, bool useRegistry) {
  if (name.empty()) return std::nullopt;
  for (auto& [k, v] : ProcessVariables()) {
    if (EqualsNoCase(k, name)) return v;
  }
  if (useRegistry) {
    if (auto r = RegistryVariable(name)) return r;
  }
  static const std::pair<const char16_t*, const char16_t*> kDefaults[] = {
      {u"ComSpec", u"C:\\Windows\\system32\\cmd.exe"},
      {u"OS", u"Windows_NT"},
      {u"Path", u"C:\\Windows\\system32;C:\\Windows;C:\\Windows\\System32\\Wbem"},
      {u"PATHEXT", u".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH"},
  };
  for (const auto& [k, v] : kDefaults) {
    if (EqualsNoCase(k, name)) return std::u16string(v);
  }
  return std::nullopt;
}

std::u16string WinsimFiles::Expand(std::u16string_view text, bool useRegistry) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != u'%') {
      out.push_back(text[i++]);
      continue;
    }
    size_t close = text.find(u'%', i + 1);
    if (close == std::u16string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    auto value = Lookup(text.substr(i + 1, close - i - 1), useRegistry);
    if (value) {
      out += *value;
      i = close + 1;
    } else {
      out.append(text.substr(i, close - i));
      i = close;
    }
  }
  return out;
}

}  // namespace winsim
