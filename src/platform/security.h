// Access tokens and privileges, shaped like OpenProcessToken, LookupPrivilegeValueW and
// AdjustTokenPrivileges; SIDs, access-control lists and security descriptors as aclapi builds them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace win {

constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
constexpr DWORD TOKEN_QUERY = 0x0008;
constexpr DWORD SE_PRIVILEGE_ENABLED = 0x00000002;
constexpr DWORD ERROR_NOT_ALL_ASSIGNED = 1300;
constexpr DWORD ERROR_NO_SUCH_PRIVILEGE = 1313;

constexpr char16_t SE_DEBUG_NAME[] = u"SeDebugPrivilege";

struct LUID {
  DWORD LowPart = 0;
  LONG HighPart = 0;
};

struct LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes = 0;
};

// PrivilegeCount is Privileges.size().
struct TOKEN_PRIVILEGES {
  std::vector<LUID_AND_ATTRIBUTES> Privileges;
};

// Security identifiers and discretionary access-control lists. A SID is a value here (no FreeSid).
struct SID_IDENTIFIER_AUTHORITY {
  BYTE Value[6] = {};
};
inline constexpr SID_IDENTIFIER_AUTHORITY SECURITY_NT_AUTHORITY = {{0, 0, 0, 0, 0, 5}};
inline constexpr SID_IDENTIFIER_AUTHORITY SECURITY_WORLD_SID_AUTHORITY = {{0, 0, 0, 0, 0, 1}};
constexpr DWORD SECURITY_BUILTIN_DOMAIN_RID = 32;
constexpr DWORD DOMAIN_ALIAS_RID_ADMINS = 544;
constexpr DWORD DOMAIN_ALIAS_RID_USERS = 545;
constexpr DWORD SECURITY_WORLD_RID = 0;

struct SID {
  BYTE Revision = 1;
  SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
  std::vector<DWORD> SubAuthority;  // at most 15
};
bool operator==(const SID& a, const SID& b);

// Count 1 to 8; the first count sub-authorities are used.
BOOL AllocateAndInitializeSid(const SID_IDENTIFIER_AUTHORITY& authority, BYTE count, DWORD s0, DWORD s1, DWORD s2,
                              DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7, SID* sid);
// "S-1-5-32-544".
std::u16string ConvertSidToStringSidW(const SID& sid);

constexpr BYTE ACCESS_ALLOWED_ACE_TYPE = 0;
constexpr BYTE ACCESS_DENIED_ACE_TYPE = 1;
constexpr BYTE OBJECT_INHERIT_ACE = 0x1;
constexpr BYTE CONTAINER_INHERIT_ACE = 0x2;
constexpr BYTE NO_PROPAGATE_INHERIT_ACE = 0x4;
constexpr BYTE INHERIT_ONLY_ACE = 0x8;
constexpr DWORD NO_INHERITANCE = 0x0;
constexpr DWORD SUB_OBJECTS_ONLY_INHERIT = 0x1;
constexpr DWORD SUB_CONTAINERS_ONLY_INHERIT = 0x2;
constexpr DWORD SUB_CONTAINERS_AND_OBJECTS_INHERIT = 0x3;

struct ACE {
  BYTE AceType = ACCESS_ALLOWED_ACE_TYPE;
  BYTE AceFlags = 0;
  DWORD Mask = 0;
  SID Sid;
};
struct ACL {
  std::vector<ACE> Aces;
};

enum ACCESS_MODE { NOT_USED_ACCESS = 0, GRANT_ACCESS, SET_ACCESS, DENY_ACCESS, REVOKE_ACCESS };
enum TRUSTEE_FORM { TRUSTEE_IS_SID = 0, TRUSTEE_IS_NAME = 1 };
enum TRUSTEE_TYPE {
  TRUSTEE_IS_UNKNOWN = 0,
  TRUSTEE_IS_USER,
  TRUSTEE_IS_GROUP,
  TRUSTEE_IS_DOMAIN,
  TRUSTEE_IS_ALIAS,
  TRUSTEE_IS_WELL_KNOWN_GROUP,
};
struct TRUSTEE_W {
  TRUSTEE_FORM TrusteeForm = TRUSTEE_IS_SID;
  TRUSTEE_TYPE TrusteeType = TRUSTEE_IS_UNKNOWN;
  SID ptstrName;  // only SID trustees are supported
};
struct EXPLICIT_ACCESS_W {
  DWORD grfAccessPermissions = 0;
  ACCESS_MODE grfAccessMode = NOT_USED_ACCESS;
  DWORD grfInheritance = NO_INHERITANCE;
  TRUSTEE_W Trustee;
};
// Merges the entries into oldAcl (may be null) as a new list: denials first. ERROR_SUCCESS or
// ERROR_INVALID_PARAMETER (a trustee that is not a SID, an unknown mode).
DWORD SetEntriesInAclW(const std::vector<EXPLICIT_ACCESS_W>& entries, const ACL* oldAcl, ACL* newAcl);

constexpr DWORD SECURITY_DESCRIPTOR_REVISION = 1;
struct SECURITY_DESCRIPTOR {
  BYTE Revision = 0;
  bool DaclPresent = false;
  bool DaclDefaulted = false;
  ACL Dacl;
};
BOOL InitializeSecurityDescriptor(SECURITY_DESCRIPTOR* descriptor, DWORD revision);
BOOL SetSecurityDescriptorDacl(SECURITY_DESCRIPTOR* descriptor, BOOL present, const ACL* dacl, BOOL defaulted);

struct SECURITY_ATTRIBUTES {
  DWORD nLength = sizeof(SECURITY_ATTRIBUTES);
  const SECURITY_DESCRIPTOR* lpSecurityDescriptor = nullptr;
  BOOL bInheritHandle = FALSE;
};

// GetNamedSecurityInfoW's object types and parts.
constexpr DWORD SE_FILE_OBJECT = 1;
constexpr DWORD DACL_SECURITY_INFORMATION = 0x4;

// The pseudo handle of the calling process, as Windows gives it.
inline HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

class ISecurity {
 public:
  virtual ~ISecurity() = default;
  virtual BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) = 0;
  // system empty: the local machine.
  virtual BOOL LookupPrivilegeValueW(std::u16string_view system, std::u16string_view name, LUID* luid) = 0;
  // TRUE with last error ERROR_SUCCESS, or ERROR_NOT_ALL_ASSIGNED when the token lacks one of them.
  virtual BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, const TOKEN_PRIVILEGES* newState) = 0;
  // The privileges the token holds, each with its attributes (GetTokenInformation, TokenPrivileges).
  virtual BOOL GetTokenPrivileges(HANDLE token, TOKEN_PRIVILEGES* privileges) = 0;
};

}  // namespace win
