#include "config/reg_key.h"

#include "config/registry_keys.h"
#include "platform/platform.h"

namespace qz {

using namespace win;

void RegKey::Close() {
  if (key_) {
    Registry().RegCloseKey(key_);
    key_ = nullptr;
  }
}

LONG OpenCommonKey(REGSAM access, CommonRegKey* key) {
  return Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCommonKey, 0, access, key->put());
}

LONG OpenAgentKey(REGSAM access, AgentRegKey* key) {
  return Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAgentKey, 0, access, key->put());
}

LONG OpenOrCreateAgentKey(AgentRegKey* key) { return OpenOrCreateKey(kAgentKey, key->put()); }

LONG OpenOrCreateKey(std::u16string_view subKey, HKEY* key) {
  if (Registry().RegOpenKeyW(HKEY_LOCAL_MACHINE, subKey, key) == ERROR_SUCCESS) return ERROR_SUCCESS;
  return Registry().RegCreateKeyW(HKEY_LOCAL_MACHINE, subKey, key);
}

}  // namespace qz
