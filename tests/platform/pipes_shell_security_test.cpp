// Anonymous pipes as a child's standard output, the shell's recursive delete, and folders made
// with a security descriptor whose DACL reads back.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/platform.h"
#include "platform/shell.h"
#include "platform/text.h"
#include "support/test_machine.h"

namespace {

using namespace win;
using qztest::TestMachine;

constexpr char16_t kProbe[] = u"C:\\t\\wsprobe.exe";

// Starts cmd with its output into a pipe (write end inheritable or not) and reads until the end.
std::string RunCapturing(std::u16string_view cmd, bool inheritable, DWORD* lastError) {
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  EXPECT_TRUE(Files().CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  HANDLE out = nullptr;
  EXPECT_TRUE(Processes().DuplicateHandle(GetCurrentProcess(), writeEnd, GetCurrentProcess(), &out, 0,
                                          inheritable ? TRUE : FALSE, DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
  STARTUPINFOW si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = out;
  si.hStdError = out;
  PROCESS_INFORMATION pi;
  EXPECT_TRUE(Processes().CreateProcessW(u"", cmd, CREATE_NO_WINDOW, u"C:\\", si, &pi));
  CloseHandle(out);
  std::string output;
  char piece[7];
  DWORD got = 0;
  while (Files().ReadFile(readEnd, piece, sizeof piece, &got)) output.append(piece, got);
  *lastError = GetLastError();
  CloseHandle(readEnd);
  Time().WaitForSingleObject(pi.hProcess, INFINITE);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return output;
}

TEST(Pipes, ChildWritesIntoAnInheritedWriteEndOnly) {
  TestMachine m("win10-x64");
  m.Install("wsprobe", kProbe);
  m.Enter(u"C:\\Windows\\explorer.exe", 64);
  const std::u16string cmd = std::u16string(kProbe) + u" cmdline";
  DWORD err = 0;
  EXPECT_EQ(RunCapturing(cmd, true, &err), "[" + WideToUtf8(cmd) + "]\n");
  EXPECT_EQ(err, ERROR_BROKEN_PIPE);
  // A handle that is not inheritable never reaches the child: the pipe ends with nothing in it.
  EXPECT_EQ(RunCapturing(cmd, false, &err), "");
  EXPECT_EQ(err, ERROR_BROKEN_PIPE);
}

TEST(Pipes, ReadEndEndsOnlyWhenTheLastWriteHandleCloses) {
  TestMachine m;
  m.Enter();
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

void Put(TestMachine& m, std::u16string_view winPath, const std::string& text) {
  Files().CreateDirectoryW(std::u16string(winPath.substr(0, winPath.find_last_of(u'\\'))));
  std::ofstream(m.HostPath(winPath)) << text;
}

bool Exists(std::u16string_view path) { return Files().GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

TEST(ShellDelete, RemovesWholeTreesWildcardsAndReportsWhatStays) {
  TestMachine m;
  m.Enter();
  ASSERT_TRUE(Files().CreateDirectoryW(u"C:\\d"));
  Put(m, u"C:\\d\\a.txt", "a");
  Put(m, u"C:\\d\\sub\\b.txt", "b");
  Put(m, u"C:\\d\\sub\\deeper\\c.txt", "c");
  Files().SetFileAttributesW(u"C:\\d\\a.txt", FILE_ATTRIBUTE_READONLY);

  SHFILEOPSTRUCTW op;
  op.wFunc = FO_DELETE;
  op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION;
  op.pFrom = std::u16string(u"C:\\d") + u'\0' + u'\0';
  EXPECT_EQ(SHFileOperationW(&op), 0);
  EXPECT_FALSE(Exists(u"C:\\d"));

  op.pFrom = u"C:\\d";
  EXPECT_EQ(SHFileOperationW(&op), static_cast<int>(ERROR_FILE_NOT_FOUND));

  ASSERT_TRUE(Files().CreateDirectoryW(u"C:\\w"));
  Put(m, u"C:\\w\\x.log", "x");
  Put(m, u"C:\\w\\y.log", "y");
  Put(m, u"C:\\w\\keep.txt", "k");
  op.pFrom = u"C:\\w\\*.log";
  EXPECT_EQ(SHFileOperationW(&op), 0);
  EXPECT_FALSE(Exists(u"C:\\w\\x.log"));
  EXPECT_TRUE(Exists(u"C:\\w\\keep.txt"));

  // A file in use stays with its folders; everything else goes.
  Put(m, u"C:\\w\\sub\\held.txt", "h");
  HANDLE held = Files().CreateFileW(u"C:\\w\\sub\\held.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  op.pFrom = u"C:\\w";
  EXPECT_EQ(SHFileOperationW(&op), static_cast<int>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(Exists(u"C:\\w\\sub\\held.txt"));
  EXPECT_FALSE(Exists(u"C:\\w\\keep.txt"));
  CloseHandle(held);
  EXPECT_EQ(SHFileOperationW(&op), 0);
  EXPECT_FALSE(Exists(u"C:\\w"));

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
  TestMachine m;
  m.Enter();
  const SID admins = Sid(SECURITY_NT_AUTHORITY, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
  ACL acl;
  ASSERT_EQ(SetEntriesInAclW({Entry(admins, GENERIC_ALL, SET_ACCESS, SUB_CONTAINERS_AND_OBJECTS_INHERIT)}, nullptr, &acl),
            ERROR_SUCCESS);
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, &acl, FALSE));
  SECURITY_ATTRIBUTES sa;
  sa.lpSecurityDescriptor = &sd;
  ASSERT_TRUE(Files().CreateDirectoryW(u"C:\\secure", &sa));
  EXPECT_FALSE(Files().CreateDirectoryW(u"C:\\secure", &sa));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);

  ACL read;
  BOOL present = FALSE;
  ASSERT_EQ(Files().GetNamedSecurityInfoW(u"c:\\SECURE", SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, &read, &present),
            ERROR_SUCCESS);
  EXPECT_TRUE(present);
  ASSERT_EQ(read.Aces.size(), 1u);
  EXPECT_EQ(read.Aces[0].Sid, admins);
  EXPECT_EQ(read.Aces[0].Mask, GENERIC_ALL);
  EXPECT_EQ(read.Aces[0].AceType, ACCESS_ALLOWED_ACE_TYPE);
  EXPECT_EQ(read.Aces[0].AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);

  // Removed and made again plainly, the name has no explicit DACL any more.
  ASSERT_TRUE(Files().RemoveDirectoryW(u"C:\\secure"));
  ASSERT_TRUE(Files().CreateDirectoryW(u"C:\\secure"));
  ASSERT_EQ(Files().GetNamedSecurityInfoW(u"C:\\secure", SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, &read, &present),
            ERROR_SUCCESS);
  EXPECT_FALSE(present);
  EXPECT_TRUE(read.Aces.empty());
  EXPECT_EQ(Files().GetNamedSecurityInfoW(u"C:\\missing", SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, &read, &present),
            ERROR_FILE_NOT_FOUND);
}

}  // namespace
