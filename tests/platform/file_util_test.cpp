// The file idioms over the platform's file service, on a simulated machine.
#include "platform/file_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/platform.h"
#include "support/host_files.h"
#include "support/test_machine.h"

namespace {

using namespace win;
using qztest::TestMachine;
namespace fs = std::filesystem;

class FileUtil : public ::testing::Test {
 protected:
  void SetUp() override { machine_.Enter(); }
  void Put(std::u16string_view winPath, const std::string& text = "data") {
    const std::string host = machine_.HostPath(winPath);
    fs::create_directories(fs::path(host).parent_path());
    std::ofstream(host, std::ios::binary) << text;
  }

  TestMachine machine_;
};

TEST_F(FileUtil, ExistenceOfFilesAndFolders) {
  Put(u"C:\\d\\f.txt");
  struct Case {
    std::u16string_view path;
    bool exists, folder;
  } cases[] = {{u"C:\\d\\f.txt", true, false}, {u"C:\\D\\F.TXT", true, false}, {u"C:\\d", true, true},
               {u"C:\\d\\", true, true},      {u"C:\\d\\none", false, false}, {u"C:\\none\\f.txt", false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
    EXPECT_EQ(PathExists(c.path), c.exists);
    EXPECT_EQ(FolderExists(c.path), c.folder);
  }
}

TEST_F(FileUtil, RemovalSaysWhetherItHappenedNowOrAtTheNextRestart) {
  Put(u"C:\\d\\free.txt");
  Put(u"C:\\d\\busy.txt");
  EXPECT_EQ(DeleteFileNowOrAtRestart(u"C:\\d\\free.txt"), Removal::Now);
  EXPECT_FALSE(PathExists(u"C:\\d\\free.txt"));
  EXPECT_EQ(qztest::PendingRenames(), "");

  // Open without delete sharing: it cannot go now, so it goes at the restart.
  const HANDLE busy = Files().CreateFileW(u"C:\\d\\busy.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
  ASSERT_NE(busy, INVALID_HANDLE_VALUE);
  EXPECT_EQ(DeleteFileNowOrAtRestart(u"C:\\d\\busy.txt"), Removal::AtRestart);
  EXPECT_TRUE(PathExists(u"C:\\d\\busy.txt"));
  const std::string pending = qztest::PendingRenames();
  EXPECT_NE(pending.find("\\??\\C:\\d\\busy.txt||"), std::string::npos) << pending;
  CloseHandle(busy);
  // A name Windows cannot hold can be neither deleted nor scheduled.
  EXPECT_EQ(DeleteFileNowOrAtRestart(u"C:\\d\\a|b"), Removal::Failed);

  // A folder that still holds a file stays until the restart; an empty one goes now.
  EXPECT_EQ(RemoveFolderNowOrAtRestart(u"C:\\d"), Removal::AtRestart);
  ASSERT_TRUE(Files().CreateDirectoryW(u"C:\\e"));
  EXPECT_EQ(RemoveFolderNowOrAtRestart(u"C:\\e"), Removal::Now);
  EXPECT_FALSE(PathExists(u"C:\\e"));
}

TEST_F(FileUtil, ListingTakesMatchesWithoutDotEntriesBeforeTheCallerChangesTheFolder) {
  Put(u"C:\\m\\a.dll");
  Put(u"C:\\m\\b.dll");
  Put(u"C:\\m\\c.txt");
  ASSERT_TRUE(Files().CreateDirectoryW(u"C:\\m\\sub"));
  auto sorted = [](std::vector<std::u16string> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  EXPECT_EQ(sorted(ListNames(u"C:\\m\\*")), (std::vector<std::u16string>{u"a.dll", u"b.dll", u"c.txt", u"sub"}));
  EXPECT_EQ(sorted(ListNames(u"C:\\m\\*.dll")), (std::vector<std::u16string>{u"a.dll", u"b.dll"}));
  EXPECT_TRUE(ListNames(u"C:\\m\\*.exe").empty());
  EXPECT_TRUE(ListNames(u"C:\\none\\*").empty());
  // Deleting while walking the listing neither skips nor repeats an entry.
  int removed = 0;
  for (const auto& e : ListFolder(u"C:\\m\\*")) {
    if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    removed += DeleteFileNowOrAtRestart(u"C:\\m\\" + e.cFileName) == Removal::Now;
  }
  EXPECT_EQ(removed, 3);
  EXPECT_EQ(ListNames(u"C:\\m\\*"), std::vector<std::u16string>{u"sub"});
}

TEST_F(FileUtil, FolderPaths) {
  EXPECT_TRUE(CreateFolderPath(u"C:\\a\\b\\c\\"));
  EXPECT_TRUE(FolderExists(u"C:\\a\\b\\c"));
  EXPECT_TRUE(CreateFolderPath(u"C:\\a\\b"));  // already there
  EXPECT_TRUE(CreateFolderPath(u"C:"));
  Put(u"C:\\a\\file");
  EXPECT_FALSE(CreateFolderPath(u"C:\\a\\file"));
  EXPECT_FALSE(CreateFolderPath(u"C:\\a\\file\\below"));
  EXPECT_FALSE(CreateFolderPath(u""));
}

TEST_F(FileUtil, WholeFilesUpToALimit) {
  Put(u"C:\\r\\ten.txt", "0123456789");
  Put(u"C:\\r\\empty.txt", "");
  std::string text = "old";
  EXPECT_TRUE(ReadWholeFile(u"C:\\r\\ten.txt", &text, 10));
  EXPECT_EQ(text, "0123456789");
  EXPECT_FALSE(ReadWholeFile(u"C:\\r\\ten.txt", &text, 9));
  EXPECT_TRUE(ReadWholeFile(u"C:\\r\\empty.txt", &text, 0));
  EXPECT_EQ(text, "");
  EXPECT_FALSE(ReadWholeFile(u"C:\\r\\none.txt", &text, 100));
}

// Junctions (host symbolic links to folders on the machine): seen as folders that are reparse
// points, reached through like folders, and removed as links, never through.
TEST_F(FileUtil, JunctionsAreLinksThatFolderDeletionNeverFollows) {
  Put(u"C:\\keep\\precious.dll", "precious");
  Put(u"C:\\tree\\plain.txt");
  fs::create_directory_symlink(machine_.HostPath(u"C:\\keep"), machine_.HostPath(u"C:\\top"));
  fs::create_directory_symlink(machine_.HostPath(u"C:\\keep"), machine_.HostPath(u"C:\\tree\\inner"));

  EXPECT_TRUE(IsFolderLink(Files().GetFileAttributesW(u"C:\\top")));
  EXPECT_FALSE(IsFolderLink(Files().GetFileAttributesW(u"C:\\keep")));
  EXPECT_FALSE(IsFolderLink(Files().GetFileAttributesW(u"C:\\none")));
  EXPECT_TRUE(PathExists(u"C:\\top\\precious.dll"));
  const auto entries = ListFolder(u"C:\\tree\\*");
  ASSERT_EQ(entries.size(), 2u);
  for (const auto& e : entries) EXPECT_EQ(IsFolderLink(e.dwFileAttributes), e.cFileName == u"inner");

  EXPECT_TRUE(DeleteFolderTree(u"C:\\tree", false));
  EXPECT_FALSE(PathExists(u"C:\\tree"));
  EXPECT_TRUE(DeleteFolderTree(u"C:\\top", false));
  EXPECT_FALSE(PathExists(u"C:\\top"));
  EXPECT_EQ(qztest::ReadHostFile(machine_.HostPath(u"C:\\keep\\precious.dll")), "precious");
  EXPECT_EQ(qztest::PendingRenames(), "");
}

}  // namespace
