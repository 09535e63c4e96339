// SIDs, access-control lists and security descriptors: plain data, the same on every backend.
#include <algorithm>
#include <string>

#include "platform/platform.h"

namespace win {

bool operator==(const SID& a, const SID& b) {
  for (int i = 0; i < 6; ++i) {
    if (a.IdentifierAuthority.Value[i] != b.IdentifierAuthority.Value[i]) return false;
  }
  return a.Revision == b.Revision && a.SubAuthority == b.SubAuthority;
}

BOOL AllocateAndInitializeSid(const SID_IDENTIFIER_AUTHORITY& authority, BYTE count, DWORD s0, DWORD s1, DWORD s2,
                              DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7, SID* sid) {
  if (!sid || count == 0 || count > 8) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD all[8] = {s0, s1, s2, s3, s4, s5, s6, s7};
  sid->Revision = 1;
  sid->IdentifierAuthority = authority;
  sid->SubAuthority.assign(all, all + count);
  return TRUE;
}

std::u16string ConvertSidToStringSidW(const SID& sid) {
  uint64_t authority = 0;
  for (BYTE b : sid.IdentifierAuthority.Value) authority = authority << 8 | b;
  std::string s = "S-" + std::to_string(sid.Revision) + "-" + std::to_string(authority);
  for (DWORD sub : sid.SubAuthority) s += "-" + std::to_string(sub);
  return std::u16string(s.begin(), s.end());
}

DWORD SetEntriesInAclW(const std::vector<EXPLICIT_ACCESS_W>& entries, const ACL* oldAcl, ACL* newAcl) {
  if (!newAcl) return ERROR_INVALID_PARAMETER;
  std::vector<ACE> aces = oldAcl ? oldAcl->Aces : std::vector<ACE>();
  for (const auto& e : entries) {
    if (e.Trustee.TrusteeForm != TRUSTEE_IS_SID) return ERROR_INVALID_PARAMETER;
    const SID& who = e.Trustee.ptstrName;
    auto drop = [&](BYTE type) {
      std::erase_if(aces, [&](const ACE& a) { return a.Sid == who && a.AceType == type; });
    };
    const BYTE flags = static_cast<BYTE>(e.grfInheritance & 0x0F);
    switch (e.grfAccessMode) {
      case NOT_USED_ACCESS:
        break;
      case SET_ACCESS:
        drop(ACCESS_ALLOWED_ACE_TYPE);
        aces.push_back({ACCESS_ALLOWED_ACE_TYPE, flags, e.grfAccessPermissions, who});
        break;
      case GRANT_ACCESS:
        aces.push_back({ACCESS_ALLOWED_ACE_TYPE, flags, e.grfAccessPermissions, who});
        break;
      case DENY_ACCESS:
        aces.push_back({ACCESS_DENIED_ACE_TYPE, flags, e.grfAccessPermissions, who});
        break;
      case REVOKE_ACCESS:
        drop(ACCESS_ALLOWED_ACE_TYPE);
        drop(ACCESS_DENIED_ACE_TYPE);
        break;
      default:
        return ERROR_INVALID_PARAMETER;
    }
  }
  // Canonical order: denials before grants.
  std::stable_partition(aces.begin(), aces.end(), [](const ACE& a) { return a.AceType == ACCESS_DENIED_ACE_TYPE; });
  newAcl->Aces = std::move(aces);
  return ERROR_SUCCESS;
}

BOOL InitializeSecurityDescriptor(SECURITY_DESCRIPTOR* descriptor, DWORD revision) {
  if (!descriptor || revision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *descriptor = SECURITY_DESCRIPTOR();
  descriptor->Revision = static_cast<BYTE>(revision);
  return TRUE;
}

BOOL SetSecurityDescriptorDacl(SECURITY_DESCRIPTOR* descriptor, BOOL present, const ACL* dacl, BOOL defaulted) {
  if (!descriptor || descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  descriptor->DaclPresent = present != FALSE;
  descriptor->DaclDefaulted = defaulted != FALSE;
  descriptor->Dacl = present && dacl ? *dacl : ACL();
  return TRUE;
}

}  // namespace win
