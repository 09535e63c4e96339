#include "config/registry_layout.h"

#include "platform/platform.h"

namespace qz {

using namespace win;

std::u16string DefaultInstallFolder() { return Files().ExpandEnvironmentStringsW(kDefaultInstallFolder); }

int CreateKeyTree(CommonRegKey* common) {
  RegKey root;
  if (OpenOrCreateKey(kProductKey, root.put()) != ERROR_SUCCESS) return 1;
  const std::u16string_view product(kProductName, std::char_traits<char16_t>::length(kProductName) + 1);
  if (Registry().RegSetValueExW(root.get(), kValueProduct, REG_SZ, reinterpret_cast<const BYTE*>(product.data()),
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
  return Registry().RegSetValueExW(key.get(), kValueInstallerOutcome, REG_SZ, reinterpret_cast<const BYTE*>(value.data()),
                                   static_cast<DWORD>(value.size() * sizeof(char16_t))) == ERROR_SUCCESS;
}

int ReadSiteSettings(ConfigContext& ctx) {
  SiteSettings& s = ctx.settings;
  SealedStore& store = ctx.store;
  // Until a serial is read, the site is the base key.
  store.SetSiteSerial("");
  s.clientId = 0;

  CommonRegKey common;
  if (OpenCommonKey(KEY_READ, &common) != ERROR_SUCCESS) return 1;

  if (store.ReadSerial(common, &s.serial) == ERROR_SUCCESS) {
    store.SetSiteSerial(s.serial);
  } else {
    s.serial.clear();
  }
  if (!store.ReadInstallFolder(common, &s.installFolder)) return s.serial.empty() ? 3 : 2;
  s.installFolderAnsi = WideToAnsi(s.installFolder);
  if (s.installFolderAnsi.size() + 1 > kPathField) return s.serial.empty() ? 3 : 2;

  if (store.ReadClientId(common, &s.clientId) != ERROR_SUCCESS) s.clientId = 0;
  if (store.ReadServer(common, &s.server) != ERROR_SUCCESS) return 4;
  if (store.ReadPkServer(common, &s.pkServer) != ERROR_SUCCESS) s.pkServer.clear();
  uint32_t port = 0;
  if (store.ReadHttpPort(common, &port) != ERROR_SUCCESS) return 5;
  s.httpPort = static_cast<int32_t>(port);
  if (store.ReadHttpsPort(common, &port) != ERROR_SUCCESS) return 6;
  s.httpsPort = static_cast<int32_t>(port);
  if (store.ReadMenu(common, &s.menu) != ERROR_SUCCESS) s.menu = kDefaultMenu;
  if (store.ReadConfigDigest(common, &s.configDigest) != ERROR_SUCCESS) s.configDigest.fill(0);
  if (store.ReadDefinitionDigest(common, &s.definitionDigest) != ERROR_SUCCESS) s.definitionDigest.fill(0);
  return 0;
}

LONG DeleteProductTree(HKEY root) { return Registry().SHDeleteKeyW(root, kProductKey); }

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
      hasSlot = hasSlot && reg.RegQueryValueExW(entry.get(), kValueSlot01W, nullptr, nullptr, &size) == ERROR_SUCCESS;
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
