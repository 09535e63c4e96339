#include "config/registry_layout.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace qz {

using namespace win;

namespace {

// Wipes plain text of a sealed value once it has served.
struct Wipe {
  std::vector<uint8_t>& buffer;
  ~Wipe() { OPENSSL_cleanse(buffer.data(), buffer.size()); }
};

}  // namespace

void RegKey::Close() {
  if (key_) {
    Registry().RegCloseKey(key_);
    key_ = nullptr;
  }
}

LONG ReadSealedValue(IqzAES& cipher, HKEY key, std::string_view name, size_t capacity, std::string* plain,
                     size_t rawLimit) {
  plain->clear();
  std::vector<uint8_t> raw(rawLimit);
  DWORD size = static_cast<DWORD>(raw.size());
  if (LONG rc = Registry().RegQueryValueExA(key, name, nullptr, raw.data(), &size)) return rc;
  std::vector<uint8_t> out(kSealedBuffer);
  Wipe wipe{out};
  const int n = cipher.Decrypt(out, std::span(raw.data(), size));
  if (n <= 0 || static_cast<size_t>(n) > capacity) return kSealedValueError;
  plain->assign(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(n));
  return ERROR_SUCCESS;
}

LONG WriteSealedValue(IqzAES& cipher, HKEY key, std::string_view name, std::string_view plain, size_t cipherLimit) {
  std::vector<uint8_t> out(cipherLimit);
  const int n = cipher.Encrypt(out, std::span(reinterpret_cast<const uint8_t*>(plain.data()), plain.size()));
  if (n <= 0) return kSealedValueError;
  return Registry().RegSetValueExA(key, name, REG_BINARY, out.data(), static_cast<DWORD>(n));
}

LONG ReadSealedText(IqzAES& cipher, HKEY key, std::string_view name, size_t capacity, std::string* text,
                    size_t rawLimit) {
  LONG rc = ReadSealedValue(cipher, key, name, capacity, text, rawLimit);
  if (rc == ERROR_SUCCESS) text->resize(std::min(text->size(), text->find('\0')));
  return rc;
}

LONG WriteSealedText(IqzAES& cipher, HKEY key, std::string_view name, std::string_view text, size_t cipherLimit) {
  std::string plain(text);
  plain.push_back('\0');
  return WriteSealedValue(cipher, key, name, plain, cipherLimit);
}

LONG ReadSealedDword(IqzAES& cipher, HKEY key, std::string_view name, uint32_t* value) {
  std::string plain;
  LONG rc = ReadSealedValue(cipher, key, name, 4, &plain);
  if (rc) return rc;
  uint8_t b[4] = {};
  std::memcpy(b, plain.data(), plain.size());
  *value = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
  return ERROR_SUCCESS;
}

LONG WriteSealedDword(IqzAES& cipher, HKEY key, std::string_view name, uint32_t value) {
  const char b[4] = {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
                     static_cast<char>(value >> 24)};
  return WriteSealedValue(cipher, key, name, std::string_view(b, 4));
}

LONG ReadSealedDigest(IqzAES& cipher, HKEY key, std::string_view name, Digest* digest) {
  std::string plain;
  LONG rc = ReadSealedValue(cipher, key, name, digest->size(), &plain);
  if (rc) return rc;
  digest->fill(0);
  std::memcpy(digest->data(), plain.data(), plain.size());
  return ERROR_SUCCESS;
}

LONG WriteSealedDigest(IqzAES& cipher, HKEY key, std::string_view name, const Digest& digest) {
  return WriteSealedValue(cipher, key, name, std::string_view(reinterpret_cast<const char*>(digest.data()), 32));
}

std::u16string DefaultInstallFolder() { return Files().ExpandEnvironmentStringsW(kDefaultInstallFolder); }

bool ReadInstallFolder(IqzAES& cipher, HKEY common, std::u16string* folder) {
  std::string ansi;
  if (ReadSealedText(cipher, common, kValueInstallFolder, kPathField, &ansi) != ERROR_SUCCESS) return false;
  *folder = ansi.empty() ? DefaultInstallFolder() : AnsiToWide(ansi);
  return true;
}

bool WriteInstallFolder(IqzAES& cipher, HKEY common, std::u16string_view folder) {
  const std::string ansi = WideToAnsi(folder);
  // A cut path would name another folder.
  if (ansi.size() + 1 > kPathField) return false;
  return WriteSealedText(cipher, common, kValueInstallFolder, ansi) == ERROR_SUCCESS;
}

LONG OpenOrCreateKey(std::u16string_view subKey, HKEY* key) {
  if (Registry().RegOpenKeyW(HKEY_LOCAL_MACHINE, subKey, key) == ERROR_SUCCESS) return ERROR_SUCCESS;
  return Registry().RegCreateKeyW(HKEY_LOCAL_MACHINE, subKey, key);
}

int CreateKeyTree(RegKey* common) {
  RegKey root;
  if (OpenOrCreateKey(kProductKey, root.put()) != ERROR_SUCCESS) return 1;
  const std::u16string_view product(kProductName, std::char_traits<char16_t>::length(kProductName) + 1);
  if (Registry().RegSetValueExW(root.get(), u"Product", REG_SZ, reinterpret_cast<const BYTE*>(product.data()),
                                static_cast<DWORD>(product.size() * sizeof(char16_t))) != ERROR_SUCCESS)
    return 2;
  root.Close();
  const std::u16string_view subKeys[] = {kClientKey, kFontKey, kPatchKey, kCurrentInformalSwKey, kPolicyInformalSwKey,
                                         kAgentKey};
  int step = 3;
  for (auto sub : subKeys) {
    RegKey k;
    if (OpenOrCreateKey(sub, k.put()) != ERROR_SUCCESS) return step;
    ++step;
  }
  if (OpenOrCreateKey(kCommonKey, common->put()) != ERROR_SUCCESS) return 9;
  return 0;
}

bool WriteInstallerOutcome(const char16_t* text) {
  if (!text) return false;
  RegKey key;
  if (Registry().RegCreateKeyExW(HKEY_LOCAL_MACHINE, kInstallKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_READ | KEY_WRITE, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
    return false;
  const std::u16string_view value(text, std::char_traits<char16_t>::length(text) + 1);
  return Registry().RegSetValueExW(key.get(), u"value01", REG_SZ, reinterpret_cast<const BYTE*>(value.data()),
                                   static_cast<DWORD>(value.size() * sizeof(char16_t))) == ERROR_SUCCESS;
}

int ReadSiteSettings(ConfigContext& ctx) {
  SiteSettings& s = ctx.settings;
  ctx.registryCipher.SetPassword("");
  ctx.fileCipher.SetPassword("");
  s.clientId = 0;

  RegKey common;
  if (Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCommonKey, 0, KEY_READ, common.put()) != ERROR_SUCCESS) return 1;
  IqzAES& c = ctx.registryCipher;

  if (ReadSealedText(c, common.get(), kValueSerial, kSerialField, &s.serial, kSerialSealedBuffer) == ERROR_SUCCESS) {
    c.SetPassword(s.serial);
  } else {
    s.serial.clear();
  }
  if (!ReadInstallFolder(c, common.get(), &s.installFolder)) return s.serial.empty() ? 3 : 2;
  s.installFolderAnsi = WideToAnsi(s.installFolder);
  if (s.installFolderAnsi.size() + 1 > kPathField) return s.serial.empty() ? 3 : 2;

  if (ReadSealedDword(c, common.get(), kValueClientId, &s.clientId) != ERROR_SUCCESS) s.clientId = 0;
  if (ReadSealedText(c, common.get(), kValueServer, kServerField, &s.server) != ERROR_SUCCESS) return 4;
  if (ReadSealedText(c, common.get(), kValuePkServer, kServerField, &s.pkServer) != ERROR_SUCCESS) s.pkServer.clear();
  uint32_t port = 0;
  if (ReadSealedDword(c, common.get(), kValueHttpPort, &port) != ERROR_SUCCESS) return 5;
  s.httpPort = static_cast<int32_t>(port);
  if (ReadSealedDword(c, common.get(), kValueHttpsPort, &port) != ERROR_SUCCESS) return 6;
  s.httpsPort = static_cast<int32_t>(port);
  if (ReadSealedDword(c, common.get(), kValueMenu, &s.menu) != ERROR_SUCCESS) s.menu = kDefaultMenu;
  if (ReadSealedDigest(c, common.get(), kValueConfigDigest, &s.configDigest) != ERROR_SUCCESS) s.configDigest.fill(0);
  if (ReadSealedDigest(c, common.get(), kValueDefinitionDigest, &s.definitionDigest) != ERROR_SUCCESS)
    s.definitionDigest.fill(0);
  return 0;
}

bool CleanInformalSwPolicy() {
  constexpr REGSAM kRights = KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE;
  auto& reg = Registry();
  bool outdated = false;
  {
    RegKey policy;
    if (reg.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyInformalSwKey, 0, kRights, policy.put()) != ERROR_SUCCESS)
      return true;
    char16_t name[512];
    for (DWORD index = 0;; ++index) {
      DWORD cch = 512;
      const LONG rc = reg.RegEnumKeyExW(policy.get(), index, name, &cch);
      if (rc == ERROR_MORE_DATA) continue;  // a name too long for the buffer: skip that entry
      // Any other failure would repeat for every later index (the key is gone, say): stop.
      if (rc != ERROR_SUCCESS) break;
      RegKey entry;
      bool hasSlot = reg.RegOpenKeyExW(policy.get(), std::u16string_view(name, cch), 0, kRights, entry.put()) ==
                     ERROR_SUCCESS;
      // Asking for the size only: a long slot01 is still a present one.
      DWORD size = 0;
      hasSlot = hasSlot && reg.RegQueryValueExW(entry.get(), u"slot01", nullptr, nullptr, &size) == ERROR_SUCCESS;
      if (!hasSlot) {
        outdated = true;
        break;
      }
    }
  }
  if (!outdated) return true;
  return reg.SHDeleteKeyW(HKEY_LOCAL_MACHINE, kPolicyInformalSwKey) == ERROR_SUCCESS;
}

}  // namespace qz
