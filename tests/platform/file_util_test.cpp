// The file idioms over the platform's file service, on any backend (each test in a sandbox, see
// support/sandbox.h). Junctions, which only a simulated machine can make here, are in
// file_util_winsim_test.cpp.
#include "platform/file_util.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/platform.h"
#include "support/sandbox.h"

namespace {

using namespace win;
using qztest::P;

class FileUtil : public ::testing::Test {
 protected:
  void Put(std::u16string_view rel, const std::string& text = "data") { sandbox_.Put(rel, text); }

  qztest::Sandbox sandbox_;
};

TEST_F(FileUtil, ExistenceOfFilesAndFolders) {
  Put(u"\\d\\f.txt");
  struct Case {
    std::u16string path;
    bool exists, folder;
  } cases[] = {{P(u"\\d\\f.txt"), true, false}, {P(u"\\D\\F.TXT"), true, false}, {P(u"\\d"), true, true},
               {P(u"\\d\\"), true, true},      {P(u"\\d\\none"), false, false}, {P(u"\\none\\f.txt"), false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
    EXPECT_EQ(PathExists(c.path), c.exists);
    EXPECT_EQ(FolderExists(c.path), c.folder);
  }
}

TEST_F(FileUtil, RemovalSaysWhetherItHappenedNowOrAtTheNextRestart) {
  const auto before = qztest::PendingRenameList();
  Put(u"\\d\\free.txt");
  Put(u"\\d\\busy.txt");
  EXPECT_EQ(DeleteFileNowOrAtRestart(P(u"\\d\\free.txt")), Removal::Now);
  EXPECT_FALSE(PathExists(P(u"\\d\\free.txt")));
  EXPECT_EQ(qztest::PendingRenameList(), before);

  // Open without delete sharing: it cannot go now, so it goes at the restart.
  const HANDLE busy = Files().CreateFileW(P(u"\\d\\busy.txt"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
  ASSERT_NE(busy, INVALID_HANDLE_VALUE);
  EXPECT_EQ(DeleteFileNowOrAtRestart(P(u"\\d\\busy.txt")), Removal::AtRestart);
  EXPECT_TRUE(PathExists(P(u"\\d\\busy.txt")));
  auto expected = before;
  expected.push_back(u"\\??\\" + P(u"\\d\\busy.txt"));
  expected.push_back(u"");
  EXPECT_EQ(qztest::PendingRenameList(), expected);
  CloseHandle(busy);

  // A folder that still holds a file stays until the restart; an empty one goes now.
  EXPECT_EQ(RemoveFolderNowOrAtRestart(P(u"\\d")), Removal::AtRestart);
  ASSERT_TRUE(Files().CreateDirectoryW(P(u"\\e")));
  EXPECT_EQ(RemoveFolderNowOrAtRestart(P(u"\\e")), Removal::Now);
  EXPECT_FALSE(PathExists(P(u"\\e")));
}

TEST_F(FileUtil, ListingTakesMatchesWithoutDotEntriesBeforeTheCallerChangesTheFolder) {
  Put(u"\\m\\a.dll");
  Put(u"\\m\\b.dll");
  Put(u"\\m\\c.txt");
  ASSERT_TRUE(Files().CreateDirectoryW(P(u"\\m\\sub")));
  auto sorted = [](std::vector<std::u16string> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  EXPECT_EQ(sorted(ListNames(P(u"\\m\\*"))), (std::vector<std::u16string>{u"a.dll", u"b.dll", u"c.txt", u"sub"}));
  EXPECT_EQ(sorted(ListNames(P(u"\\m\\*.dll"))), (std::vector<std::u16string>{u"a.dll", u"b.dll"}));
  EXPECT_TRUE(ListNames(P(u"\\m\\*.exe")).empty());
  EXPECT_TRUE(ListNames(P(u"\\none\\*")).empty());
  // Deleting while walking the listing neither skips nor repeats an entry.
  int removed = 0;
  for (const auto& e : ListFolder(P(u"\\m\\*"))) {
    if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    removed += DeleteFileNowOrAtRestart(P(u"\\m\\") + e.cFileName) == Removal::Now;
  }
  EXPECT_EQ(removed, 3);
  EXPECT_EQ(ListNames(P(u"\\m\\*")), std::vector<std::u16string>{u"sub"});
}

TEST_F(FileUtil, FolderPaths) {
  EXPECT_TRUE(CreateFolderPath(P(u"\\a\\b\\c\\")));
  EXPECT_TRUE(FolderExists(P(u"\\a\\b\\c")));
  EXPECT_TRUE(CreateFolderPath(P(u"\\a\\b")));  // already there
  EXPECT_TRUE(CreateFolderPath(P(u"")));
  Put(u"\\a\\file");
  EXPECT_FALSE(CreateFolderPath(P(u"\\a\\file")));
  EXPECT_FALSE(CreateFolderPath(P(u"\\a\\file\\below")));
  EXPECT_FALSE(CreateFolderPath(u""));
}

TEST_F(FileUtil, WholeFilesUpToALimit) {
  Put(u"\\r\\ten.txt", "0123456789");
  Put(u"\\r\\empty.txt", "");
  std::string text = "old";
  EXPECT_TRUE(ReadWholeFile(P(u"\\r\\ten.txt"), &text, 10));
  EXPECT_EQ(text, "0123456789");
  EXPECT_FALSE(ReadWholeFile(P(u"\\r\\ten.txt"), &text, 9));
  EXPECT_TRUE(ReadWholeFile(P(u"\\r\\empty.txt"), &text, 0));
  EXPECT_EQ(text, "");
  EXPECT_FALSE(ReadWholeFile(P(u"\\r\\none.txt"), &text, 100));
}

}  // namespace
