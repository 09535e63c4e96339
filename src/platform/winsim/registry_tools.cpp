// Whole-path registry helpers for the winsim command and tests, over the same registry a program
// of the machine uses (as a native program, so in the 64-bit view).
#include "platform/winsim/registry_tools.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/registry.h"
#include "platform/text.h"
#include "platform/winsim/services.h"

namespace winsim {

namespace {

using namespace win;

constexpr REGSAM kNative = KEY_WOW64_64KEY;

struct Session {
  std::shared_ptr<Machine> machine;
  std::unique_ptr<IRegistry> reg;
};

Session Open(const std::string& root) {
  ProcessIdentity self;
  self.imagePath = u"C:\\Windows\\regedit.exe";
  self.bits = 64;
  self.session = 1;
  auto machine = std::make_shared<Machine>(root, self);
  auto reg = MakeRegistry(machine);
  return {std::move(machine), std::move(reg)};
}

struct Parsed {
  HKEY root = nullptr;
  std::u16string rootName;
  std::u16string subKey;
};

bool ParsePath(const std::string& path, Parsed* out) {
  std::u16string p = Utf8ToWide(path);
  while (!p.empty() && p.back() == u'\\') p.pop_back();
  size_t slash = p.find(u'\\');
  std::u16string head = p.substr(0, slash);
  out->subKey = slash == std::u16string::npos ? std::u16string() : p.substr(slash + 1);
  struct Root {
    const char16_t* shortName;
    const char16_t* longName;
    HKEY key;
  };
  const Root roots[] = {{u"HKLM", u"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                        {u"HKU", u"HKEY_USERS", HKEY_USERS},
                        {u"HKCR", u"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                        {u"HKCU", u"HKEY_CURRENT_USER", HKEY_CURRENT_USER}};
  for (const auto& r : roots) {
    if (EqualsNoCase(head, r.shortName) || EqualsNoCase(head, r.longName)) {
      out->root = r.key;
      out->rootName = r.longName;
      return true;
    }
  }
  return false;
}

std::string TypeName(DWORD type) {
  switch (type) {
    case REG_NONE:
      return "REG_NONE";
    case REG_SZ:
      return "REG_SZ";
    case REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case REG_BINARY:
      return "REG_BINARY";
    case REG_DWORD:
      return "REG_DWORD";
    case REG_MULTI_SZ:
      return "REG_MULTI_SZ";
    case REG_QWORD:
      return "REG_QWORD";
    default:
      return "REG_TYPE_" + std::to_string(type);
  }
}

// UTF-8 text in quotes; quotes, backslashes and control characters escaped.
std::string Quote(std::u16string_view s) {
  std::string out = "\"";
  for (char c : WideToUtf8(s)) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\0':
        out += "\\0";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string Hex(const std::string& bytes) {
  std::string out = std::to_string(bytes.size()) + " bytes";
  if (!bytes.empty()) out += ":";
  char buf[4];
  for (unsigned char b : bytes) {
    std::snprintf(buf, sizeof buf, " %02X", b);
    out += buf;
  }
  return out;
}

std::string DataText(DWORD type, const std::string& bytes) {
  char buf[64];
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_MULTI_SZ: {
      if (bytes.size() % 2) return Hex(bytes);
      std::u16string s(bytes.size() / 2, u'\0');
      std::memcpy(s.data(), bytes.data(), bytes.size());
      size_t terminators = type == REG_MULTI_SZ ? 2 : 1;
      size_t trailing = 0;
      while (trailing < terminators && trailing < s.size() && s[s.size() - 1 - trailing] == 0) ++trailing;
      if (trailing == terminators || (type == REG_MULTI_SZ && trailing == s.size())) {
        s.resize(s.size() - trailing);
        return Quote(s);
      }
      return Quote(s) + " (no terminator)";
    }
    case REG_DWORD:
      if (bytes.size() != 4) return Hex(bytes);
      {
        uint32_t v = 0;
        std::memcpy(&v, bytes.data(), 4);
        std::snprintf(buf, sizeof buf, "0x%08X (%u)", v, v);
      }
      return buf;
    case REG_QWORD:
      if (bytes.size() != 8) return Hex(bytes);
      {
        uint64_t v = 0;
        std::memcpy(&v, bytes.data(), 8);
        std::snprintf(buf, sizeof buf, "0x%016llX (%llu)", static_cast<unsigned long long>(v),
                      static_cast<unsigned long long>(v));
      }
      return buf;
    default:
      return Hex(bytes);
  }
}

LONG ReadValue(IRegistry& reg, HKEY key, std::u16string_view name, DWORD* type, std::string* bytes) {
  DWORD size = 0;
  LONG rc = reg.RegQueryValueExW(key, name, type, nullptr, &size);
  if (rc) return rc;
  bytes->assign(size, '\0');
  rc = reg.RegQueryValueExW(key, name, type, reinterpret_cast<BYTE*>(bytes->data()), &size);
  bytes->resize(size);
  return rc;
}

std::string ValueLine(std::u16string_view name, DWORD type, const std::string& bytes) {
  return Quote(name) + " = " + TypeName(type) + ": " + DataText(type, bytes) + "\n";
}

std::vector<std::u16string> ValueNames(IRegistry& reg, HKEY key) {
  std::vector<std::u16string> names;
  std::u16string buf(16384, u'\0');
  for (DWORD i = 0;; ++i) {
    DWORD cch = static_cast<DWORD>(buf.size());
    if (reg.RegEnumValueW(key, i, buf.data(), &cch, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(buf.data(), cch);
  }
  return names;
}

std::vector<std::u16string> SubkeyNames(IRegistry& reg, HKEY key) {
  std::vector<std::u16string> names;
  char16_t buf[256];
  for (DWORD i = 0;; ++i) {
    DWORD cch = 256;
    if (reg.RegEnumKeyExW(key, i, buf, &cch) != ERROR_SUCCESS) break;
    names.emplace_back(buf, cch);
  }
  return names;
}

std::string ValuesText(IRegistry& reg, HKEY key) {
  std::string out;
  for (const auto& name : ValueNames(reg, key)) {
    DWORD type = 0;
    std::string bytes;
    if (ReadValue(reg, key, name, &type, &bytes) == ERROR_SUCCESS) out += ValueLine(name, type, bytes);
  }
  return out;
}

void ExportKey(IRegistry& reg, HKEY key, const std::u16string& path, std::string* out) {
  *out += "[" + WideToUtf8(path) + "]\n";
  *out += ValuesText(reg, key);
  *out += "\n";
  for (const auto& name : SubkeyNames(reg, key)) {
    HKEY sub = nullptr;
    if (reg.RegOpenKeyExW(key, name, 0, KEY_READ | kNative, &sub) != ERROR_SUCCESS) continue;
    ExportKey(reg, sub, path + u"\\" + name, out);
    reg.RegCloseKey(sub);
  }
}

std::u16string DisplayPath(const Parsed& p) { return p.subKey.empty() ? p.rootName : p.rootName + u"\\" + p.subKey; }

bool ParseNumber(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno || *end || text[0] == '-' || v > max) return false;
  *out = v;
  return true;
}

bool ParseHex(const std::string& text, std::string* out) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ',' || c == '\t') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.size() % 2) return false;
  for (size_t i = 0; i < digits.size(); i += 2) {
    out->push_back(static_cast<char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return true;
}

bool ParseType(const std::string& name, DWORD* type) {
  for (DWORD t : {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD}) {
    if (EqualsNoCaseA(name, TypeName(t))) {
      *type = t;
      return true;
    }
  }
  return false;
}

// REG_MULTI_SZ items are separated by the two characters \0 in the text.
std::u16string MultiText(const std::string& text) {
  std::u16string out;
  size_t start = 0;
  while (true) {
    size_t sep = text.find("\\0", start);
    out += Utf8ToWide(text.substr(start, sep == std::string::npos ? std::string::npos : sep - start));
    out.push_back(0);
    if (sep == std::string::npos) break;
    start = sep + 2;
  }
  out.push_back(0);
  return out;
}

}  // namespace

std::string ExportRegistry(const std::string& root, const std::string& keyPath, long* error) {
  Parsed p;
  if (error) *error = ERROR_SUCCESS;
  if (!ParsePath(keyPath, &p)) {
    if (error) *error = ERROR_BAD_PATHNAME;
    return {};
  }
  try {
    Session s = Open(root);
    HKEY key = nullptr;
    LONG rc = s.reg->RegOpenKeyExW(p.root, p.subKey, 0, KEY_READ | kNative, &key);
    if (rc) {
      if (error) *error = rc;
      return {};
    }
    std::string out;
    ExportKey(*s.reg, key, DisplayPath(p), &out);
    s.reg->RegCloseKey(key);
    return out;
  } catch (...) {
    if (error) *error = ERROR_CANTREAD;
    return {};
  }
}

long QueryRegistry(const std::string& root, const std::string& keyPath, const std::optional<std::string>& valueName,
                   std::string* text) {
  Parsed p;
  if (!ParsePath(keyPath, &p)) return ERROR_BAD_PATHNAME;
  try {
    Session s = Open(root);
    HKEY key = nullptr;
    LONG rc = s.reg->RegOpenKeyExW(p.root, p.subKey, 0, KEY_READ | kNative, &key);
    if (rc) return rc;
    std::string out;
    if (valueName) {
      std::u16string name = Utf8ToWide(*valueName);
      DWORD type = 0;
      std::string bytes;
      rc = ReadValue(*s.reg, key, name, &type, &bytes);
      if (rc == ERROR_SUCCESS) out = ValueLine(name, type, bytes);
    } else {
      out = ValuesText(*s.reg, key);
      for (const auto& sub : SubkeyNames(*s.reg, key)) out += "[" + WideToUtf8(DisplayPath(p) + u"\\" + sub) + "]\n";
    }
    s.reg->RegCloseKey(key);
    if (rc == ERROR_SUCCESS && text) *text = out;
    return rc;
  } catch (...) {
    return ERROR_CANTREAD;
  }
}

long SetRegistryValue(const std::string& root, const std::string& keyPath, const std::string& valueName,
                      const std::string& typeName, const std::string& data) {
  Parsed p;
  if (!ParsePath(keyPath, &p)) return ERROR_BAD_PATHNAME;
  DWORD type = 0;
  if (!ParseType(typeName, &type)) return ERROR_INVALID_PARAMETER;
  const bool isString = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
  try {
    Session s = Open(root);
    std::string bytes;
    bool ansi = false;
    if (data.rfind("hex:", 0) == 0) {
      if (!ParseHex(data.substr(4), &bytes)) return ERROR_INVALID_PARAMETER;
    } else if (isString && data.rfind("ansi:", 0) == 0) {
      std::u16string wide = type == REG_MULTI_SZ ? MultiText(data.substr(5)) : Utf8ToWide(data.substr(5));
      if (type == REG_MULTI_SZ) wide.resize(wide.size() - 2);  // as written: no terminators added
      bytes = MakeOsInfo(s.machine)->WideToMultiByte(0, wide);
      ansi = true;
    } else if (isString) {
      std::u16string wide = type == REG_MULTI_SZ ? MultiText(data) : Utf8ToWide(data) + std::u16string(1, u'\0');
      bytes.assign(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
    } else if (type == REG_DWORD || type == REG_QWORD) {
      uint64_t v = 0;
      if (!ParseNumber(data, type == REG_DWORD ? 0xFFFFFFFFull : ~0ull, &v)) return ERROR_INVALID_PARAMETER;
      bytes.resize(type == REG_DWORD ? 4 : 8);
      for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(v >> (8 * i));
    } else if (!ParseHex(data, &bytes)) {
      return ERROR_INVALID_PARAMETER;
    }
    HKEY key = nullptr;
    LONG rc = s.reg->RegCreateKeyExW(p.root, p.subKey, 0, nullptr, 0, KEY_ALL_ACCESS | kNative, nullptr, &key, nullptr);
    if (rc) return rc;
    const auto* raw = reinterpret_cast<const BYTE*>(bytes.data());
    const auto size = static_cast<DWORD>(bytes.size());
    rc = ansi ? s.reg->RegSetValueExA(key, MakeOsInfo(s.machine)->WideToMultiByte(0, Utf8ToWide(valueName)), type, raw,
                                      size)
              : s.reg->RegSetValueExW(key, Utf8ToWide(valueName), type, raw, size);
    s.reg->RegCloseKey(key);
    return rc;
  } catch (...) {
    return ERROR_CANTWRITE;
  }
}

long DeleteRegistryKey(const std::string& root, const std::string& keyPath) {
  Parsed p;
  if (!ParsePath(keyPath, &p)) return ERROR_BAD_PATHNAME;
  if (p.subKey.empty()) return ERROR_ACCESS_DENIED;
  try {
    Session s = Open(root);
    HKEY key = nullptr;
    LONG rc = s.reg->RegOpenKeyExW(p.root, p.subKey, 0, KEY_ALL_ACCESS | kNative, &key);
    if (rc) return rc;
    rc = s.reg->SHDeleteKeyW(key, u"");
    s.reg->RegCloseKey(key);
    return rc;
  } catch (...) {
    return ERROR_CANTWRITE;
  }
}

long DeleteRegistryValue(const std::string& root, const std::string& keyPath, const std::string& valueName) {
  Parsed p;
  if (!ParsePath(keyPath, &p)) return ERROR_BAD_PATHNAME;
  try {
    Session s = Open(root);
    HKEY key = nullptr;
    LONG rc = s.reg->RegOpenKeyExW(p.root, p.subKey, 0, KEY_ALL_ACCESS | kNative, &key);
    if (rc) return rc;
    rc = s.reg->RegDeleteValueW(key, Utf8ToWide(valueName));
    s.reg->RegCloseKey(key);
    return rc;
  } catch (...) {
    return ERROR_CANTWRITE;
  }
}

}  // namespace winsim
