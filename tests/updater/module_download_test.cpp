// The module definition file and the module downloads against qzserver: which modules apply to
// this Windows, what is fetched, removed or refused, the retry series and the checks after unpacking.
#include "updater/module_download.h"

#include <tinyxml2.h>

#include "module_fixture.h"
#include "syscontrol/driver_service.h"
#include "updater/install_transaction.h"

using namespace qz;
using namespace modtest;

namespace {

using Strings = std::vector<std::string>;

std::string Module(const std::string& name, const std::string& attributes) {
  return "<module " + attributes + ">" + name + "</module>";
}

class Modules : public ModuleWork {
 protected:
  std::string Doc(const std::string& body, const std::string& rootAttributes = "") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<agent build=\"331\" " + rootAttributes + ">" + body +
           "</agent>";
  }
  Digest Expected(const std::string& content) {
    Digest d{};
    EXPECT_TRUE(HexDecode64(Cks(content), &d));
    return d;
  }
};

TEST_F(Modules, OsMasksChooseTheModulesOfThisWindows) {
  Publish("all.dll", "all");
  Publish("xp.dll", "xp");
  Publish("new64.dll", "new64");
  Definition(Doc(Module("all.dll", "cks=\"" + Cks("all") + "\"") +
                 Module("xp.dll", "os=\"00000001\" cks=\"" + Cks("xp") + "\"") +
                 Module("new64.dll", "os=\"FCFC0000\" cks=\"" + Cks("new64") + "\"") +
                 Module("junk.dll", "os=\"zz\" cks=\"" + Cks("junk") + "\"")));
  struct Case {
    const char* what;
    uint32_t osCode;
    Strings prepared;
  };
  const Case cases[] = {
      {"XP 32-bit", 0x00000001, {"all.dll", "xp.dll"}},
      {"XP 64-bit", 0x00010000, {"all.dll"}},
      {"7 32-bit", 0x00000004, {"all.dll"}},
      {"7 64-bit", 0x00040000, {"all.dll", "new64.dll"}},
      {"2008 R2", 0x04000000, {"all.dll", "new64.dll"}},
      {"Vista 64-bit", 0x00020000, {"all.dll"}},
      {"10 64-bit", 0x00200000, {"all.dll", "new64.dll"}},
      {"not identified", 0, {}},
  };
  const std::u16string cwd = win::Files().GetCurrentDirectoryW();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(Host(ModuleFolder()));
    u_.os.osCode = c.osCode;
    EXPECT_TRUE(DownloadAgentModules(u_)) << log_->Dump();
    EXPECT_EQ(Names(Host(ModuleFolder())), c.prepared);
  }
  // The module work leaves the process's current directory alone.
  EXPECT_EQ(win::Files().GetCurrentDirectoryW(), cwd);
  EXPECT_TRUE(log_->Has("TarlinUpdater::DownloadAgentModules 4 Secure downloading enabled"));
}

TEST_F(Modules, OnlyChangedModulesAreFetchedAndRemovalsGoFirst) {
  PutInstalled("same.dll", "same");
  PutInstalled("old.dll", "old");
  PutInstalled("retired.dll", "retired");
  // Left by an earlier run that failed: neither is what this definition wants installed.
  PutModule("same.dll", "prepared for another build");
  PutModule("retired.dll", "prepared before its retirement");
  Publish("same.dll", "same");
  Publish("old.dll", "old, replaced");
  Publish("missing.dll", "missing");
  Definition(Doc(Module("same.dll", "cks=\"" + Cks("same") + "\"") +
                 Module("old.dll", "cks=\"" + Cks("old, replaced") + "\"") +
                 Module("retired.dll", "remove=\"TRUE\"") + Module("gone.dll", "remove=\"true\" cks=\"00\"") +
                 Module("missing.dll", "cks=\"" + Cks("missing") + "\"")));

  EXPECT_TRUE(DownloadAgentModules(u_)) << log_->Dump();

  EXPECT_EQ(Names(Host(ModuleFolder())), (Strings{"missing.dll", "old.dll"}));
  EXPECT_EQ(Content(HostModule("old.dll")), "old, replaced");
  EXPECT_EQ(Content(HostInstalled("old.dll")), "old");  // installed later, with its backup
  // Retired with the installation, so that a download cut short leaves the installed build whole.
  EXPECT_EQ(Content(HostInstalled("retired.dll")), "retired");
  // Each changed module: its size asked, then its package; nothing for the others.
  EXPECT_TRUE(qztest::RequestsAre(Journal(), {"file_size", "/agent/old.dll.qz", "file_size", "/agent/missing.dll.qz"}));
  EXPECT_TRUE(log_->Has("TarlinUpdater::DownloadAgentModule 1 gone.dll: 이미 삭제됨"));
  EXPECT_FALSE(log_->Has("모듈 삭제함"));

  EXPECT_TRUE(InstallAgentModules(u_, 331)) << log_->Dump();
  EXPECT_EQ(Content(HostInstalled("retired.dll")), "(none)");
  EXPECT_EQ(Content(HostInstalled("old.dll")), "old, replaced");
  EXPECT_EQ(Content(HostInstalled("missing.dll")), "missing");
  EXPECT_EQ(Content(HostInstalled("same.dll")), "same");
  EXPECT_EQ(Names(Host(install_)), (Strings{"missing.dll", "module", "old.dll", "qorv-ca.pem", "qorv-fs.crt",
                                            "qzAgent.xmd", "same.dll"}));
  EXPECT_TRUE(log_->Has("TarlinUpdater::InstallAgentModules 2 retired.dll: 모듈 삭제함"));
}

TEST_F(Modules, RemovalOfAFileInUseWaitsForTheRestart) {
  PutInstalled("busy.dll", "busy");
  Lock(install_ + u"\\busy.dll");
  Definition(Doc(Module("busy.dll", "remove=\"True\"")));

  EXPECT_TRUE(DownloadAgentModules(u_));
  EXPECT_TRUE(InstallAgentModules(u_, 331));
  EXPECT_TRUE(log_->Has("busy.dll: 모듈 삭제함")) << log_->Dump();
  EXPECT_TRUE(DeletionPending("busy.dll"));
  EXPECT_EQ(Content(HostInstalled("busy.dll")), "busy");
}

TEST_F(Modules, AModuleThatCannotBeTakenEndsTheLoop) {
  Publish("after.dll", "after");
  const std::string after = Module("after.dll", "cks=\"" + Cks("after") + "\"");
  struct Case {
    const char* what;
    std::string module;
    std::string logged;
  };
  const std::string cks63 = Cks("x").substr(0, 63);
  const Case cases[] = {
      {"no name", "<module cks=\"" + Cks("x") + "\"/>", "모듈 이름을 찾을 수 없음"},
      {"63-digit cks", Module("x.dll", "cks=\"" + cks63 + "\""), "체크섬 정보를 찾을 수 없음"},
      {"no cks", Module("x.dll", ""), "체크섬 정보를 찾을 수 없음"},
      {"a name that leaves the folder", Module("..\\qzUpdater.exe", "cks=\"" + Cks("x") + "\""),
       "Invalid module name: ..\\qzUpdater.exe"},
      {"an 80-character name", Module(std::string(76, 'n') + ".dll", "cks=\"" + Cks("x") + "\""),
       "Invalid module name"},
      {"a package that is not there", Module("absent.dll", "cks=\"" + Cks("x") + "\""),
       "TarlinUpdater::DownloadAgentModule 3 absent.dll: 모듈 다운로드 실패"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    log_->lines.clear();
    MarkJournal();
    Definition(Doc(c.module + after));
    EXPECT_FALSE(DownloadAgentModules(u_));
    EXPECT_TRUE(log_->Has(c.logged)) << log_->Dump();
    for (const auto& d : Downloads()) EXPECT_NE(d, "/agent/after.dll.qz");
    EXPECT_EQ(Content(HostModule("after.dll")), "(none)");
  }
}

TEST_F(Modules, DefinitionThatDoesNotOpenOrParse) {
  EXPECT_FALSE(DownloadAgentModules(u_));
  EXPECT_TRUE(log_->Has("TarlinUpdater::DownloadAgentModules 3 에이전트 모듈 정의 파일 열기 실패")) << log_->Dump();

  Definition("this is < not xml");
  EXPECT_FALSE(DownloadAgentModules(u_));
  EXPECT_TRUE(log_->Has("TarlinUpdater::DownloadAgentModules 4 잘못된 모듈 정의 파일 발견")) << log_->Dump();

  // Signed by a certificate of another CA: refused before anything is read from it.
  HostDir work;
  WriteHostFile(work / "doc.xml", Doc(""));
  ASSERT_EQ(qztest::RunHost({qztest::BuiltProgram("qzpack"), "sign", "--key", *pki_ / "fs2.key", "--definition",
                     work / "doc.xml", "--out", HostInstalled("qzAgent.xmd")}),
            0);
  log_->lines.clear();
  EXPECT_FALSE(DownloadAgentModules(u_));
  EXPECT_TRUE(log_->Has("에이전트 모듈 정의 파일 열기 실패")) << log_->Dump();
  EXPECT_FALSE(std::filesystem::exists(Host(ModuleFolder())));
}

TEST_F(Modules, EachPackageOutcome) {
  Publish("good.dll", "good");
  Publish("other.dll", "not what the definition says");
  Publish("foreign.dll", {{"foreign.dll", "foreign"}}, true);
  // The module comes first; the entry after it names a folder that does not exist.
  Publish("half.dll", {{"half.dll", "half"}, {"nowhere\\x.dll", "x"}});
  UseModuleFolder();
  struct Case {
    const char* name;
    std::string expected;
    int result;
    int downloads;
    int pauses;
    std::string kept;
    std::string logged;
  };
  const Case cases[] = {
      {"good.dll", "good", kModuleReady, 1, 0, "good", ""},
      {"other.dll", "other", kModuleChecksumError, 1, 0, "(none)",
       "AgentUtil::InstallAgentModule 4 other.dll: 체크섬 오류 - " + Cks("other") + "(M):" +
           Cks("not what the definition says") + "(F)"},
      {"foreign.dll", "foreign", kUnzipIllegal, 1, 0, "(none)",
       "AgentUtil::InstallAgentModule 4 foreign.dll: 압축 해제 실패, ErrorCode : 2011"},
      // What was unpacked before the failure is not left for a later installation.
      {"half.dll", "half", kUnzipCannotCreate, 1, 0, "(none)",
       "AgentUtil::InstallAgentModule 4 half.dll: 압축 해제 실패, ErrorCode : 4"},
      // Not on the server: the size query fails each time, and each failure is followed by a pause.
      {"absent.dll", "absent", kModuleDownloadError, 0, 5, "(none)",
       "AgentUtil::InstallAgentModule 4 absent.dll: 다운로드 오류(-10)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_->lines.clear();
    MarkJournal();
    const size_t pausesBefore = static_cast<size_t>(RetryPauses());
    EXPECT_EQ(DownloadWithRetry(u_, win::Utf8ToWide(c.name), Expected(c.expected), kModuleAttempts, false), c.result);
    EXPECT_EQ(static_cast<int>(Downloads().size()), c.downloads);
    EXPECT_EQ(RetryPauses() - static_cast<int>(pausesBefore), c.pauses);
    EXPECT_EQ(Content(HostModule(c.name)), c.kept);
    if (!c.logged.empty()) {
      EXPECT_TRUE(log_->Has(c.logged)) << log_->Dump();
    }
    // The package never stays.
    EXPECT_EQ(Content(HostModule(std::string(c.name) + ".qz")), "(none)");
  }
  EXPECT_EQ(SizeQueries(), 5);  // the five tries of the last case
}

TEST_F(Modules, ServerErrorsOnTheDownloadAreRetried) {
  Publish("flaky.dll", "flaky");
  server_->Faults("/agent/flaky.dll.qz status=503\n");
  UseModuleFolder();

  EXPECT_EQ(DownloadWithRetry(u_, u"flaky.dll", Expected("flaky"), 3, false), kModuleDownloadError);
  EXPECT_TRUE(qztest::RequestsAre(Journal(), {"file_size", "/agent/flaky.dll.qz", "file_size", "/agent/flaky.dll.qz",
                                              "file_size", "/agent/flaky.dll.qz"}));
  EXPECT_EQ(RetryPauses(), 3);
  EXPECT_EQ(Content(HostModule("flaky.dll.qz")), "(none)");
}

TEST_F(Modules, PlainDownloadFlag) {
  EXPECT_FALSE(IsPlainDownload(u_));  // no value
  qz::RegKey agent;
  ASSERT_EQ(win::Registry().RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, kAgentKey, 0, win::KEY_WRITE, agent.put()), 0);
  qz::qzAES site;
  site.SetPassword(kSerial);
  ASSERT_EQ(WriteSealedDword(site, agent.get(), kValuePlainDownload, 0), 0);
  EXPECT_FALSE(IsPlainDownload(u_));
  ASSERT_EQ(WriteSealedDword(site, agent.get(), kValuePlainDownload, 1), 0);
  EXPECT_TRUE(IsPlainDownload(u_));
  // Sealed under another key: unreadable, so secure.
  qz::qzAES base;
  base.SetPassword("");
  ASSERT_EQ(WriteSealedDword(base, agent.get(), kValuePlainDownload, 1), 0);
  EXPECT_FALSE(IsPlainDownload(u_));
  ASSERT_EQ(WriteSealedDword(site, agent.get(), kValuePlainDownload, 7), 0);

  Publish("plain.dll", "plain");
  Definition(Doc(Module("plain.dll", "cks=\"" + Cks("plain") + "\"")));
  EXPECT_TRUE(DownloadAgentModules(u_)) << log_->Dump();
  EXPECT_EQ(Content(HostModule("plain.dll")), "plain");
  EXPECT_EQ(SizeQueries(), 0);  // no file-size command: the plain path asks the file itself
  EXPECT_EQ(Downloads().back(), "/agent/plain.dll.qz");
  EXPECT_FALSE(log_->Has("Secure downloading enabled"));
}

TEST_F(Modules, TooLittleSpaceIsADownloadError) {
  qztest::RunWinsim({"set", machine_.root(), "free-space", "10"});
  Publish("big.dll", "big");
  UseModuleFolder();
  EXPECT_EQ(DownloadWithRetry(u_, u"big.dll", Expected("big"), 2, false), kModuleDownloadError);
  EXPECT_TRUE(Downloads().empty());
  EXPECT_TRUE(log_->Has("big.dll: 다운로드 오류(-101)")) << log_->Dump();
}

TEST_F(Modules, DriversBeingReplacedAreStoppedFirst) {
  // Two drivers of this Windows run; only the network filter is marked as replaced.
  for (auto f : {"qzNetFilterX64.sys", "qzTcpTagger10X64.sys"}) PutInstalled(f, "driver");
  DriverService net, tcp;
  ASSERT_EQ(DetectNetFilter(net), kProbeStopped);
  ASSERT_EQ(DetectTcpTagger(tcp), kProbeStopped);
  ASSERT_EQ(net.InstallAndStart(), kDriverDone);
  ASSERT_EQ(tcp.InstallAndStart(), kDriverDone);

  tinyxml2::XMLDocument doc;
  doc.Parse(Doc("", "updateNetFilter=\"True\" updateTcpTagger=\"no\" updatePrtProc=\"true\"").c_str());
  StopDriverIfNeedUpdate(u_, doc.RootElement());

  DriverService probe;
  EXPECT_EQ(DetectNetFilter(probe), kProbeStopped);
  EXPECT_EQ(DetectTcpTagger(probe), kProbeRunning);
  EXPECT_TRUE(log_->Has("TarlinUpdater::StopDriverIfNeedUpdate 4 NetFilterSvc 종료 시도")) << log_->Dump();
  EXPECT_FALSE(log_->Has("TcpTaggerSvc"));
  EXPECT_FALSE(log_->Has("AgentProtectionSvc"));  // marked, but its driver does not run here
  tcp.Stop();
}

}  // namespace
