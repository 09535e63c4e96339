// The file idioms over junctions: host symbolic links to folders, which only a simulated machine
// makes here.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/file_util.h"
#include "platform/platform.h"
#include "support/host_files.h"
#include "support/test_machine.h"

namespace {

using namespace win;
using qztest::TestMachine;
namespace fs = std::filesystem;

// Wine schedules such a name for the restart; Windows' answer is unconfirmed.
TEST(FileUtilWinsim, ANameWindowsCannotHoldIsNeitherDeletedNorScheduled) {
  TestMachine machine;
  machine.Enter();
  EXPECT_EQ(DeleteFileNowOrAtRestart(u"C:\\d\\a|b"), Removal::Failed);
  EXPECT_EQ(qztest::PendingRenames(), "");
}

// Junctions (host symbolic links to folders on the machine): seen as folders that are reparse
// points, reached through like folders, and removed as links, never through.
TEST(FileUtilWinsim, JunctionsAreLinksThatFolderDeletionNeverFollows) {
  TestMachine machine_;
  machine_.Enter();
  auto Put = [&](std::u16string_view winPath, const std::string& text = "data") {
    qztest::WriteHostFile(machine_.HostPath(winPath), text);
  };
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
