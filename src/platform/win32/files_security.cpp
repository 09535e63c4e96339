// Folders created with a DACL of their own, and the DACL read back: the project's plain SIDs and
// ACLs converted to and from the API's binary forms.
#include <vector>

#include "platform/win32/files_internal.h"

#include <aclapi.h>

namespace win32 {

namespace {

std::vector<BYTE> NativeSid(const win::SID& sid) {
  const BYTE count = static_cast<BYTE>(sid.SubAuthority.size());
  std::vector<BYTE> out(8 + 4 * sid.SubAuthority.size());
  out[0] = sid.Revision;
  out[1] = count;
  for (int i = 0; i < 6; ++i) out[2 + i] = sid.IdentifierAuthority.Value[i];
  for (size_t i = 0; i < sid.SubAuthority.size(); ++i) {
    const DWORD v = sid.SubAuthority[i];  // little-endian, as the API stores it
    for (int b = 0; b < 4; ++b) out[8 + 4 * i + b] = static_cast<BYTE>(v >> (8 * b));
  }
  return out;
}

win::SID ProjectSid(PSID sid) {
  win::SID out;
  out.Revision = static_cast<const BYTE*>(sid)[0];
  const SID_IDENTIFIER_AUTHORITY* a = ::GetSidIdentifierAuthority(sid);
  for (int i = 0; i < 6; ++i) out.IdentifierAuthority.Value[i] = a->Value[i];
  const BYTE count = *::GetSidSubAuthorityCount(sid);
  for (BYTE i = 0; i < count; ++i) out.SubAuthority.push_back(*::GetSidSubAuthority(sid, i));
  return out;
}

}  // namespace

bool NativeDescriptor::Build(const win::SECURITY_DESCRIPTOR& sd) {
  if (!::InitializeSecurityDescriptor(&sd_, SECURITY_DESCRIPTOR_REVISION)) return false;
  if (!sd.DaclPresent) return true;
  std::vector<std::vector<BYTE>> sids;
  DWORD size = sizeof(::ACL);
  for (const auto& ace : sd.Dacl.Aces) {
    if (ace.Sid.SubAuthority.size() > SID_MAX_SUB_AUTHORITIES) {
      ::SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    sids.push_back(NativeSid(ace.Sid));
    size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + static_cast<DWORD>(sids.back().size());
  }
  acl_.assign((size + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
  auto* acl = reinterpret_cast<::ACL*>(acl_.data());
  if (!::InitializeAcl(acl, size, ACL_REVISION)) return false;
  for (size_t i = 0; i < sd.Dacl.Aces.size(); ++i) {
    const auto& ace = sd.Dacl.Aces[i];
    BOOL ok = FALSE;
    if (ace.AceType == ACCESS_ALLOWED_ACE_TYPE) {
      ok = ::AddAccessAllowedAceEx(acl, ACL_REVISION, ace.AceFlags, ace.Mask, sids[i].data());
    } else if (ace.AceType == ACCESS_DENIED_ACE_TYPE) {
      ok = ::AddAccessDeniedAceEx(acl, ACL_REVISION, ace.AceFlags, ace.Mask, sids[i].data());
    } else {
      ::SetLastError(ERROR_INVALID_PARAMETER);
    }
    if (!ok) return false;
  }
  if (!::SetSecurityDescriptorDacl(&sd_, TRUE, acl, sd.DaclDefaulted ? TRUE : FALSE)) return false;
  // The entries given are the whole list: nothing is taken over from the parent folder.
  return ::SetSecurityDescriptorControl(&sd_, SE_DACL_PROTECTED, SE_DACL_PROTECTED) != FALSE;
}

win::ACL ExplicitEntries(const ::ACL* dacl) {
  win::ACL out;
  if (!dacl) return out;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    if (!::GetAce(const_cast<::ACL*>(dacl), i, &raw)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(raw);
    if (header->AceFlags & INHERITED_ACE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
    // Allowed and denied entries share one layout.
    auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
    win::ACE e;
    e.AceType = header->AceType;
    e.AceFlags = header->AceFlags;
    e.Mask = ace->Mask;
    e.Sid = ProjectSid(&ace->SidStart);
    out.Aces.push_back(std::move(e));
  }
  return out;
}

win::BOOL Win32Files::CreateDirectoryW(std::u16string_view path, const win::SECURITY_ATTRIBUTES* attributes) {
  const win::SECURITY_DESCRIPTOR* given = attributes ? attributes->lpSecurityDescriptor : nullptr;
  if (!given) return CreateDirectoryW(path);
  NativeDescriptor sd;
  if (!sd.Build(*given)) {
    KeepLastError();
    return FALSE;
  }
  ::SECURITY_ATTRIBUTES sa{};
  sa.nLength = sizeof(sa);
  sa.lpSecurityDescriptor = sd.get();
  sa.bInheritHandle = attributes->bInheritHandle ? TRUE : FALSE;
  const BOOL ok = ::CreateDirectoryW(W(Z(path)), &sa);
  KeepLastError();
  return ok;
}

win::DWORD Win32Files::GetNamedSecurityInfoW(std::u16string_view path, win::DWORD objectType,
                                             win::DWORD securityInfo, win::ACL* dacl, win::BOOL* present) {
  if (objectType != static_cast<DWORD>(SE_FILE_OBJECT) || !(securityInfo & DACL_SECURITY_INFORMATION) || !dacl ||
      !present) {
    return ERROR_INVALID_PARAMETER;
  }
  std::u16string p(path);
  PACL native = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD rc = ::GetNamedSecurityInfoW(W(p.data()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                           &native, nullptr, &sd);
  if (rc != ERROR_SUCCESS) return rc;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ::GetSecurityDescriptorControl(sd, &control, &revision);
  *dacl = ExplicitEntries(native);
  // A folder made without a DACL of its own holds only what it inherited.
  *present = native && ((control & SE_DACL_PROTECTED) || !dacl->Aces.empty()) ? TRUE : FALSE;
  ::LocalFree(sd);
  return ERROR_SUCCESS;
}

}  // namespace win32
