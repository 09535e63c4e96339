#include "config/agent_identity.h"

#include <cctype>

#include "config/messages.h"
#include "config/registry_layout.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace qz {

using namespace win;

namespace {

constexpr char16_t kTag[] = u"AgentInfo";

// A GUID value is read into 33 bytes and ends at a terminator or after 32 characters.
bool QueryGuid(HKEY key, std::string_view name, std::string* guid) {
  char buf[kAgentGuidLength + 1] = {};
  DWORD size = sizeof buf;
  if (Registry().RegQueryValueExA(key, name, nullptr, reinterpret_cast<BYTE*>(buf), &size) != ERROR_SUCCESS)
    return false;
  std::string_view v(buf, size);
  v = v.substr(0, std::min(v.find('\0'), kAgentGuidLength));
  *guid = std::string(v);
  return true;
}

// An identity is 32 hexadecimal characters; anything else (an empty text, a value of another type,
// damage) is no identity, and neither are the zeros a failed CoCreateGuid leaves.
bool IsUsable(std::string_view guid) {
  if (guid.size() != kAgentGuidLength) return false;
  for (char c : guid) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return !IsZeroAgentGuid(guid);
}

LONG SetGuid(HKEY key, std::string_view name, const std::string& guid) {
  return Registry().RegSetValueExA(key, name, REG_SZ, reinterpret_cast<const BYTE*>(guid.data()),
                                   static_cast<DWORD>(std::min(guid.size(), kAgentGuidLength)));
}

bool ReadBackup(std::string* guid) {
  RegKey key;
  if (Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, kBackupKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return false;
  return QueryGuid(key.get(), kValueBackupGuid, guid);
}

bool WriteBackup(const std::string& guid) {
  // The zeros would give every machine that failed the same identity.
  if (!IsUsable(guid)) return false;
  RegKey key;
  if (Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, kBackupKey, 0, KEY_WRITE, key.put()) != ERROR_SUCCESS &&
      Registry().RegCreateKeyExW(HKEY_LOCAL_MACHINE, kBackupKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                 nullptr, key.put(), nullptr) != ERROR_SUCCESS)
    return false;
  return SetGuid(key.get(), kValueBackupGuid, guid) == ERROR_SUCCESS;
}

bool MakeGuid(std::string* guid) {
  GUID g;
  if (FAILED(Com().CoCreateGuid(&g))) {
    *guid = kZeroAgentGuid;
    return false;
  }
  *guid = FormatAgentGuid(g);
  return true;
}

}  // namespace

std::string FormatAgentGuid(const GUID& g) {
  return FmtA("%08x%04x%04x%02X%02X%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1],
              g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}

bool IsZeroAgentGuid(std::string_view guid) { return guid == kZeroAgentGuid; }

void GetAgentGUID(ConfigContext& ctx) {
  auto log = [&](int level, std::u16string_view fmt, auto... a) { ctx.Log(kTag, u"GetAgentGUID", level, fmt, a...); };
  std::string& guid = ctx.settings.agentGuid;
  RegKey common;
  if (LONG rc = Registry().RegOpenKeyW(HKEY_LOCAL_MACHINE, kCommonKey, common.put())) {
    log(kLogWarning, kMsgCommonOpenFailed, rc);
  }
  std::string stored;
  const bool haveStored = common && QueryGuid(common.get(), kValueAgentGuid, &stored);
  if (haveStored && IsUsable(stored)) {
    guid = stored;
    log(kLogInfo, kMsgIdFromReg, guid);
    return;
  }
  std::string backup;
  if (ReadBackup(&backup) && IsUsable(backup)) {
    guid = backup;
    log(kLogInfo, kMsgIdFromBackup, guid);
    // An absent value08 stays absent; zeros there would still tell the agent a false identity.
    if (haveStored && common) SetGuid(common.get(), kValueAgentGuid, guid);
    return;
  }
  if (MakeGuid(&guid)) {
    log(kLogInfo, kMsgIdFromGuid, guid);
    log(kLogInfo, kMsgBackupResult, WriteBackup(guid) ? u"OK" : u"Failed");
  } else {
    log(kLogWarning, kMsgIdFailed);
  }
  if (common) SetGuid(common.get(), kValueAgentGuid, guid);
}

bool EnsureBackupGuid(ConfigContext& ctx) {
  std::string backup;
  if (ReadBackup(&backup) && IsUsable(backup)) return true;
  // Without an identity of its own there is nothing to back up; the next run makes one.
  if (!IsUsable(ctx.settings.agentGuid)) return true;
  return WriteBackup(ctx.settings.agentGuid);
}

bool SetClientID(ConfigContext& ctx) {
  CommonRegKey common;
  if (LONG rc = OpenCommonKey(KEY_WRITE, &common)) {
    // Registry calls report through their result, not the thread's last error.
    ctx.Log(kTag, u"SetClientID", kLogWarning, kMsgRegistryOpenError, rc);
    return false;
  }
  if (LONG rc = ctx.store.WriteClientId(common, 0)) {
    ctx.Log(kTag, u"SetClientID", kLogWarning, kMsgClientIdFailed, rc, GetLastError());
    return false;
  }
  ctx.settings.clientId = 0;
  return true;
}

void InstallerGuidStep() {
  RegKey common;
  if (Registry().RegOpenKeyW(HKEY_LOCAL_MACHINE, kCommonKey, common.put()) != ERROR_SUCCESS) return;
  std::string guid;
  if (ReadBackup(&guid) && IsUsable(guid)) return;
  if (MakeGuid(&guid)) WriteBackup(guid);
  SetGuid(common.get(), kValueAgentGuid, guid);
}

}  // namespace qz
