// Installing the module folder: backups named after the build, their deletion after success, their
// return after a failed move, and the clean-up of earlier downloads.
#include "updater/install_transaction.h"

#include <cctype>
#include <map>

#include "module_fixture.h"
#include "support/counting_files.h"
#include "updater/install_journal.h"

using namespace qz;
using namespace modtest;

namespace {

using Strings = std::vector<std::string>;

class ModuleInstall : public ModuleMachine {
 protected:
  // A prepared file as the run's definition names it.
  void Prepare(const std::string& name, const std::string& content) {
    PutModule(name, content);
    Plan(name, content);
  }
  void Plan(const std::string& name, const std::string& content) {
    u_.plan.files[win::FoldCase(win::Utf8ToWide(name))] = DigestMemory(content);
  }
};

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
  Prepare("qzAgentUtil.dll", "new util");
  Prepare("fresh.dll", "fresh");
  PutModule(".hidden", "never installed");
  // Prepared for a build the server has since abandoned, or damaged since: never installed.
  PutModule("keep.dll", "not named by this definition");
  Plan("damaged.dll", "as the definition has it");
  PutModule("damaged.dll", "as the disk has it");

  EXPECT_TRUE(InstallAgentModules(u_, 331));

  EXPECT_EQ(Content(HostInstalled("qzAgentUtil.dll")), "new util");
  EXPECT_EQ(Content(HostInstalled("fresh.dll")), "fresh");
  EXPECT_EQ(Content(HostInstalled("keep.dll")), "untouched");
  EXPECT_EQ(Content(HostInstalled("damaged.dll")), "(none)");
  EXPECT_EQ(Names(Host(ModuleFolder())), Strings{".hidden"});
  EXPECT_EQ(Content(HostInstalled("qzAgentUtil.dll.r331")), "(none)");
  EXPECT_EQ(Content(HostInstalled(".qzinstall.jnl")), "(none)");
  EXPECT_TRUE(log_->Has("TarlinUpdater::InstallAgentModules 3 keep.dll: prepared file dropped"));
  EXPECT_TRUE(log_->Has("TarlinUpdater::InstallAgentModules 3 damaged.dll: prepared file dropped"));
  EXPECT_TRUE(log_->Has("TarlinUpdater::InstallAgentModules 2 qzAgentUtil.dll: 모듈을 업데이트 함"));
  EXPECT_TRUE(log_->Has("TarlinUpdater::InstallAgentModules 2 fresh.dll: 모듈을 업데이트 함"));
  EXPECT_FALSE(log_->Has("Backup 파일이 없음"));
}

// A file this run digested is installed as it stands: neither it nor the file it replaces is read
// again.
TEST_F(ModuleInstall, AFileThisRunDigestedIsInstalledWithoutAnotherRead) {
  PutInstalled("qzAgentUtil.dll", "old util");
  Prepare("qzAgentUtil.dll", "new util");
  Digest d{};
  ASSERT_TRUE(DigestPreparedFile(u_, u"qzAgentUtil.dll", &d));
  EXPECT_EQ(d, DigestMemory(std::string("new util")));
  win::Platform& p = win::Platform::Current();
  auto counting = std::make_unique<qztest::CountingFiles>(p.SetFiles(nullptr));
  qztest::CountingFiles* files = counting.get();
  p.SetFiles(std::move(counting));

  EXPECT_TRUE(InstallAgentModules(u_, 331));

  EXPECT_EQ(files->reads, 0);
  p.SetFiles(files->Release());
  EXPECT_EQ(Content(HostInstalled("qzAgentUtil.dll")), "new util");
  EXPECT_EQ(Content(HostInstalled("qzAgentUtil.dll.r331")), "(none)");
  EXPECT_TRUE(log_->Has("TarlinUpdater::InstallAgentModules 2 qzAgentUtil.dll: 모듈을 업데이트 함"));
}

// Rewritten after it was digested (another size, or the same size written later): read again, and
// not installed when it no longer has the definition's digest.
TEST_F(ModuleInstall, APreparedFileChangedSinceItWasDigestedIsCheckedAgain) {
  struct Case {
    const char* name;
    const char* now;
    bool later;
  };
  const Case cases[] = {{"b.dll", "new b, longer", false}, {"c.dll", "bad c", true}};
  for (const Case& c : cases) {
    Prepare(c.name, std::string("new ") + c.name[0]);
    Digest d{};
    ASSERT_TRUE(DigestPreparedFile(u_, win::Utf8ToWide(c.name), &d));
    PutModule(c.name, c.now);
    if (c.later) {
      const std::filesystem::path host = HostModule(c.name);
      std::filesystem::last_write_time(host, std::filesystem::last_write_time(host) + std::chrono::seconds(2));
    }
  }

  EXPECT_TRUE(InstallAgentModules(u_, 331));

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Content(HostInstalled(c.name)), "(none)");
    EXPECT_TRUE(log_->Has(std::string("TarlinUpdater::InstallAgentModules 3 ") + c.name + ": prepared file dropped"));
  }
}

TEST_F(ModuleInstall, ALockedFileStopsTheInstallAndEveryBackupReturns) {
  // Listed in upper-cased name order: a.dll, new.dll, qzAgentUtil.dll (locked), z.dll.
  for (const char* name : {"a.dll", "qzAgentUtil.dll", "z.dll"}) {
    PutInstalled(name, std::string("old ") + name);
    Prepare(name, std::string("new ") + name);
  }
  Prepare("new.dll", "brand new");
  // A leftover backup of this build from an earlier run, and one of another build.
  PutInstalled("a.dll.r331", "leftover");
  PutInstalled("z.dll.r330", "older build");
  // Of this build, but of no step this install took: never put over z.dll.
  PutInstalled("z.dll.r331", "stale");
  Lock(install_ + u"\\qzAgentUtil.dll");

  EXPECT_FALSE(InstallAgentModules(u_, 331));

  // a.dll's new backup replaced the leftover, and came back.
  EXPECT_EQ(Content(HostInstalled("a.dll")), "old a.dll");
  EXPECT_EQ(Content(HostInstalled("qzAgentUtil.dll")), "old qzAgentUtil.dll");
  EXPECT_EQ(Content(HostInstalled("z.dll")), "old z.dll");
  // The previous build is whole again: a file without an earlier version goes back to the module
  // folder, where what was not reached waits.
  EXPECT_EQ(Content(HostInstalled("new.dll")), "(none)");
  EXPECT_EQ(Names(Host(ModuleFolder())), (Strings{"new.dll", "qzAgentUtil.dll", "z.dll"}));
  EXPECT_EQ(Content(HostInstalled("a.dll.r331")), "(none)");
  EXPECT_EQ(Content(HostInstalled(".qzinstall.jnl")), "(none)");
  EXPECT_EQ(Content(HostInstalled("z.dll.r330")), "older build");
  EXPECT_EQ(Content(HostInstalled("z.dll.r331")), "stale");
  EXPECT_TRUE(log_->Has("TarlinUpdater::InstallAgentModules 3 32 - qzAgentUtil.dll: 모듈 백업 실패")) << log_->Dump();
  EXPECT_FALSE(log_->Has("모듈 복원 실패"));
}

TEST_F(ModuleInstall, AFailedMoveRestoresUnderBuildZero) {
  // The unknown build still names the backups: .r0.
  PutInstalled("a.dll", "old a");
  PutInstalled("b.dll", "old b");
  PutInstalled("a.dll.r0", "leftover");
  Prepare("a.dll", "new a");
  Prepare("b.dll", "new b");
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


// The journal's own form: what it says comes back, and nothing but a whole journal of plain names
// is taken.
namespace journal {

using namespace qz;

std::string Seal(const std::string& body) { return body + "sum " + HexEncode(DigestMemory(body)) + "\n"; }

InstallJournal Sample() {
  InstallJournal j;
  j.build = 4294967295u;
  j.steps.push_back({InstallStep::Kind::Put, u"qzAgentUtil.dll", DigestMemory(std::string("util")), true});
  j.steps.push_back({InstallStep::Kind::Put, u"새 모듈.dll", DigestMemory(std::string("new")), false});
  j.steps.push_back({InstallStep::Kind::Remove, u"qzNSI.dll", {}, false});
  return j;
}

TEST(InstallJournal, ComesBackAsWritten) {
  const InstallJournal j = Sample();
  InstallJournal back;
  ASSERT_TRUE(ParseInstallJournal(FormatInstallJournal(j), &back));
  EXPECT_EQ(back.build, j.build);
  ASSERT_EQ(back.steps.size(), j.steps.size());
  for (size_t i = 0; i < j.steps.size(); ++i) {
    EXPECT_EQ(back.steps[i].kind, j.steps[i].kind);
    EXPECT_EQ(back.steps[i].name, j.steps[i].name);
    EXPECT_EQ(back.steps[i].digest, j.steps[i].digest);
    EXPECT_EQ(back.steps[i].replaces, j.steps[i].replaces);
  }
}

TEST(InstallJournal, ATornOrDamagedJournalDoesNotParse) {
  const std::string whole = FormatInstallJournal(Sample());
  InstallJournal back;
  for (size_t n = 0; n < whole.size(); ++n) EXPECT_FALSE(ParseInstallJournal(whole.substr(0, n), &back)) << n;
  for (size_t i = 0; i < whole.size(); ++i) {
    std::string damaged = whole;
    damaged[i] = static_cast<char>(damaged[i] ^ 0x01);
    EXPECT_FALSE(ParseInstallJournal(damaged, &back)) << i;
  }
  EXPECT_FALSE(ParseInstallJournal(whole + whole, &back));
  EXPECT_FALSE(ParseInstallJournal(std::string(kInstallJournalLimit + 1, '\n'), &back));
}

TEST(InstallJournal, OnlyPlainNamesInsideTheFolderAreTaken) {
  const std::string head = "qzUpdater install journal 1\nbuild 331\n";
  const std::string cks = HexEncode(DigestMemory(std::string("x")));
  InstallJournal back;
  ASSERT_TRUE(ParseInstallJournal(Seal(head + "put " + cks + " 1 a.dll\nremove b.dll\n"), &back));
  ASSERT_TRUE(ParseInstallJournal(Seal(head), &back));
  EXPECT_TRUE(back.steps.empty());
  const char* refused[] = {
      "remove ..\\qzUpdater.exe\n", "remove C:\\Windows\\system32\\x.dll\n", "remove a/b.dll\n",
      "remove ..\n", "remove .qzinstall.jnl\n", "remove a*.dll\n", "remove \n",
      "remove a.dll\nremove A.DLL\n",  // one name twice
      "put 00 1 a.dll\n", "put 0123 1 a.dll\n", "move a.dll\n",
  };
  for (const char* steps : refused) EXPECT_FALSE(ParseInstallJournal(Seal(head + steps), &back)) << steps;
  EXPECT_FALSE(ParseInstallJournal(Seal(head + "put " + cks + " 2 a.dll\n"), &back));
  std::string lower = cks;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower != cks) {
    EXPECT_FALSE(ParseInstallJournal(Seal(head + "put " + lower + " 1 a.dll\n"), &back));
  }
  for (const char* build : {"build 4294967296\n", "build -1\n", "build \n", "build 1 2\n"}) {
    EXPECT_FALSE(ParseInstallJournal(Seal(std::string("qzUpdater install journal 1\n") + build), &back)) << build;
  }
  EXPECT_FALSE(ParseInstallJournal(Seal("qzUpdater install journal 2\nbuild 331\n"), &back));
}

}  // namespace journal

// Start-up recovery: build 330 (a.dll, c.dll, keep.dll) being updated to 331 (a.dll changed, b.dll
// new, c.dll retired). The install's steps are played on the disk up to each point in turn, as a
// run cut short there would leave them; the next start-up settles every one of them.
class Recovery : public ModuleInstall {
 protected:
  struct Op {
    enum { Rename, Delete } kind;
    std::string from, to;
  };
  // What InstallAgentModules does, in its order, with the journal already written.
  const std::vector<Op> ops_ = {
      {Op::Rename, "a.dll", "a.dll.r331"}, {Op::Rename, "module/a.dll", "a.dll"}, {Op::Rename, "module/b.dll", "b.dll"},
      {Op::Rename, "c.dll", "c.dll.r331"}, {Op::Delete, "a.dll.r331", ""},        {Op::Delete, "c.dll.r331", ""},
      {Op::Delete, ".qzinstall.jnl", ""},
  };

  void Build330Prepared331() {
    std::filesystem::remove_all(Host(install_));
    PutInstalled("a.dll", "old a");
    PutInstalled("c.dll", "old c");
    PutInstalled("keep.dll", "keep");
    PutModule("a.dll", "new a");
    PutModule("b.dll", "new b");
    InstallJournal j;
    j.build = 331;
    j.steps.push_back({InstallStep::Kind::Put, u"a.dll", DigestMemory(std::string("new a")), true});
    j.steps.push_back({InstallStep::Kind::Put, u"b.dll", DigestMemory(std::string("new b")), false});
    j.steps.push_back({InstallStep::Kind::Remove, u"c.dll", {}, false});
    PutInstalled(".qzinstall.jnl", FormatInstallJournal(j));
  }
  void Play(size_t count) {
    for (size_t i = 0; i < count; ++i) {
      const Op& op = ops_[i];
      if (op.kind == Op::Rename) {
        std::filesystem::rename(HostInstalled(op.from), HostInstalled(op.to));
      } else {
        std::filesystem::remove(HostInstalled(op.from));
      }
    }
  }
  std::map<std::string, std::string> Installed() {
    std::map<std::string, std::string> out;
    for (const std::string& name : Names(Host(install_))) {
      if (name != "module") out[name] = Content(HostInstalled(name));
    }
    return out;
  }
  const std::map<std::string, std::string> build331_ = {{"a.dll", "new a"}, {"b.dll", "new b"}, {"keep.dll", "keep"}};
  const std::map<std::string, std::string> build330_ = {{"a.dll", "old a"}, {"c.dll", "old c"}, {"keep.dll", "keep"}};
};

TEST_F(Recovery, EveryPointOfAnInstallIsCompleted) {
  for (size_t point = 0; point <= ops_.size(); ++point) {
    SCOPED_TRACE(point);
    Build330Prepared331();
    Play(point);
    RecoverInterruptedInstall(u_);
    EXPECT_EQ(Installed(), build331_);
    EXPECT_EQ(Names(Host(ModuleFolder())), Strings{});
    // Settled: a second start-up finds nothing to do.
    log_->lines.clear();
    RecoverInterruptedInstall(u_);
    EXPECT_EQ(Installed(), build331_);
    EXPECT_TRUE(log_->lines.empty()) << log_->Dump();
  }
}

TEST_F(Recovery, WithoutEveryNewFileAtHandThePreviousBuildComesBackWhole) {
  // Up to the move of b.dll, which is then damaged, or gone.
  for (const bool gone : {false, true}) {
    for (size_t point = 0; point <= 2; ++point) {
      SCOPED_TRACE(std::to_string(point) + (gone ? " gone" : " damaged"));
      Build330Prepared331();
      Play(point);
      if (gone) {
        std::filesystem::remove(HostModule("b.dll"));
      } else {
        PutModule("b.dll", "new b, damaged");
      }
      RecoverInterruptedInstall(u_);
      EXPECT_EQ(Installed(), build330_);
      EXPECT_EQ(Names(Host(ModuleFolder())), Strings{});
      EXPECT_TRUE(log_->Has("RecoverInterruptedInstall 2 Interrupted install of build 331 rolled back")) << log_->Dump();
    }
  }
}

TEST_F(Recovery, AJournalThatDoesNotParseMovesNothing) {
  Build330Prepared331();
  const std::string whole = Content(HostInstalled(".qzinstall.jnl"));
  struct Case {
    const char* what;
    std::string text;
  };
  const std::string cks = HexEncode(DigestMemory(std::string("old c")));
  const Case cases[] = {
      {"empty: the first write never happened", ""},
      {"torn", whole.substr(0, whole.size() / 2)},
      {"sealed, but naming a file outside the folder",
       journal::Seal("qzUpdater install journal 1\nbuild 331\nremove ..\\KSM\\keep.dll\n")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Build330Prepared331();
    PutInstalled(".qzinstall.jnl", c.text);
    RecoverInterruptedInstall(u_);
    EXPECT_EQ(Installed(), build330_);
    // Prepared for no pending installation: gone.
    EXPECT_EQ(Names(Host(ModuleFolder())), Strings{});
    EXPECT_TRUE(log_->Has("RecoverInterruptedInstall 3 Unreadable install journal dropped")) << log_->Dump();
  }
}

TEST_F(Recovery, LeftoversOfNoPendingInstallAreCleared) {
  PutInstalled("a.dll", "a 331");
  PutInstalled("a.dll.r331", "a 330, kept by a run that ended before its clean-up");
  // The only copy of a file: a run cut short before journals were kept.
  PutInstalled("b.dll.r329", "b 328");
  PutInstalled("notes.r", "not a backup");
  PutInstalled("c.dll.rx1", "not a backup either");
  PutModule("a.dll", "prepared for a build the server has since abandoned");
  PutModule("server.cfg", "prepared");
  PutModule("a.dll.qz", "package");
  PutModule("d.dll.qz.tmp", "partial download, resumed by the download's own rule");

  RecoverInterruptedInstall(u_);

  EXPECT_EQ(Installed(), (std::map<std::string, std::string>{{"a.dll", "a 331"},
                                                              {"b.dll", "b 328"},
                                                              {"c.dll.rx1", "not a backup either"},
                                                              {"notes.r", "not a backup"}}));
  EXPECT_EQ(Names(Host(ModuleFolder())), Strings{"d.dll.qz.tmp"});
}

TEST_F(Recovery, AnInstallThatFailsLeavesNoJournalAndAJournalThatSurvivesIsSettled) {
  // A failed move: rolled back at once, nothing left for the next start-up.
  PutInstalled("a.dll", "old a");
  Prepare("a.dll", "new a");
  Prepare("b.dll", "new b");
  Lock(ModuleFolder() + u"\\b.dll");
  EXPECT_FALSE(InstallAgentModules(u_, 331));
  EXPECT_EQ(Installed(), (std::map<std::string, std::string>{{"a.dll", "old a"}}));
  RecoverInterruptedInstall(u_);
  EXPECT_EQ(Installed(), (std::map<std::string, std::string>{{"a.dll", "old a"}}));
}

}  // namespace
