// The installer's payload: folders, resources written out, archive test and unpacking with the
// carried archive tool, certificate import, and the program helpers. Installers are built with
// qzpack setup from a built program and run in-process on a fresh machine.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "config/registry_layout.h"
#include "installer/payload.h"
#include "installer/startup.h"
#include "platform/file_util.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "platform/winsim/bundle.h"
#include "support/fake_time.h"
#include "support/host_files.h"
#include "support/test_machine.h"
#include "installer/site_installer.h"

namespace {

using qztest::Exists;
using qztest::Outcome;
using qztest::RootCertificates;

namespace fs = std::filesystem;
using namespace win;
using qztest::BuiltProgram;
using qztest::TestMachine;

constexpr char16_t kSetup[] = u"C:\\bc8f992f5df34654945e6e32a5aa400c";
constexpr char16_t kInstaller[] = u"C:\\test\\qzSetup.exe";

using qztest::ReadHostFile;
using qztest::RunHost;
using qztest::WriteHostFile;




// A machine with an installer built from the given payload files, entered as that installer.
class Payload : public ::testing::Test {
 protected:
  explicit Payload(const std::string& profile = "win10-x64") : m_(profile) {}

  std::string Host(const std::string& rel) const { return m_.root() + "/host/" + rel; }
  void Add(const std::string& name, const std::string& content) { WriteHostFile(Host("payload/" + name), content); }

  // Builds the installer into the machine and enters it; false when qzpack refused.
  bool Build(const std::string& mode = "-uninstall", const std::vector<std::string>& extra = {}) {
    Add("msvcr110.dll", "runtime library");
    const std::string out = Host("qzSetup.exe");
    std::vector<std::string> args{BuiltProgram("qzpack"), "setup", "--program", BuiltProgram("wsprobe"), "--tool",
                                  BuiltProgram("7zr.exe"), "--mode", mode, "--out", out, "--dir", Host("payload"),
                                  // The installer's own handling of any payload is under test here.
                                  "--unchecked"};
    args.insert(args.end(), extra.begin(), extra.end());
    if (RunHost(args) != 0) return false;
    const std::string target = m_.HostPath(kInstaller);
    fs::create_directories(fs::path(target).parent_path());
    fs::copy_file(out, target, fs::copy_options::overwrite_existing);
    return true;
  }

  void Enter() {
    m_.Enter(kInstaller, 32);
    auto fake = std::make_unique<qztest::FakeTime>();
    time_ = fake.get();
    Platform::Current().SetTime(std::move(fake));
  }

  TestMachine m_;
  qztest::FakeTime* time_ = nullptr;
};

class PayloadOnXp : public Payload {
 protected:
  PayloadOnXp() : Payload("winxp-sp3") {}
};

TEST_F(Payload, FreshMachineGetsFoldersUnpackedFilesAndTheCertificate) {
  Add("qzUpdater.exe", "updater");
  Add("msvcp110.dll", "runtime");
  Add("certmgr.exe", ReadHostFile(BuiltProgram("certmgr.exe")));
  ASSERT_EQ(RunHost({BuiltProgram("qzpack"), "ca", "--cert", Host("payload/qorv-ca.pem"), "--key", Host("ca.key")}), 0);
  ASSERT_TRUE(Build());
  Enter();
  ASSERT_FALSE(Exists(u"C:\\Program Files (x86)\\varnholt"));
  const DWORD rootBefore = RootCertificates();

  qz::InstallerFolders f;
  ASSERT_EQ(qz::PreparePayload(&f), 0);
  EXPECT_EQ(f.setup, kSetup);
  EXPECT_EQ(f.install, u"C:\\Program Files (x86)\\varnholt\\KSM");
  EXPECT_EQ(f.system, u"C:\\Windows\\system32");
  EXPECT_EQ(f.installAnsi, "C:\\Program Files (x86)\\varnholt\\KSM");
  EXPECT_TRUE(Exists(f.install));

  EXPECT_EQ(ReadHostFile(m_.HostPath(std::u16string(kSetup) + u"\\qzUpdater.exe")), "updater");
  EXPECT_EQ(ReadHostFile(m_.HostPath(std::u16string(kSetup) + u"\\msvcp110.dll")), "runtime");
  EXPECT_EQ(ReadHostFile(m_.HostPath(std::u16string(kSetup) + u"\\ExtractXzr.exe")),
            ReadHostFile(BuiltProgram("7zr.exe")));
  EXPECT_TRUE(Exists(std::u16string(kSetup) + u"\\InstallArchive.zip"));
  EXPECT_EQ(RootCertificates(), rootBefore + 1);

  ACL dacl;
  BOOL present = FALSE;
  ASSERT_EQ(Files().GetNamedSecurityInfoW(kSetup, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, &dacl, &present),
            ERROR_SUCCESS);
  ASSERT_TRUE(present);
  ASSERT_EQ(dacl.Aces.size(), 1u);
  EXPECT_EQ(ConvertSidToStringSidW(dacl.Aces[0].Sid), u"S-1-5-32-544");
  EXPECT_EQ(dacl.Aces[0].Mask, GENERIC_ALL);
  EXPECT_EQ(dacl.Aces[0].AceType, ACCESS_ALLOWED_ACE_TYPE);
  EXPECT_EQ(dacl.Aces[0].AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
  EXPECT_TRUE(m_.Journal().empty());
}

TEST_F(Payload, WithoutItsOwnCertmgrNothingIsImported) {
  Add("qzUpdater.exe", "updater");
  ASSERT_EQ(RunHost({BuiltProgram("qzpack"), "ca", "--cert", Host("payload/qorv-ca.pem"), "--key", Host("ca.key")}), 0);
  ASSERT_TRUE(Build());
  Enter();
  const DWORD rootBefore = RootCertificates();
  qz::InstallerFolders f;
  EXPECT_EQ(qz::PreparePayload(&f), 0);
  // The machine's own certmgr.exe is never used in its place.
  EXPECT_EQ(RootCertificates(), rootBefore);
  EXPECT_TRUE(Exists(std::u16string(kSetup) + u"\\qorv-ca.pem"));
}

// Whatever stands at the setup folder's place is replaced by a folder made afresh for
// administrators only: a crashed run's folder or one with others' rights goes whole, a junction
// goes as a link and its target keeps its files; what cannot go ends the preparation with 102.
TEST_F(Payload, WhatStandsAtTheSetupFolderIsReplacedByAFreshFolder) {
  enum class Planted { CrashedRun, ForeignRights, Junction, FileInUse };
  struct Row {
    Planted planted;
    int result;
  };
  const Row rows[] = {{Planted::CrashedRun, 0}, {Planted::ForeignRights, 0}, {Planted::Junction, 0},
                      {Planted::FileInUse, qz::kSetupFolderNotCreated}};
  Add("qzUpdater.exe", "new updater");
  ASSERT_TRUE(Build());
  Enter();
  const std::u16string setup = kSetup;
  const std::u16string elsewhere = u"C:\\Users\\x\\elsewhere";
  auto hostOf = [&](std::u16string_view p) { return m_.HostPath(p); };
  for (const auto& r : rows) {
    SCOPED_TRACE(static_cast<int>(r.planted));
    fs::remove_all(hostOf(setup));
    fs::remove_all(hostOf(elsewhere));
    WriteHostFile(hostOf(elsewhere + u"\\precious.txt"), "precious");
    switch (r.planted) {
      case Planted::CrashedRun:
      case Planted::FileInUse:
        ASSERT_TRUE(Files().CreateDirectoryW(setup));
        break;
      case Planted::ForeignRights:
        qztest::CreateFolderOpenToEveryone(setup);
        ASSERT_FALSE(HasFatalFailure());
        break;
      case Planted::Junction:
        fs::create_directory_symlink(hostOf(elsewhere), hostOf(setup));
        break;
    }
    // Left over or planted: none of it may survive into this run's folder.
    WriteHostFile(hostOf(setup + u"\\qzUpdater.exe"), "old updater");
    WriteHostFile(hostOf(setup + u"\\certmgr.exe"), "planted");
    HANDLE held = INVALID_HANDLE_VALUE;
    if (r.planted == Planted::FileInUse) {
      held = Files().CreateFileW(setup + u"\\certmgr.exe", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
      ASSERT_NE(held, INVALID_HANDLE_VALUE);
    }

    qz::InstallerFolders f;
    EXPECT_EQ(qz::PreparePayload(&f), r.result);
    EXPECT_EQ(ReadHostFile(hostOf(elsewhere + u"\\precious.txt")), "precious");
    if (r.planted == Planted::Junction) {
      EXPECT_EQ(ReadHostFile(hostOf(elsewhere + u"\\qzUpdater.exe")), "old updater");
      EXPECT_FALSE(IsFolderLink(Files().GetFileAttributesW(setup)));
    }
    if (r.result != 0) {
      // Not begun in a folder that is not this run's own; nothing of the payload was written.
      EXPECT_EQ(ReadHostFile(hostOf(setup + u"\\certmgr.exe")), "planted");
      EXPECT_FALSE(Exists(setup + u"\\InstallArchive.zip"));
      CloseHandle(held);
      continue;
    }
    EXPECT_EQ(ReadHostFile(hostOf(setup + u"\\qzUpdater.exe")), "new updater");
    EXPECT_FALSE(Exists(setup + u"\\certmgr.exe"));
    ACL dacl;
    BOOL present = FALSE;
    ASSERT_EQ(Files().GetNamedSecurityInfoW(setup, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, &dacl, &present),
              ERROR_SUCCESS);
    ASSERT_TRUE(present);
    ASSERT_EQ(dacl.Aces.size(), 1u);
    EXPECT_EQ(ConvertSidToStringSidW(dacl.Aces[0].Sid), u"S-1-5-32-544");
  }
  EXPECT_TRUE(m_.Journal().empty());
}

TEST_F(Payload, DamagedArchiveEndsWithDecompressionErrorAndNoSetupFolder) {
  Add("qzUpdater.exe", std::string(4000, 'u'));
  ASSERT_TRUE(Build());
  // Spoil the packed data of the archive resource, keeping its signature header.
  const std::string installer = m_.HostPath(kInstaller);
  auto bundle = winsim::ReadBundle(installer);
  ASSERT_TRUE(bundle);
  bool spoiled = false;
  for (auto& e : bundle->entries) {
    if (e.type == "FILE" && e.id == "#173") {
      ASSERT_GT(e.data.size(), 40u);
      for (size_t i = 32; i < e.data.size() - 8; ++i) e.data[i] ^= 0x5A;
      spoiled = true;
    }
  }
  ASSERT_TRUE(spoiled);
  ASSERT_TRUE(winsim::WriteBundle(installer, *bundle));
  Enter();

  qz::InstallerFolders f;
  int r = qz::PreparePayload(&f);
  ASSERT_EQ(r, qz::kArchiveDamaged);
  qz::EndPreparation(r, f, false);
  const std::u16string text = qz::InstallerText(301, false);
  auto journal = m_.Journal();
  ASSERT_EQ(journal.size(), 1u);
  EXPECT_EQ(journal[0].caption, "Decompression error");
  EXPECT_EQ(journal[0].text, WideToUtf8(text));
  EXPECT_EQ(journal[0].flags, MB_ICONERROR);
  EXPECT_EQ(Outcome(), text);
  EXPECT_FALSE(Exists(kSetup));
}

// Each failure before the archive test, with what it leaves behind.
TEST(PayloadFailures, FolderAndResourceFailuresHaveTheirCodes) {
  enum class Fault { NoResources, NoTool, SetupPathIsAFile, InstallParentIsAFile };
  struct Case {
    Fault fault;
    int result;
    bool setupFolderLeft;
  };
  const Case cases[] = {
      {Fault::NoResources, qz::kArchiveNotWritten, false},
      {Fault::NoTool, qz::kToolNotWritten, false},
      {Fault::SetupPathIsAFile, qz::kSetupFolderNotCreated, false},
      {Fault::InstallParentIsAFile, qz::kInstallFolderNotCreated, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.fault));
    TestMachine m("win7-x64");
    const std::string work = m.root() + "/host";
    WriteHostFile(work + "/payload/qzUpdater.exe", "u");
    const std::string target = m.HostPath(kInstaller);
    fs::create_directories(fs::path(target).parent_path());
    if (c.fault == Fault::NoResources) {
      fs::copy_file(BuiltProgram("wsprobe"), target);
    } else {
      ASSERT_EQ(RunHost({BuiltProgram("qzpack"), "setup", "--program", BuiltProgram("wsprobe"), "--tool",
                         BuiltProgram("7zr.exe"), "--mode", "", "--out", target, "--dir", work + "/payload",
                         "--unchecked"}),
                0);
    }
    if (c.fault == Fault::NoTool) {
      auto bundle = winsim::ReadBundle(target);
      ASSERT_TRUE(bundle);
      std::erase_if(bundle->entries, [](const winsim::ResourceEntry& e) { return e.id == "#172"; });
      ASSERT_TRUE(winsim::WriteBundle(target, *bundle));
    }
    m.Enter(kInstaller, 32);
    Platform::Current().SetTime(std::make_unique<qztest::FakeTime>());
    if (c.fault == Fault::SetupPathIsAFile) WriteHostFile(m.HostPath(kSetup), "a file in the way");
    if (c.fault == Fault::InstallParentIsAFile) WriteHostFile(m.HostPath(u"C:\\Program Files (x86)\\varnholt"), "x");

    qz::InstallerFolders f;
    EXPECT_EQ(qz::PreparePayload(&f), c.result);
    DWORD a = Files().GetFileAttributesW(kSetup);
    EXPECT_EQ(a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY), c.setupFolderLeft);
    EXPECT_TRUE(m.Journal().empty());
  }
}

TEST_F(Payload, ArchiveTestLooksForErrorInTheFirst1023BytesOnly) {
  ASSERT_TRUE(Build());
  Enter();
  qz::InstallerFolders f;
  f.setup = kSetup;
  // Without the tool there is nothing to test with.
  EXPECT_EQ(qz::RunArchiveTest(f, u"t x"), qz::kToolNotStarted);

  // wsprobe as the tool echoes "[<command line>]": the padding moves "ERROR" across the limit.
  ASSERT_TRUE(Files().CreateDirectoryW(kSetup));
  fs::copy_file(BuiltProgram("wsprobe"), m_.HostPath(std::u16string(kSetup) + u"\\ExtractXzr.exe"));
  const size_t prefix = 1 + std::u16string(kSetup).size() + std::u16string(u"\\ExtractXzr.exe cmdline ").size();
  const size_t fits = qz::kTestOutputLimit - prefix - 5;
  struct Case {
    size_t pad;
    int result;
  };
  for (const Case& c : {Case{0, qz::kArchiveDamaged}, Case{fits, qz::kArchiveDamaged}, Case{fits + 1, 0},
                        Case{30000, 0}}) {
    SCOPED_TRACE(c.pad);
    EXPECT_EQ(qz::RunArchiveTest(f, u"cmdline " + std::u16string(c.pad, u'x') + u"ERROR"), c.result);
  }
  EXPECT_EQ(qz::RunArchiveTest(f, u"cmdline Error error"), 0);
}

TEST_F(Payload, ResourceWriterMakesFoldersAndCopiesTheBytes) {
  ASSERT_TRUE(Build("-hide"));
  Enter();
  EXPECT_EQ(qz::InstallerBuildMode(), u"-hide");
  EXPECT_EQ(qz::WritePayloadResource(999, u"C:\\out", u"none.bin"), 0);
  EXPECT_FALSE(Exists(u"C:\\out\\none.bin"));

  ASSERT_EQ(qz::WritePayloadResource(qz::kArchiveToolResourceId, u"C:\\a\\b/c", u"tool.exe"), 1);
  EXPECT_EQ(ReadHostFile(m_.HostPath(u"C:\\a\\b\\c\\tool.exe")), ReadHostFile(BuiltProgram("7zr.exe")));

  // A name that cannot be created is a plain failure.
  EXPECT_EQ(qz::WritePayloadResource(qz::kArchiveToolResourceId, u"C:\\a", u"bad|name"), 0);
  EXPECT_TRUE(m_.Journal().empty());
}

void WriteWithSmallFileLimit() {
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit;
  limit.rlim_cur = limit.rlim_max = 4u << 20;
  setrlimit(RLIMIT_FSIZE, &limit);
  qz::WritePayloadResource(qz::kArchiveToolResourceId, u"C:\\out", u"tool.exe");
}

TEST_F(Payload, FailedResourceWriteEndsSilentlyWithFileExportError) {
  ASSERT_TRUE(Build());
  Enter();
  GTEST_FLAG_SET(death_test_style, "fast");
  // The forked child may not grow a file past 4 MiB: the archive tool (far larger) cannot be
  // written out, while the small machine databases still can.
  EXPECT_EXIT(WriteWithSmallFileLimit(), ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(Outcome(), u"File Export Error");
  EXPECT_TRUE(m_.Journal().empty());
}

TEST_F(Payload, BuildModeIsEmptyWhenBuiltSo) {
  ASSERT_TRUE(Build(""));
  Enter();
  EXPECT_EQ(qz::InstallerBuildMode(), u"");
}

TEST_F(Payload, SiteInstallerFromAReleaseFolderCarriesItsFilesAndCertificates) {
  const std::string qzpack = BuiltProgram("qzpack");
  WriteHostFile(Host("agent/lmvAgent.exe"), "agent program");
  WriteHostFile(Host("agent/qzCrypto.dll"), "crypto library");
  WriteHostFile(Host("stored.cfg"), "the agent's stored configuration");
  WriteHostFile(Host("manifest"), "config stored.cfg\n");
  ASSERT_EQ(RunHost({qzpack, "ca", "--cert", Host("ca.pem"), "--key", Host("ca.key")}), 0);
  ASSERT_EQ(RunHost({qzpack, "cert", "--ca", Host("ca.pem"), "--ca-key", Host("ca.key"), "--cert", Host("fs.crt"),
                     "--key", Host("fs.key")}),
            0);
  ASSERT_EQ(RunHost({qzpack, "release", "--agent", Host("agent"), "--build", "7", "--manifest", Host("manifest"), "--ca",
                     Host("ca.pem"), "--fs-cert", Host("fs.crt"), "--fs-key", Host("fs.key"), "--out", Host("rel")}),
            0);
  Add("server.cfg", "<site/>");
  ASSERT_TRUE(Build("", {"--release", Host("rel")}));
  Enter();
  qz::InstallerFolders f;
  ASSERT_EQ(qz::PreparePayload(&f), 0);
  auto in = [&](const char16_t* name) { return ReadHostFile(m_.HostPath(std::u16string(kSetup) + u"\\" + name)); };
  EXPECT_EQ(in(u"lmvAgent.exe"), "agent program");
  EXPECT_EQ(in(u"qzCrypto.dll"), "crypto library");
  EXPECT_EQ(in(u"qorv-ca.pem"), ReadHostFile(Host("ca.pem")));
  EXPECT_EQ(in(u"qorv-fs.crt"), ReadHostFile(Host("fs.crt")));
  EXPECT_EQ(in(u"local-fs.crt"), ReadHostFile(Host("rel/local-fs.crt")));
  EXPECT_EQ(in(u"server.cfg"), "<site/>");
  EXPECT_FALSE(Exists(std::u16string(kSetup) + u"\\stored.cfg"));

  // A package that no longer matches its signature makes no installer.
  std::string package = ReadHostFile(Host("rel/agent/lmvAgent.exe.qz"));
  package[package.size() - 3] ^= 0x01;
  WriteHostFile(Host("rel/agent/lmvAgent.exe.qz"), package);
  EXPECT_FALSE(Build("", {"--release", Host("rel")}));
}

TEST(QzpackSetup, RefusesWhatWouldMakeABrokenInstaller) {
  TestMachine m;
  const std::string work = m.root() + "/host";
  WriteHostFile(work + "/payload/qzUpdater.exe", "u");
  WriteHostFile(work + "/not-a-program", "text");
  fs::create_directories(work + "/empty");
  const std::string out = work + "/setup.exe";
  // Unchecked, so that each case is refused for its own fault, not for the payload's content.
  const std::vector<std::string> base{BuiltProgram("qzpack"), "setup", "--tool", BuiltProgram("7zr.exe"), "--out", out,
                                      "--unchecked"};
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = base;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  const std::vector<std::vector<std::string>> refused{
      // The empty build mode is a mode of its own, so leaving the option out is an error.
      with({"--program", BuiltProgram("wsprobe"), "--dir", work + "/payload"}),
      with({"--program", BuiltProgram("wsprobe"), "--mode", "", "--dir", work + "/empty"}),
      with({"--program", work + "/not-a-program", "--mode", "", "--dir", work + "/payload"}),
      with({"--program", BuiltProgram("wsprobe"), "--mode", "", work + "/payload/qzUpdater.exe=..\\x.exe"}),
      with({"--program", BuiltProgram("wsprobe"), "--mode", "", work + "/payload/missing.exe"}),
  };
  for (const auto& args : refused) {
    SCOPED_TRACE(args.back());
    EXPECT_NE(RunHost(args), 0);
    EXPECT_FALSE(fs::exists(out));
  }
}

// folder\prog.exe under a folder with blanks, and a planted C:\Program.exe that an unquoted
// command line would start instead. Only the real one makes the marker file.
void RunsTheNamedProgram(TestMachine& m) {
  m.Install("wsprobe", u"C:\\Program Files\\x y\\prog.exe");
  m.Install("wsprobe", u"C:\\Program.exe");
  qz::RunProgram(true, u"C:\\Program Files\\x y", u"prog.exe", u"hold C:\\marker.txt 0");
  EXPECT_TRUE(Exists(u"C:\\marker.txt"));
  // Absent programs are passed over.
  qz::RunProgram(true, u"C:\\nowhere", u"prog.exe", u"");
  qz::RunProgram(false, u"", u"C:\\nowhere\\prog.exe", u"");
}

TEST_F(Payload, RunHelperStartsTheNamedProgramThroughTheShell) {
  ASSERT_TRUE(Build());
  Enter();
  RunsTheNamedProgram(m_);
}

TEST_F(PayloadOnXp, RunHelperQuotesTheProgramPathForCreateProcess) {
  ASSERT_TRUE(Build());
  Enter();
  RunsTheNamedProgram(m_);
}

TEST_F(Payload, FileCopierPausesReportsAndOverwrites) {
  ASSERT_TRUE(Build());
  Enter();
  qz::InstallerFolders f;
  f.setup = kSetup;
  WriteHostFile(m_.HostPath(std::u16string(kSetup) + u"\\a.dll"), "new");
  WriteHostFile(m_.HostPath(u"C:\\target\\a.dll"), "old");
  WriteHostFile(m_.HostPath(u"C:\\target\\b.dll"), "kept");
  std::vector<std::u16string> shown;
  qz::CopySetupFile(f, u"a.dll", u"C:\\target", [&](std::u16string_view s) { shown.emplace_back(s); });
  qz::CopySetupFile(f, u"b.dll", u"C:\\target");
  EXPECT_EQ(ReadHostFile(m_.HostPath(u"C:\\target\\a.dll")), "new");
  EXPECT_EQ(ReadHostFile(m_.HostPath(u"C:\\target\\b.dll")), "kept");
  EXPECT_EQ(shown, std::vector<std::u16string>{u"C:\\target\\a.dll"});
  EXPECT_EQ(time_->Pauses(), (std::vector<DWORD>{50, 50}));
}

TEST_F(Payload, SetupFolderDeletionRemovesEverythingOrLeavesItForTheRestart) {
  ASSERT_TRUE(Build());
  Enter();
  qz::InstallerFolders f;
  f.setup = kSetup;
  WriteHostFile(m_.HostPath(std::u16string(kSetup) + u"\\a.exe"), "a");
  WriteHostFile(m_.HostPath(std::u16string(kSetup) + u"\\sub\\b.txt"), "b");
  EXPECT_TRUE(qz::DeleteSetupFolder(f));
  EXPECT_FALSE(Exists(kSetup));
  EXPECT_EQ(time_->Pauses(), (std::vector<DWORD>{100, 100}));
  EXPECT_NE(qztest::PendingRenames().find(WideToUtf8(std::u16string(u"\\??\\") + kSetup + u"||")), std::string::npos);

  // A file held open without delete sharing keeps the folder until the next restart.
  WriteHostFile(m_.HostPath(std::u16string(kSetup) + u"\\held.log"), "h");
  WriteHostFile(m_.HostPath(std::u16string(kSetup) + u"\\c.exe"), "c");
  HANDLE held = Files().CreateFileW(std::u16string(kSetup) + u"\\held.log", GENERIC_READ, FILE_SHARE_READ,
                                    OPEN_EXISTING, 0);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(qz::DeleteSetupFolder(f));
  EXPECT_TRUE(Exists(std::u16string(kSetup) + u"\\held.log"));
  EXPECT_FALSE(Exists(std::u16string(kSetup) + u"\\c.exe"));
  EXPECT_NE(qztest::PendingRenames().find(WideToUtf8(std::u16string(kSetup) + u"\\held.log||")), std::string::npos);
  CloseHandle(held);
}

TEST_F(Payload, UninstallFlowEndsWithItsMessageAndResultValue119) {
  Add("qzUpdater.exe", "u");
  ASSERT_TRUE(Build());
  Enter();
  qz::InstallerFolders f;
  ASSERT_EQ(qz::PreparePayload(&f), 0);
  qz::EndPreparation(qz::kUninstallDone, f, true);
  auto journal = m_.Journal();
  ASSERT_EQ(journal.size(), 1u);
  EXPECT_EQ(journal[0].text, "에이전트를 삭제하였습니다");
  EXPECT_EQ(journal[0].caption, "VH-KSM Agent Uninstall");
  EXPECT_EQ(journal[0].flags, MB_OK);
  EXPECT_EQ(Outcome(), u"119");
  EXPECT_FALSE(Exists(kSetup));
}

TEST_F(Payload, FailureBeforeTheSetupFolderIsKnownDeletesNothing) {
  ASSERT_TRUE(Build());
  Enter();
  WriteHostFile(m_.HostPath(u"C:\\boot.ini"), "keep");
  ASSERT_TRUE(Files().SetCurrentDirectoryW(u"C:\\"));
  qz::EndPreparation(qz::kSetupFolderNotExpanded, qz::InstallerFolders(), false);
  EXPECT_TRUE(Exists(u"C:\\boot.ini"));
  auto journal = m_.Journal();
  ASSERT_EQ(journal.size(), 1u);
  EXPECT_EQ(journal[0].text, "Installation or uninstallation can not continue.(101)");
  EXPECT_EQ(Outcome(), u"Installation or uninstallation can not continue.(101)");
}

}  // namespace
