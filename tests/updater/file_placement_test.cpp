// Install-time placement: which driver files fit each Windows, the agent and certificate lists with
// their counts, the run-time libraries and the install preparation's driver work.
#include "support/host_files.h"
#include "updater/file_placement.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "syscontrol/driver_service.h"
#include "updater_fixture.h"

using namespace qz;
using namespace win;
using uptest::Count;
using uptest::UpdaterMachine;

namespace {

namespace fs = std::filesystem;

std::set<std::string> Names(const std::string& hostFolder) {
  std::set<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(hostFolder, ec)) out.insert(e.path().filename().string());
  return out;
}

bool ServiceRunning(std::u16string_view name) {
  SC_HANDLE scm = Services().OpenSCManagerW(u"", u"", SC_MANAGER_ALL_ACCESS);
  SC_HANDLE s = scm ? Services().OpenServiceW(scm, name, SERVICE_ALL_ACCESS) : nullptr;
  SERVICE_STATUS st;
  const bool running = s && Services().QueryServiceStatus(s, &st) && st.dwCurrentState == SERVICE_RUNNING;
  if (s) Services().CloseServiceHandle(s);
  if (scm) Services().CloseServiceHandle(scm);
  return running;
}

TEST(FilePlacement, DriverFilesFollowTheOsCode) {
  UpdaterMachine m;
  const std::u16string source = u"C:\\setup";
  for (const auto& f : kDriverFiles) m.Put(source + u"\\" + std::u16string(f.name), WideToUtf8(f.name));

  struct Row {
    uint32_t osCode;
    std::set<std::string> files;
  };
  const Row rows[] = {
      {0x00200000, {"qzNetFilterX64.sys", "qzTcpTagger10X64.sys", "qzProcCutx64.sys", "qzPrtProcX64.sys"}},  // 10 x64
      {0x00000020, {"qzNetFilter.sys", "qzTcpTagger10.sys", "qzProcCutx86.sys", "qzPrtProc.sys"}},           // 10
      {0x00040000, {"qzNetFilterX64.sys", "qzTcpTaggerX64.sys", "qzProcCutx64.sys", "qzPrtProcX64.sys"}},    // 7 x64
      {0x10000000, {"qzNetFilterX64.sys", "qzTcpTaggerX64.sys", "qzProcCutx64.sys", "qzPrtProcX64.sys"}},    // 2012 R2
      {0x00000002, {"qzNetFilter_Vista.sys"}},                                                               // Vista
      {0x02000000, {"qzNetFilter_VistaX64.sys"}},                                                            // 2008 x64
      {0x00000001, {"qzProcCutXp.sys", "qzPrtProcXP.sys"}},                                                  // XP
      {0x00000100, {"qzProcCutXp.sys", "qzPrtProcXP.sys"}},                                                  // 2003
      {0x00010000, {}},                                                                                      // XP x64
      {0x01000000, {}},                                                                                      // 2003 x64
  };
  size_t placed = 0;
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << r.osCode);
    const std::u16string target = Utf8ToWide(FmtA("C:\\target-%08X", r.osCode));
    ASSERT_TRUE(fs::create_directories(m.Host(target)));
    EXPECT_EQ(CopyDriverFiles(*m.u, source, target, r.osCode), static_cast<int>(r.files.size()));
    EXPECT_EQ(Names(m.Host(target)), r.files);
    placed += r.files.size();
  }
  const std::string log = m.Log();
  EXPECT_EQ(Count(log, "{{TarlinUpdater::CopyDriverFiles}} 드라이버 파일 복사: "), static_cast<int>(placed));
  EXPECT_EQ(Count(log, "드라이버 파일 복사: qzTcpTagger10X64.sys"), 1);
  EXPECT_EQ(Count(log, "복사 실패"), 0);

  // A file missing from the source is logged at the same level and the others still come.
  fs::remove(m.Host(source + u"\\qzPrtProcX64.sys"));
  fs::create_directories(m.Host(u"C:\\target-missing"));
  EXPECT_EQ(CopyDriverFiles(*m.u, source, u"C:\\target-missing", 0x00200000), 3);
  EXPECT_EQ(Count(m.Log(), "{{TarlinUpdater::CopyDriverFiles}} 2 - 복사 실패: qzPrtProcX64.sys"), 1);
}

TEST(FilePlacement, AgentAndCertificateListsCountWhatWasCopied) {
  UpdaterMachine m;
  const std::u16string source = u"C:\\setup";
  for (auto name : kAgentFiles) {
    if (name != u"qzComDrv.dll") m.Put(source + u"\\" + std::u16string(name), "new " + WideToUtf8(name));
  }
  for (auto name : kCertificateFiles) m.Put(source + u"\\" + std::u16string(name), "cert");
  m.Put(m.installFolder + u"\\lmvAgent.exe", "old");

  EXPECT_FALSE(CopyAgentFiles(*m.u, source, m.installFolder));
  EXPECT_EQ(qztest::ReadHostFile(m.Host(m.installFolder + u"\\lmvAgent.exe")), "new lmvAgent.exe");  // overwritten
  EXPECT_EQ(Names(m.Host(m.installFolder)).size(), 23u);
  EXPECT_TRUE(CopyCertificateFiles(*m.u, source, m.installFolder));
  EXPECT_TRUE(m.Exists(m.installFolder + u"\\local-fs.crt"));

  const std::string log = m.Log();
  EXPECT_EQ(Count(log, "{{TarlinUpdater::CopyAgentFiles}} 2 - 복사 실패: qzComDrv.dll"), 1);
  EXPECT_EQ(Count(log, "{{TarlinUpdater::CopyAgentFiles}} 23/24 에이전트 파일 복사 완료"), 1);
  EXPECT_EQ(Count(log, "{{TarlinUpdater::CopyAgentFiles}} 3/3 인증서 파일 복사 완료"), 1);
}

TEST(FilePlacement, APathBeyondTheBufferIsRefusedNotCut) {
  UpdaterMachine m;
  const std::u16string source = u"C:\\setup";
  for (auto name : kCertificateFiles) m.Put(source + u"\\" + std::u16string(name), "cert");
  // 250 characters: every certificate name makes the full path longer than 259.
  const std::u16string target = u"C:\\" + std::u16string(120, u'd') + u"\\" + std::u16string(126, u'e');
  ASSERT_EQ(target.size(), 250u);
  fs::create_directories(m.Host(target));

  EXPECT_FALSE(CopyCertificateFiles(*m.u, source, target));
  EXPECT_TRUE(Names(m.Host(target)).empty());  // nothing under a shortened name
  const std::string log = m.Log();
  EXPECT_EQ(Count(log, "206 - 복사 실패: qorv-ca.pem"), 1);
  EXPECT_EQ(Count(log, "0/3 인증서 파일 복사 완료"), 1);
}

TEST(FilePlacement, RunTimeLibrariesGoToTheSystemFolderOfThe32BitUpdater) {
  UpdaterMachine m("win10-x64");
  m.Put(u"C:\\setup\\msvcp110.dll", "p110");

  CopyMsDllToSystemFolder(*m.u, u"C:\\setup");
  EXPECT_EQ(qztest::ReadHostFile(m.Host(u"C:\\Windows\\SysWOW64\\msvcp110.dll")), "p110");
  EXPECT_FALSE(m.Exists(u"C:\\Windows\\System32\\msvcp110.dll"));
  const std::string log = m.Log();
  EXPECT_EQ(Count(log, "{{TarlinUpdater::CopyMsDllToSystemFolder}} 2 - 시스템 폴더에 복사 실패: msvcr110.dll"), 1);
  EXPECT_EQ(Count(log, "시스템 폴더에 복사 실패: msvcp110.dll"), 0);
}

TEST(FilePlacement, InstallPreparationPlacesAndStartsTheFilters) {
  struct Row {
    std::string profile;
    std::set<std::string> drivers;
    std::vector<std::u16string> running;
  };
  const Row rows[] = {
      {"win10-x64",
       {"qzNetFilterX64.sys", "qzTcpTagger10X64.sys", "qzProcCutx64.sys", "qzPrtProcX64.sys"},
       {u"qzNetFilterX64", u"qzTcpTaggerX64"}},
      {"win7", {"qzNetFilter.sys", "qzTcpTagger.sys", "qzProcCutx86.sys", "qzPrtProc.sys"}, {u"qzNetFilter", u"qzTcpTagger"}},
      // Neither filter exists before Vista.
      {"winxp-sp3", {"qzProcCutXp.sys", "qzPrtProcXP.sys"}, {}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.profile);
    UpdaterMachine m(r.profile);
    const std::u16string setup = u"C:\\bc8f992f5df34654945e6e32a5aa400c";
    m.u->FixFolders(m.installFolder, setup);
    for (const auto& f : kDriverFiles) m.Put(setup + u"\\" + std::u16string(f.name));
    for (auto name : kCertificateFiles) m.Put(setup + u"\\" + std::u16string(name));

    PlaceCertificatesAndDrivers(*m.u);

    std::set<std::string> expected = r.drivers;
    expected.insert({"qorv-ca.pem", "qorv-fs.crt", "local-fs.crt"});
    EXPECT_EQ(Names(m.Host(m.installFolder)), expected);
    for (const auto& name : r.running) EXPECT_TRUE(ServiceRunning(name)) << WideToUtf8(name);
    // Process protection and process cut are left to the agent.
    for (auto name : {u"qzPrtProcX64", u"qzPrtProc", u"qzPrtProcXP", u"qzProcCutx64", u"qzProcCutx86", u"qzProcCutXp"}) {
      EXPECT_FALSE(ServiceRunning(name)) << WideToUtf8(name);
    }
  }
}

}  // namespace
