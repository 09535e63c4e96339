// Anonymous pipes, the shell's recursive delete, and folders made with a security descriptor whose
// DACL reads back, on any backend (each test in a sandbox, see support/sandbox.h). A child
// process writing into a pipe, which needs a program installed on a simulated machine, is in
// pipes_shell_security_winsim_test.cpp.
#include <gtest/gtest.h>

#include <optional>

#include "platform/platform.h"
#include "platform/shell.h"
#include "platform/text.h"
#include "support/sandbox.h"
#include "support/wine_differences.h"

namespace {

using namespace win;
using qztest::P;
using qztest::Sandbox;
using qztest::Expected;
using qztest::WineDifference;

bool Exists(std::u16string_view path) { return Files().GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

TEST(Pipes, ReadEndEndsOnlyWhenTheLastWriteHandleCloses) {
  Sandbox m;
  HANDLE r = nullptr, w = nullptr, w2 = nullptr;
  ASSERT_TRUE(Files().CreatePipe(&r, &w, nullptr, 0));
  ASSERT_TRUE(Processes().DuplicateHandle(GetCurrentProcess(), w, GetCurrentProcess(), &w2, 0, FALSE,
                                          DUPLICATE_SAME_ACCESS));
  CloseHandle(w);
  // A write end is no source of data.
  DWORD got = 0;
  char c;
  EXPECT_FALSE(Files().ReadFile(w2, &c, 1, &got));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(w2);
  EXPECT_FALSE(Files().ReadFile(r, &c, 1, &got));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_EQ(got, 0u);
  CloseHandle(r);
}

TEST(ShellDelete, RemovesWholeTreesWildcardsAndReportsWhatStays) {
  Sandbox m;
  ASSERT_TRUE(Files().CreateDirectoryW(P(u"\\d")));
  m.Put(u"\\d\\a.txt", "a");
  m.Put(u"\\d\\sub\\b.txt", "b");
  m.Put(u"\\d\\sub\\deeper\\c.txt", "c");
  Files().SetFileAttributesW(P(u"\\d\\a.txt"), FILE_ATTRIBUTE_READONLY);

  SHFILEOPSTRUCTW op;
  op.wFunc = FO_DELETE;
  op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION;
  op.pFrom = P(u"\\d") + u'\0' + u'\0';
  EXPECT_EQ(SHFileOperationW(&op), 0);
  EXPECT_FALSE(Exists(P(u"\\d")));

  op.pFrom = P(u"\\d");
  EXPECT_EQ(SHFileOperationW(&op), static_cast<int>(ERROR_FILE_NOT_FOUND));

  ASSERT_TRUE(Files().CreateDirectoryW(P(u"\\w")));
  m.Put(u"\\w\\x.log", "x");
  m.Put(u"\\w\\y.log", "y");
  m.Put(u"\\w\\keep.txt", "k");
  op.pFrom = P(u"\\w\\*.log");
  EXPECT_EQ(SHFileOperationW(&op), 0);
  EXPECT_FALSE(Exists(P(u"\\w\\x.log")));
  EXPECT_TRUE(Exists(P(u"\\w\\keep.txt")));

  // A file in use stays with its folders; everything else goes.
  m.Put(u"\\w\\sub\\held.txt", "h");
  HANDLE held = Files().CreateFileW(P(u"\\w\\sub\\held.txt"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  op.pFrom = P(u"\\w");
  EXPECT_EQ(SHFileOperationW(&op), static_cast<int>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(Exists(P(u"\\w\\sub\\held.txt")));
  EXPECT_FALSE(Exists(P(u"\\w\\keep.txt")));
  CloseHandle(held);
  EXPECT_EQ(SHFileOperationW(&op), 0);
  EXPECT_FALSE(Exists(P(u"\\w")));

  op.wFunc = FO_COPY;
  EXPECT_EQ(SHFileOperationW(&op), static_cast<int>(ERROR_NOT_SUPPORTED));
}

SID Sid(const SID_IDENTIFIER_AUTHORITY& a, std::initializer_list<DWORD> subs) {
  DWORD s[8] = {};
  BYTE n = 0;
  for (DWORD v : subs) s[n++] = v;
  SID sid;
  EXPECT_TRUE(AllocateAndInitializeSid(a, n, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], &sid));
  return sid;
}

EXPLICIT_ACCESS_W Entry(const SID& sid, DWORD mask, ACCESS_MODE mode, DWORD inherit) {
  EXPLICIT_ACCESS_W e;
  e.grfAccessPermissions = mask;
  e.grfAccessMode = mode;
  e.grfInheritance = inherit;
  e.Trustee.ptstrName = sid;
  return e;
}

TEST(Security, EntriesMergeIntoCanonicalAcl) {
  const SID admins = Sid(SECURITY_NT_AUTHORITY, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
  const SID world = Sid(SECURITY_WORLD_SID_AUTHORITY, {SECURITY_WORLD_RID});
  EXPECT_EQ(ConvertSidToStringSidW(admins), u"S-1-5-32-544");
  EXPECT_EQ(ConvertSidToStringSidW(world), u"S-1-1-0");

  ACL first, second;
  ASSERT_EQ(SetEntriesInAclW({Entry(admins, GENERIC_READ, GRANT_ACCESS, 0), Entry(world, GENERIC_READ, GRANT_ACCESS, 0)},
                             nullptr, &first),
            ERROR_SUCCESS);
  // SET replaces the trustee's grants; a denial goes before every grant.
  ASSERT_EQ(SetEntriesInAclW({Entry(admins, GENERIC_ALL, SET_ACCESS, SUB_CONTAINERS_AND_OBJECTS_INHERIT),
                              Entry(world, GENERIC_WRITE, DENY_ACCESS, 0)},
                             &first, &second),
            ERROR_SUCCESS);
  ASSERT_EQ(second.Aces.size(), 3u);
  EXPECT_EQ(second.Aces[0].AceType, ACCESS_DENIED_ACE_TYPE);
  EXPECT_EQ(second.Aces[1].Sid, world);
  EXPECT_EQ(second.Aces[2].Sid, admins);
  EXPECT_EQ(second.Aces[2].Mask, GENERIC_ALL);
  EXPECT_EQ(second.Aces[2].AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);

  EXPLICIT_ACCESS_W byName = Entry(admins, GENERIC_ALL, SET_ACCESS, 0);
  byName.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  EXPECT_EQ(SetEntriesInAclW({byName}, nullptr, &first), ERROR_INVALID_PARAMETER);
}

TEST(Security, FolderKeepsTheDaclItWasCreatedWith) {
  Sandbox m;
  const SID admins = Sid(SECURITY_NT_AUTHORITY, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
  ACL acl;
  ASSERT_EQ(SetEntriesInAclW({Entry(admins, GENERIC_ALL, SET_ACCESS, SUB_CONTAINERS_AND_OBJECTS_INHERIT)}, nullptr, &acl),
            ERROR_SUCCESS);
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, &acl, FALSE));
  SECURITY_ATTRIBUTES sa;
  sa.lpSecurityDescriptor = &sd;
  ASSERT_TRUE(Files().CreateDirectoryW(P(u"\\secure"), &sa));
  EXPECT_FALSE(Files().CreateDirectoryW(P(u"\\secure"), &sa));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);

  ACL read;
  BOOL present = FALSE;
  ASSERT_EQ(Files().GetNamedSecurityInfoW(P(u"\\SECURE"), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, &read, &present),
            ERROR_SUCCESS);
  EXPECT_TRUE(present);
  const size_t entries = static_cast<size_t>(Expected(WineDifference::FolderDaclEntriesOfCreatedDacl));
  ASSERT_EQ(read.Aces.size(), entries);
  if (entries == 1) {  // Windows: the entry given; Wine's own entries are none of it
    EXPECT_EQ(read.Aces[0].Sid, admins);
    EXPECT_EQ(read.Aces[0].Mask, GENERIC_ALL);
    EXPECT_EQ(read.Aces[0].AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(read.Aces[0].AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
  } else {
    for (const auto& ace : read.Aces) EXPECT_FALSE(ace.Sid == admins && ace.Mask == GENERIC_ALL);
  }

  // Removed and made again plainly, the name has no explicit DACL any more.
  ASSERT_TRUE(Files().RemoveDirectoryW(P(u"\\secure")));
  ASSERT_TRUE(Files().CreateDirectoryW(P(u"\\secure")));
  ASSERT_EQ(Files().GetNamedSecurityInfoW(P(u"\\secure"), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, &read, &present),
            ERROR_SUCCESS);
  const bool explicitDacl = Expected(WineDifference::FolderWithoutDaclHasExplicitDacl) != 0;
  EXPECT_EQ(present != FALSE, explicitDacl);
  EXPECT_EQ(read.Aces.empty(), !explicitDacl);
  EXPECT_EQ(Files().GetNamedSecurityInfoW(P(u"\\missing"), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, &read, &present),
            ERROR_FILE_NOT_FOUND);
}

// The attributes the token gives a privilege; nullopt when it does not hold it at all.
std::optional<DWORD> PrivilegeAttributes(HANDLE token, const LUID& luid) {
  TOKEN_PRIVILEGES held;
  EXPECT_TRUE(Security().GetTokenPrivileges(token, &held));
  for (const auto& p : held.Privileges) {
    if (p.Luid.LowPart == luid.LowPart && p.Luid.HighPart == luid.HighPart) return p.Attributes;
  }
  return std::nullopt;
}

TEST(Security, DebugPrivilegeIsEnabledAndDisabledInTheProcessToken) {
  Sandbox m;
  LUID debug;
  ASSERT_TRUE(Security().LookupPrivilegeValueW(u"", SE_DEBUG_NAME, &debug));
  EXPECT_EQ(debug.LowPart, 20u);  // Windows' well-known value
  EXPECT_EQ(debug.HighPart, 0);
  LUID none;
  EXPECT_FALSE(Security().LookupPrivilegeValueW(u"", u"SeNoSuchPrivilege", &none));
  EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_PRIVILEGE);

  HANDLE token = nullptr;
  ASSERT_TRUE(Security().OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  const auto initially = PrivilegeAttributes(token, debug);
  if (!initially) {
    CloseHandle(token);
    GTEST_SKIP() << "the process is not elevated: its token holds no SeDebugPrivilege";
  }
  TOKEN_PRIVILEGES change;
  change.Privileges.push_back({debug, SE_PRIVILEGE_ENABLED});
  SetLastError(0xDEAD);
  ASSERT_TRUE(Security().AdjustTokenPrivileges(token, FALSE, &change));
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(PrivilegeAttributes(token, debug).value_or(0) & SE_PRIVILEGE_ENABLED, SE_PRIVILEGE_ENABLED);
  change.Privileges[0].Attributes = 0;
  ASSERT_TRUE(Security().AdjustTokenPrivileges(token, FALSE, &change));
  EXPECT_EQ(PrivilegeAttributes(token, debug).value_or(SE_PRIVILEGE_ENABLED) & SE_PRIVILEGE_ENABLED, 0u);

  // A privilege the token does not hold: success, with the last error saying so.
  change.Privileges[0] = {LUID{999, 0}, SE_PRIVILEGE_ENABLED};
  ASSERT_TRUE(Security().AdjustTokenPrivileges(token, FALSE, &change));
  EXPECT_EQ(GetLastError(), ERROR_NOT_ALL_ASSIGNED);
  EXPECT_TRUE(CloseHandle(token));

  // A token opened for queries only cannot be adjusted.
  ASSERT_TRUE(Security().OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  change.Privileges[0] = {debug, SE_PRIVILEGE_ENABLED};
  EXPECT_FALSE(Security().AdjustTokenPrivileges(token, FALSE, &change));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CloseHandle(token));
}

}  // namespace
