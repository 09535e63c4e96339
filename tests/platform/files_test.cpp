// Files and folders with Windows results: the same tables on winsim and on Windows (each test in
// a fresh sandbox, see support/sandbox.h). What only a simulated machine shows is in
// files_winsim_test.cpp.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/pending_renames.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "files_helpers.h"
#include "support/sandbox.h"
#include "support/wine_differences.h"

namespace {

using namespace filetest;

using namespace win;
using qztest::P;
using qztest::Sandbox;
using qztest::WineDifference;

// The result a call must give where Wine differs: the Windows error, or Wine's under Wine.
std::string ExpectedResult(WineDifference what) {
  const int64_t e = qztest::Expected(what);
  return e ? "error " + std::to_string(e) : "ok";
}

TEST(Files, WindowsResults) {
  Sandbox m("win10-x64", u"C:\\t\\prog.exe", 64);
  m.Put(u"\\t\\a.txt");
  m.Put(u"\\t\\b.txt");
  m.Put(u"\\t\\full\\x.txt");
  m.Put(u"\\t\\mv\\src.txt", "moved");
  m.Put(u"\\t\\mv\\dst.txt", "old");
  m.Put(u"\\t\\mv\\keep.txt", "kept");
  m.MakeFolder(u"\\t\\empty");
  m.MakeFolder(u"\\t\\folder\\inner");

  struct Case {
    const char* what;
    std::function<std::string()> call;
    std::string expected;
  };
  const Case cases[] = {
      {"open missing file", [] { return OpenResult(P(u"\\t\\none.txt"), GENERIC_READ, 0, OPEN_EXISTING); }, "error 2"},
      {"open in missing folder", [] { return OpenResult(P(u"\\nodir\\a.txt"), GENERIC_READ, 0, OPEN_EXISTING); },
       "error 3"},
      {"create in missing folder", [] { return OpenResult(P(u"\\nodir\\a.txt"), GENERIC_WRITE, 0, CREATE_ALWAYS); },
       "error 3"},
      {"create new over existing", [] { return OpenResult(P(u"\\t\\a.txt"), GENERIC_WRITE, 0, CREATE_NEW); },
       "error 80"},
      {"open always existing", [] { return OpenResult(P(u"\\t\\a.txt"), GENERIC_READ, 0, OPEN_ALWAYS); }, "ok 183"},
      {"create always existing", [] { return OpenResult(P(u"\\t\\b.txt"), GENERIC_WRITE, 0, CREATE_ALWAYS); },
       "ok 183"},
      {"open always new", [] { return OpenResult(P(u"\\t\\new.txt"), GENERIC_WRITE, 0, OPEN_ALWAYS); }, "ok"},
      {"truncate missing", [] { return OpenResult(P(u"\\t\\none.txt"), GENERIC_WRITE, 0, TRUNCATE_EXISTING); },
       "error 2"},
      {"open folder as file", [] { return OpenResult(P(u"\\t\\folder"), GENERIC_READ, 0, OPEN_EXISTING); }, "error 5"},
      {"open folder for backup",
       [] { return OpenResult(P(u"\\t\\folder"), GENERIC_READ, 7, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS); }, "ok"},
      {"invalid name", [] { return OpenResult(P(u"\\t\\a|b.txt"), GENERIC_READ, 0, OPEN_EXISTING); }, "error 123"},
      {"names match in any case", [] { return OpenResult(P(u"\\T\\A.TXT"), GENERIC_READ, 0, OPEN_EXISTING); }, "ok"},
      {"delete missing file", [] { return Result(Files().DeleteFileW(P(u"\\t\\none.txt"))); }, "error 2"},
      {"delete in missing folder", [] { return Result(Files().DeleteFileW(P(u"\\nodir\\a.txt"))); }, "error 3"},
      {"delete a folder", [] { return Result(Files().DeleteFileW(P(u"\\t\\empty"))); }, "error 5"},
      {"copy missing source", [] { return Result(Files().CopyFileW(P(u"\\t\\none.txt"), P(u"\\t\\c.txt"), FALSE)); },
       "error 2"},
      {"copy onto existing, fail if exists",
       [] { return Result(Files().CopyFileW(P(u"\\t\\a.txt"), P(u"\\t\\b.txt"), TRUE)); }, "error 80"},
      {"copy into missing folder",
       [] { return Result(Files().CopyFileW(P(u"\\t\\a.txt"), P(u"\\nodir\\a.txt"), FALSE)); }, "error 3"},
      {"move missing source", [] { return Result(Files().MoveFileW(P(u"\\t\\none.txt"), P(u"\\t\\z.txt"))); },
       "error 2"},
      {"move into missing folder", [] { return Result(Files().MoveFileW(P(u"\\t\\a.txt"), P(u"\\nodir\\a.txt"))); },
       "error 3"},
      {"move onto existing", [] { return Result(Files().MoveFileW(P(u"\\t\\mv\\src.txt"), P(u"\\t\\mv\\dst.txt"))); },
       "error 183"},
      {"move onto existing, no replace flag",
       [] { return Result(Files().MoveFileExW(P(u"\\t\\mv\\src.txt"), P(u"\\t\\mv\\dst.txt"), 0)); }, "error 183"},
      {"move replacing existing",
       [] {
         return Result(Files().MoveFileExW(P(u"\\t\\mv\\src.txt"), P(u"\\t\\mv\\DST.txt"), MOVEFILE_REPLACE_EXISTING));
       },
       "ok"},
      {"move replacing a folder",
       [] { return Result(Files().MoveFileExW(P(u"\\t\\mv\\keep.txt"), P(u"\\t\\empty"), MOVEFILE_REPLACE_EXISTING)); },
       "error 5"},
      {"create existing folder", [] { return Result(Files().CreateDirectoryW(P(u"\\t\\empty"))); }, "error 183"},
      {"create folder over a file", [] { return Result(Files().CreateDirectoryW(P(u"\\t\\a.txt"))); }, "error 183"},
      {"create folder in missing parent", [] { return Result(Files().CreateDirectoryW(P(u"\\nodir\\x"))); },
       "error 3"},
      {"remove folder not empty", [] { return Result(Files().RemoveDirectoryW(P(u"\\t\\full"))); }, "error 145"},
      {"remove missing folder", [] { return Result(Files().RemoveDirectoryW(P(u"\\t\\none"))); }, "error 2"},
      {"remove a file as folder", [] { return Result(Files().RemoveDirectoryW(P(u"\\t\\a.txt"))); }, "error 267"},
      {"remove empty folder", [] { return Result(Files().RemoveDirectoryW(P(u"\\T\\EMPTY"))); }, "ok"},
      {"move a folder", [] { return Result(Files().MoveFileW(P(u"\\t\\folder"), P(u"\\t\\renamed"))); }, "ok"},
      {"attributes of missing file",
       [] {
         DWORD a = Files().GetFileAttributesW(P(u"\\t\\none.txt"));
         return a == INVALID_FILE_ATTRIBUTES ? "error " + std::to_string(GetLastError()) : "ok";
       },
       "error 2"},
      {"attributes of a folder",
       [] { return std::to_string(Files().GetFileAttributesW(P(u"\\t\\renamed\\inner"))); },
       std::to_string(FILE_ATTRIBUTE_DIRECTORY)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(0xDEAD);
    EXPECT_EQ(c.call(), c.expected);
  }
  // The replacing move left the moved content in the target.
  EXPECT_EQ(m.Read(u"\\t\\mv\\dst.txt"), "moved");
  EXPECT_FALSE(m.Exists(u"\\t\\mv\\src.txt"));
  EXPECT_EQ(m.Read(u"\\t\\b.txt"), "");  // CREATE_ALWAYS truncated it
  EXPECT_TRUE(m.IsFolder(u"\\t\\renamed\\inner"));
}

TEST(Files, ReadWriteSeekAndSize) {
  Sandbox m("win10-x64", u"C:\\t\\prog.exe", 32);
  ASSERT_TRUE(Files().CreateDirectoryW(P(u"\\t")));
  HANDLE h = Open(P(u"\\t\\f.bin"), GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ASSERT_TRUE(Files().WriteFile(h, "0123456789", 10, &n));
  EXPECT_EQ(n, 10u);
  LONG high = 0;
  EXPECT_EQ(Files().SetFilePointer(h, 4, &high, FILE_BEGIN), 4u);
  char buf[16] = {};
  ASSERT_TRUE(Files().ReadFile(h, buf, sizeof buf, &n));
  EXPECT_EQ(std::string(buf, n), "456789");
  ASSERT_TRUE(Files().ReadFile(h, buf, sizeof buf, &n));  // end of file: success with nothing
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(Files().SetFilePointer(h, -20, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), 131u);
  int64_t pos = 0;
  ASSERT_TRUE(Files().SetFilePointerEx(h, -3, &pos, FILE_END));
  EXPECT_EQ(pos, 7);
  ASSERT_TRUE(Files().SetEndOfFile(h));
  int64_t size = 0;
  ASSERT_TRUE(Files().GetFileSizeEx(h, &size));
  EXPECT_EQ(size, 7);
  EXPECT_TRUE(Files().FlushFileBuffers(h));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(Files().ReadFile(h, buf, 1, &n));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  // A handle does only what it was opened for.
  HANDLE r = Open(P(u"\\t\\f.bin"), GENERIC_READ, FILE_SHARE_READ);
  ASSERT_NE(r, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Result(Files().WriteFile(r, "x", 1, &n)), "error 5");
  CloseHandle(r);
  HANDLE w = Open(P(u"\\t\\f.bin"), GENERIC_WRITE, 0);
  ASSERT_NE(w, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Result(Files().ReadFile(w, buf, 1, &n)), "error 5");
  CloseHandle(w);
  EXPECT_EQ(m.Read(u"\\t\\f.bin"), "0123456");
}

// Small reads are served ahead of the caller; every other operation must still see the position
// the caller stands at.
TEST(Files, SmallReadsKeepThePositionForWritesSeeksAndTruncation) {
  Sandbox m("win10", u"C:\\t\\prog.exe", 32);
  std::string text(200000, '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
  m.Put(u"\\t\\big.txt", text);
  HANDLE h = Open(P(u"\\t\\big.txt"), GENERIC_READ | GENERIC_WRITE, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char buf[1024];
  DWORD n = 0;
  ASSERT_TRUE(Files().ReadFile(h, buf, 10, &n));
  EXPECT_EQ(std::string(buf, n), text.substr(0, 10));
  ASSERT_TRUE(Files().WriteFile(h, "XY", 2, &n));  // lands at 10, not where the read-ahead stopped
  LONG high = 0;
  EXPECT_EQ(Files().SetFilePointer(h, 0, &high, FILE_CURRENT), 12u);
  ASSERT_TRUE(Files().ReadFile(h, buf, 3, &n));
  EXPECT_EQ(std::string(buf, n), text.substr(12, 3));
  EXPECT_EQ(Files().SetFilePointer(h, 0, &high, FILE_CURRENT), 15u);
  // Reading across the read-ahead's edge, then a large read straight from the file.
  std::string got;
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(Files().ReadFile(h, buf, sizeof buf, &n));
    got.append(buf, n);
  }
  EXPECT_EQ(got, text.substr(15, 102400));
  std::string rest(200000, '\0');
  ASSERT_TRUE(Files().ReadFile(h, rest.data(), static_cast<DWORD>(rest.size()), &n));
  EXPECT_EQ(rest.substr(0, n), text.substr(15 + 102400));
  EXPECT_EQ(Files().SetFilePointer(h, 100, &high, FILE_BEGIN), 100u);
  ASSERT_TRUE(Files().ReadFile(h, buf, 5, &n));
  ASSERT_TRUE(Files().SetEndOfFile(h));
  CloseHandle(h);
  std::string expect = text.substr(0, 105);
  expect.replace(10, 2, "XY");
  EXPECT_EQ(m.Read(u"\\t\\big.txt"), expect);
}

TEST(Files, FindWithWildcards) {
  Sandbox m("win10-x64", u"C:\\w\\prog.exe", 32);
  for (auto name : {u"\\w\\b.r331", u"\\w\\A.r331", u"\\w\\c.txt", u"\\w\\readme", u"\\w\\x.r3310"}) {
    m.Put(name);
  }
  m.MakeFolder(u"\\w\\Sub");

  auto list = [](std::u16string_view pattern) {
    WIN32_FIND_DATAW d;
    HANDLE h = Files().FindFirstFileW(pattern, &d);
    if (h == INVALID_HANDLE_VALUE) return "error " + std::to_string(GetLastError());
    std::string out = WideToUtf8(d.cFileName);
    while (Files().FindNextFileW(h, &d)) out += " " + WideToUtf8(d.cFileName);
    const DWORD end = GetLastError();
    Files().FindClose(h);
    return end == ERROR_NO_MORE_FILES ? out : out + " (ended with " + std::to_string(end) + ")";
  };
  struct Case {
    std::u16string pattern;
    std::string expected;
  };
  const Case cases[] = {
      {P(u"\\w\\*"), ". .. A.r331 b.r331 c.txt readme Sub x.r3310"},
      {P(u"\\w\\*.*"), ". .. A.r331 b.r331 c.txt readme Sub x.r3310"},
      {P(u"\\w\\*.r331"), "A.r331 b.r331"},
      // Windows also matches the 8.3 short names (A~1.R33 ...): only long names count.
      {P(u"\\w\\*.r33"), "error 2"},
      {P(u"\\w\\*.r3310"), "x.r3310"},
      {P(u"\\W\\*.R331"), "A.r331 b.r331"},
      {P(u"\\w\\?.txt"), "c.txt"},
      {P(u"\\w\\?.r33?"), "A.r331 b.r331"},
      {P(u"\\w\\readme.*"), "readme"},
      {P(u"\\w\\sub"), "Sub"},
      {u"w\\c.*", "c.txt"},  // relative to the current folder
      {P(u"\\w\\*.zip"), "error 2"},
      {P(u"\\nodir\\*"), "error 3"},
  };
  ASSERT_TRUE(Files().SetCurrentDirectoryW(P(u"\\")));
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.pattern));
    EXPECT_EQ(list(c.pattern), c.expected);
  }
  // The drive root lists no "." and "..".
  EXPECT_EQ(list(u"C:\\*").rfind(". ", 0), std::string::npos);

  WIN32_FIND_DATAW d;
  HANDLE h = Files().FindFirstFileW(P(u"\\w\\c.txt"), &d);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(d.nFileSizeLow, 4u);
  EXPECT_EQ(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_GT(d.ftLastWriteTime, 116444736000000000ull);  // after 1970
  EXPECT_FALSE(Files().FindNextFileW(h, &d));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(Files().FindClose(h));
  EXPECT_FALSE(Files().FindClose(h));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Files, DelayUntilRebootIsRecordedAsWindowsDoes) {
  Sandbox m("win10-x64", u"C:\\App\\qzUpdater.exe", 64);
  m.Put(u"\\App\\gone.exe", "running");
  m.Put(u"\\App\\new.dll", "new");
  m.Put(u"\\App\\old.dll", "old");
  const auto before = qztest::PendingRenameValue();
  const BOOL deletion = Files().MoveFileExW(P(u"\\App\\gone.exe"), u"", MOVEFILE_DELAY_UNTIL_REBOOT);
  const BOOL replacing = Files().MoveFileExW(P(u"\\App\\new.dll"), P(u"\\App\\old.dll"),
                                             MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING);
  const std::string copying = Result(Files().MoveFileExW(P(u"\\App\\a"), P(u"\\App\\b"),
                                                         MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED));
  const auto after = qztest::PendingRenameValue();
  EXPECT_TRUE(deletion);
  EXPECT_TRUE(replacing);
  EXPECT_EQ(copying, "error 87");

  // Appended to whatever was there, in NT form; a deletion's target is empty, a replacing
  // move's target starts with '!'.
  auto expected = win::ParsePendingRenames(before);
  for (std::u16string s : {u"\\??\\" + P(u"\\App\\gone.exe"), std::u16string(), u"\\??\\" + P(u"\\App\\new.dll"),
                           u"!\\??\\" + P(u"\\App\\old.dll")}) {
    expected.push_back(s);
  }
  EXPECT_EQ(win::ParsePendingRenames(after), expected);
  // Nothing happens before the restart.
  EXPECT_EQ(m.Read(u"\\App\\gone.exe"), "running");
  EXPECT_EQ(m.Read(u"\\App\\old.dll"), "old");
}

TEST(Files, ShareModesBetweenHandles) {
  Sandbox m("win10-x64", u"C:\\s\\prog.exe", 32);
  m.Put(u"\\s\\f.txt");
  constexpr DWORD R = GENERIC_READ, W = GENERIC_WRITE, RD = FILE_SHARE_READ, WR = FILE_SHARE_WRITE,
                  DL = FILE_SHARE_DELETE;
  struct Case {
    DWORD access1, share1, access2, share2;
    bool secondOpens;
  };
  const Case cases[] = {
      {R, RD, R, RD, true},
      {R, RD, W, RD | WR, false},     // the first does not share writing
      {R, RD | WR, W, RD | WR, true},
      {W, RD | WR, R, RD, false},     // the second does not share the first's writing
      {R, 0, R, RD | WR | DL, false},  // exclusive
      {0, 0, R | W, 0, true},          // an attributes-only handle conflicts with nothing
      {R, RD | DL, DELETE, RD | WR | DL, true},
      {R, RD, DELETE, RD | WR | DL, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.access1 << "/" << c.share1 << " then " << c.access2 << "/"
                                    << c.share2);
    HANDLE first = Open(P(u"\\s\\f.txt"), c.access1, c.share1);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    HANDLE second = Open(P(u"\\S\\F.TXT"), c.access2, c.share2);
    if (c.secondOpens) {
      EXPECT_NE(second, INVALID_HANDLE_VALUE);
      CloseHandle(second);
    } else {
      EXPECT_EQ(second, INVALID_HANDLE_VALUE);
      EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    }
    CloseHandle(first);
  }

  // Without delete sharing the file can be neither deleted nor renamed; a rename keeps the
  // protection, since it follows the file and not its name.
  HANDLE h = Open(P(u"\\s\\f.txt"), R, RD | WR);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Result(Files().DeleteFileW(P(u"\\s\\f.txt"))), "error 32");
  EXPECT_EQ(Result(Files().MoveFileW(P(u"\\s\\f.txt"), P(u"\\s\\g.txt"))), "error 32");
  CloseHandle(h);
  h = Open(P(u"\\s\\f.txt"), R, RD | WR | DL);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Result(Files().MoveFileW(P(u"\\s\\f.txt"), P(u"\\s\\g.txt"))), "ok");
  HANDLE h2 = Open(P(u"\\s\\g.txt"), R, RD);
  ASSERT_NE(h2, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Result(Files().MoveFileW(P(u"\\s\\g.txt"), P(u"\\s\\f.txt"))), "error 32");
  // A folder holding an open file cannot be renamed.
  const std::string folderRename = ExpectedResult(WineDifference::RenameFolderHoldingAnOpenFile);
  EXPECT_EQ(Result(Files().MoveFileW(P(u"\\s"), P(u"\\s2"))), folderRename);
  if (folderRename == "ok") {
    ASSERT_TRUE(Files().MoveFileW(P(u"\\s2"), P(u"\\s")));  // back, for what follows
  }
  CloseHandle(h2);
  EXPECT_EQ(Result(Files().DeleteFileW(P(u"\\s\\g.txt"))), "ok");  // h is open but shares deletion
  CloseHandle(h);
}

TEST(Files, ReadOnlyAttribute) {
  Sandbox m("winxp-sp3", u"C:\\r\\prog.exe", 32);
  m.Put(u"\\r\\f.txt", "x");
  ASSERT_TRUE(Files().SetFileAttributesW(P(u"\\r\\f.txt"), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(Files().GetFileAttributesW(P(u"\\r\\f.txt")) & FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(Result(Files().DeleteFileW(P(u"\\r\\f.txt"))), "error 5");
  const std::string writeReadOnly = ExpectedResult(WineDifference::WriteToReadOnlyFileAsRoot);
  EXPECT_EQ(OpenResult(P(u"\\r\\f.txt"), GENERIC_WRITE, 0, OPEN_EXISTING), writeReadOnly);
  EXPECT_EQ(OpenResult(P(u"\\r\\f.txt"), GENERIC_READ, 0, OPEN_EXISTING), "ok");
  EXPECT_EQ(Result(Files().CopyFileW(P(u"\\r\\f.txt"), P(u"\\r\\g.txt"), FALSE)), "ok");
  EXPECT_EQ(Files().GetFileAttributesW(P(u"\\r\\g.txt")) & FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(Result(Files().CopyFileW(P(u"\\r\\f.txt"), P(u"\\r\\g.txt"), FALSE)), writeReadOnly);  // copy kept it
  EXPECT_EQ(Result(Files().MoveFileW(P(u"\\r\\f.txt"), P(u"\\r\\h.txt"))), "ok");
  ASSERT_TRUE(Files().SetFileAttributesW(P(u"\\r\\h.txt"), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(Files().GetFileAttributesW(P(u"\\r\\h.txt")) & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_EQ(Result(Files().DeleteFileW(P(u"\\r\\h.txt"))), "ok");
  EXPECT_EQ(Result(Files().SetFileAttributesW(P(u"\\r\\none.txt"), FILE_ATTRIBUTE_NORMAL)), "error 2");
}


}  // namespace
