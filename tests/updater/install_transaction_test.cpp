// Installing the module folder: backups named after the build, their deletion after success, their
// return after a failed move, and the clean-up of earlier downloads.
#include "updater/install_transaction.h"

#include "module_fixture.h"

using namespace qz;
using namespace modtest;

namespace {

using Strings = std::vector<std::string>;

class ModuleInstall : public ModuleMachine {};

TEST_F(ModuleInstall, NothingToInstall) {
  EXPECT_TRUE(InstallAgentModules(u_, 331));
  EXPECT_TRUE(log_->lines.empty()) << log_->Dump();

  std::filesystem::create_directories(Host(ModuleFolder()));
  EXPECT_TRUE(InstallAgentModules(u_, 331));
  EXPECT_EQ(log_->lines, Strings{"TarlinUpdater::DeleteBackupFile 1 Backup 파일이 없음"});
}

TEST_F(ModuleInstall, ReplacesWithBackupsAndDropsThemAfterwards) {
  PutInstalled("qzAgentUtil.dll", "old util");
  PutInstalled("keep.dll", "untouched");
  PutModule("qzAgentUtil.dll", "new util");
  PutModule("fresh.dll", "fresh");
  PutModule(".hidden", "never installed");

  EXPECT_TRUE(InstallAgentModules(u_, 331));

  EXPECT_EQ(Content(HostInstalled("qzAgentUtil.dll")), "new util");
  EXPECT_EQ(Content(HostInstalled("fresh.dll")), "fresh");
  EXPECT_EQ(Content(HostInstalled("keep.dll")), "untouched");
  EXPECT_EQ(Names(Host(ModuleFolder())), Strings{".hidden"});
  EXPECT_EQ(Content(HostInstalled("qzAgentUtil.dll.r331")), "(none)");
  EXPECT_TRUE(log_->Has("TarlinUpdater::InstallAgentModules 2 qzAgentUtil.dll: 모듈을 업데이트 함"));
  EXPECT_TRUE(log_->Has("TarlinUpdater::InstallAgentModules 2 fresh.dll: 모듈을 업데이트 함"));
  EXPECT_FALSE(log_->Has("Backup 파일이 없음"));
}

TEST_F(ModuleInstall, ALockedFileStopsTheInstallAndEveryBackupReturns) {
  // Listed in upper-cased name order: a.dll, new.dll, qzAgentUtil.dll (locked), z.dll.
  for (const char* name : {"a.dll", "qzAgentUtil.dll", "z.dll"}) {
    PutInstalled(name, std::string("old ") + name);
    PutModule(name, std::string("new ") + name);
  }
  PutModule("new.dll", "brand new");
  // A leftover backup of this build from an earlier run, and one of another build.
  PutInstalled("a.dll.r331", "leftover");
  PutInstalled("z.dll.r330", "older build");
  Lock(install_ + u"\\qzAgentUtil.dll");

  EXPECT_FALSE(InstallAgentModules(u_, 331));

  // a.dll's new backup replaced the leftover, and came back.
  EXPECT_EQ(Content(HostInstalled("a.dll")), "old a.dll");
  EXPECT_EQ(Content(HostInstalled("qzAgentUtil.dll")), "old qzAgentUtil.dll");
  EXPECT_EQ(Content(HostInstalled("z.dll")), "old z.dll");
  // A file without an earlier version stays installed; what was not reached waits in the folder.
  EXPECT_EQ(Content(HostInstalled("new.dll")), "brand new");
  EXPECT_EQ(Names(Host(ModuleFolder())), (Strings{"qzAgentUtil.dll", "z.dll"}));
  EXPECT_EQ(Content(HostInstalled("a.dll.r331")), "(none)");
  EXPECT_EQ(Content(HostInstalled("z.dll.r330")), "older build");
  EXPECT_TRUE(log_->Has("TarlinUpdater::InstallAgentModules 3 32 - qzAgentUtil.dll: 모듈 백업 실패")) << log_->Dump();
  EXPECT_FALSE(log_->Has("모듈 복원 실패"));
}

TEST_F(ModuleInstall, AFailedMoveRestoresUnderBuildZero) {
  // The unknown build still names the backups: .r0.
  PutInstalled("a.dll", "old a");
  PutInstalled("b.dll", "old b");
  PutInstalled("a.dll.r0", "leftover");
  PutModule("a.dll", "new a");
  PutModule("b.dll", "new b");
  Lock(ModuleFolder() + u"\\b.dll");

  EXPECT_FALSE(InstallAgentModules(u_, 0));

  EXPECT_EQ(Content(HostInstalled("a.dll")), "old a");
  EXPECT_EQ(Content(HostInstalled("b.dll")), "old b");
  EXPECT_EQ(Names(Host(install_)), (Strings{"a.dll", "b.dll", "module"}));
  const std::u16string source = ModuleFolder() + u"\\b.dll", target = install_ + u"\\b.dll";
  EXPECT_TRUE(log_->Has(win::WideToUtf8(u"TarlinUpdater::InstallAgentModules 3 모듈 설치 실패(32): [" + source +
                                        u"] -> [" + target + u"]")))
      << log_->Dump();
}

TEST_F(ModuleInstall, RestoreAndDeleteTouchOnlyTheirBuild) {
  PutInstalled("a.dll", "new a");
  PutInstalled("a.dll.r331", "old a");
  PutInstalled("b.dll.r331", "old b");
  PutInstalled("c.dll.r330", "other build");
  PutInstalled("d.dll.r3310", "other build too");
  Lock(install_ + u"\\b.dll.r331");

  ResotreAgentModules(u_, 331);
  EXPECT_EQ(Content(HostInstalled("a.dll")), "old a");
  EXPECT_EQ(Content(HostInstalled("b.dll")), "(none)");
  EXPECT_TRUE(log_->Has("TarlinUpdater::ResotreAgentModules 3 32 - b.dll.r331: 모듈 복원 실패")) << log_->Dump();
  EXPECT_EQ(Names(Host(install_)), (Strings{"a.dll", "b.dll.r331", "c.dll.r330", "d.dll.r3310"}));

  // In use: deleted at the next restart instead.
  DeleteBackupFile(u_, 331);
  EXPECT_EQ(Names(Host(install_)), (Strings{"a.dll", "b.dll.r331", "c.dll.r330", "d.dll.r3310"}));
  EXPECT_TRUE(DeletionPending("b.dll.r331"));
  EXPECT_FALSE(DeletionPending("a.dll.r331"));

  log_->lines.clear();
  ResotreAgentModules(u_, 332);
  DeleteBackupFile(u_, 332);
  EXPECT_EQ(log_->lines, (Strings{"TarlinUpdater::ResotreAgentModules 3 Backup 파일이 없음",
                                  "TarlinUpdater::DeleteBackupFile 1 Backup 파일이 없음"}));
}

TEST_F(ModuleInstall, EarlierDownloadsAreCleared) {
  for (const char* name : {"a.dll.qz", "b.dll.qz", "a.dll.qz.tmp", "c.dll.tmp", "c.dll"}) PutModule(name, "x");

  DeleteDownloadesAgentFile(u_, u"*.qz");
  EXPECT_EQ(Names(Host(ModuleFolder())), (Strings{"a.dll.qz.tmp", "c.dll", "c.dll.tmp"}));
  DeleteDownloadesAgentFile(u_, u"*.tmp");
  EXPECT_EQ(Names(Host(ModuleFolder())), Strings{"c.dll"});
  DeleteDownloadesAgentFile(u_, u"*.tmp");
  EXPECT_EQ(log_->lines, (Strings{"TarlinUpdater::DeleteDownloadesAgentFile 2 이전 파일 삭제 시도: *.qz",
                                  "TarlinUpdater::DeleteDownloadesAgentFile 2 이전 파일 삭제 시도: *.tmp",
                                  "TarlinUpdater::DeleteDownloadesAgentFile 1 해당 파일이 없음: *.tmp"}));
}

}  // namespace
