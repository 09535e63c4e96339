#include "syscontrol/driver_service.h"

#include <gtest/gtest.h>

#include <fstream>

#include "fixtures.h"
#include "platform/winsim/scm.h"
#include "platform/winsim/services.h"
#include "support/fake_time.h"

namespace {

using namespace win;
using qz::DriverService;

class DriverMachine : public sctest::AgentMachine {
 public:
  using AgentMachine::AgentMachine;
  void Sys(const std::u16string& file) { std::ofstream(machine.HostPath(folder + u"\\" + file)) << "driver"; }
  bool ServiceExists(std::u16string_view name) {
    SC_HANDLE scm = Services().OpenSCManagerW(u"", u"", SC_MANAGER_ALL_ACCESS);
    SC_HANDLE s = Services().OpenServiceW(scm, name, SERVICE_QUERY_STATUS);
    if (s) Services().CloseServiceHandle(s);
    Services().CloseServiceHandle(scm);
    return s != nullptr;
  }
  DWORD State(std::u16string_view name) {
    SC_HANDLE scm = Services().OpenSCManagerW(u"", u"", SC_MANAGER_ALL_ACCESS);
    SC_HANDLE s = Services().OpenServiceW(scm, name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS st;
    DWORD state = s && Services().QueryServiceStatus(s, &st) ? st.dwCurrentState : 0;
    if (s) Services().CloseServiceHandle(s);
    Services().CloseServiceHandle(scm);
    return state;
  }
};

int (*const kProbes[])(DriverService&) = {qz::DetectPrtProc, qz::DetectNetFilter, qz::DetectProcCut,
                                          qz::DetectTcpTagger};
enum Family { PrtProc, NetFilter, ProcCut, TcpTagger };

TEST(DriverProbe, ChoosesTheDriverOfEachWindows) {
  struct Case {
    const char* profile;
    Family family;
    std::u16string file;  // the only .sys present
    int result;
    std::u16string service;  // empty: the record stays untouched
  };
  const Case cases[] = {
      {"win10-x64", TcpTagger, u"qzTcpTagger10X64.sys", qz::kProbeStopped, u"qzTcpTaggerX64"},
      {"win10-x64", TcpTagger, u"qzTcpTaggerX64.sys", qz::kProbeAbsent, u""},
      {"win10", TcpTagger, u"qzTcpTagger10.sys", qz::kProbeStopped, u"qzTcpTagger"},
      {"win81-x64", TcpTagger, u"qzTcpTaggerX64.sys", qz::kProbeStopped, u"qzTcpTaggerX64"},
      {"win81-x64", TcpTagger, u"qzTcpTagger10X64.sys", qz::kProbeAbsent, u""},
      {"vista", NetFilter, u"qzNetFilter_Vista.sys", qz::kProbeStopped, u"qzNetFilter_Vista"},
      {"vista-x64", NetFilter, u"qzNetFilter_VistaX64.sys", qz::kProbeStopped, u"qzNetFilter_VistaX64"},
      {"win7", NetFilter, u"qzNetFilter.sys", qz::kProbeStopped, u"qzNetFilter"},
      {"win7", NetFilter, u"qzNetFilter_Vista.sys", qz::kProbeAbsent, u""},
      {"win7-x64", ProcCut, u"qzProcCutx64.sys", qz::kProbeStopped, u"qzProcCutx64"},
      {"win8", ProcCut, u"qzProcCutx86.sys", qz::kProbeStopped, u"qzProcCutx86"},
      {"win2008-x64", PrtProc, u"qzPrtProcX64.sys", qz::kProbeStopped, u"qzPrtProcX64"},
      {"winxp-sp3", PrtProc, u"qzPrtProcXP.sys", qz::kProbeStopped, u"qzPrtProcXP"},
      {"winxp-sp3", ProcCut, u"qzProcCutXp.sys", qz::kProbeStopped, u"qzProcCutXp"},
      {"winxp-sp3", NetFilter, u"qzNetFilter.sys", qz::kProbeAbsent, u""},
      {"winxp-sp3", TcpTagger, u"qzTcpTagger.sys", qz::kProbeAbsent, u""},
      {"win2003-x64", PrtProc, u"qzPrtProcXP.sys", qz::kProbeStopped, u"qzPrtProcXP"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.profile) + " " + WideToUtf8(c.file));
    DriverMachine m(c.profile);
    m.Sys(c.file);
    DriverService r;
    r.serviceName = u"before";
    EXPECT_EQ(kProbes[c.family](r), c.result);
    if (c.service.empty()) {
      EXPECT_EQ(r.serviceName, u"before");
      EXPECT_TRUE(r.binaryPath.empty());
    } else {
      EXPECT_EQ(r.serviceName, c.service);
      EXPECT_EQ(r.binaryPath, m.folder + u"\\" + c.file);
      EXPECT_EQ(r.devicePath, u"\\\\.\\" + c.service);
    }
  }
}

TEST(DriverProbe, SeesRunningDriversOnlyWithTheirFile) {
  DriverMachine m("win7-x64");
  m.Sys(u"qzNetFilterX64.sys");
  DriverService installer;
  ASSERT_EQ(qz::DetectNetFilter(installer), qz::kProbeStopped);
  ASSERT_EQ(installer.InstallAndStart(), qz::kDriverDone);
  DriverService again;
  EXPECT_EQ(qz::DetectNetFilter(again), qz::kProbeRunning);
  // The same service running does not count without its file.
  std::filesystem::remove(m.machine.HostPath(m.folder + u"\\qzNetFilterX64.sys"));
  DriverService later;
  EXPECT_EQ(qz::DetectNetFilter(later), qz::kProbeAbsent);
  EXPECT_EQ(m.State(u"qzNetFilterX64"), SERVICE_RUNNING);
}

TEST(DriverService, LifecycleOwnsTheServiceAndItsDevice) {
  DriverMachine m("win10-x64");
  m.Sys(u"qzPrtProcX64.sys");
  DriverService r;
  ASSERT_EQ(qz::DetectPrtProc(r), qz::kProbeStopped);
  ASSERT_EQ(r.InstallAndStart(), qz::kDriverDone);
  EXPECT_TRUE(r.created);
  EXPECT_TRUE(r.started);
  EXPECT_TRUE(r.ownsService);
  EXPECT_NE(r.deviceHandle, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(r.IsRunning());
  // A second InstallAndStart does nothing.
  EXPECT_EQ(r.InstallAndStart(), qz::kDriverDone);

  ASSERT_EQ(r.StopAndDelete(), qz::kDriverDone);
  EXPECT_FALSE(r.started);
  EXPECT_FALSE(r.created);
  EXPECT_EQ(r.deviceHandle, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(m.ServiceExists(u"qzPrtProcX64"));
  // The device exists only while the driver runs.
  EXPECT_EQ(r.OpenDevice(), qz::kDriverNoDevice);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(DriverService, AlreadyRunningCountsAsStartedButIsNotDeleted) {
  DriverMachine m("win10-x64");
  m.Sys(u"qzProcCutx64.sys");
  DriverService other;
  qz::DetectProcCut(other);
  ASSERT_EQ(other.InstallAndStart(), qz::kDriverDone);

  DriverService r;
  qz::DetectProcCut(r);
  EXPECT_EQ(r.InstallAndStart(), qz::kDriverDone);  // create fails with 1073, open, start gives 1056
  EXPECT_FALSE(r.ownsService);
  EXPECT_TRUE(r.started);
  EXPECT_EQ(r.StopAndDelete(), qz::kDriverDone);
  EXPECT_EQ(m.State(u"qzProcCutx64"), SERVICE_STOPPED);
  EXPECT_TRUE(m.ServiceExists(u"qzProcCutx64"));
}

TEST(DriverService, NothingToDoWithoutTheFlagsOrAName) {
  DriverMachine m("win10-x64");
  m.Sys(u"qzPrtProcX64.sys");
  DriverService running;
  qz::DetectPrtProc(running);
  running.InstallAndStart();

  DriverService r;
  qz::DetectPrtProc(r);
  EXPECT_EQ(r.StopAndDelete(), qz::kDriverDone);  // started is false
  EXPECT_EQ(r.Stop(), qz::kDriverDone);
  EXPECT_EQ(m.State(u"qzPrtProcX64"), SERVICE_RUNNING);

  DriverService empty;
  EXPECT_EQ(empty.InstallAndStart(), qz::kDriverNothingToDo);
  EXPECT_EQ(empty.OpenDevice(), qz::kDriverNothingToDo);
  EXPECT_FALSE(empty.IsRunning());
}

TEST(DriverService, WaitWhilePendingGivesUpAfterTenPolls) {
  DriverMachine m("win10-x64");
  m.Sys(u"qzPrtProcX64.sys");
  DriverService r;
  qz::DetectPrtProc(r);
  ASSERT_EQ(r.InstallAndStart(), qz::kDriverDone);
  winsim::HoldServiceState(dynamic_cast<winsim::WinsimPlatform&>(Platform::Current()).machine(), u"qzPrtProcX64",
                           SERVICE_STOP_PENDING);
  auto fake = std::make_unique<qztest::FakeTime>();
  qztest::FakeTime* clock = fake.get();
  auto real = Platform::Current().SetTime(std::move(fake));
  r.WaitWhilePending();
  EXPECT_EQ(clock->Pauses(), sctest::Seconds(10));
  // StopAndDelete waits the same way and then cannot stop a pending service.
  EXPECT_EQ(r.StopAndDelete(), qz::kDriverStopFailed);
  EXPECT_EQ(clock->Pauses(), sctest::Seconds(20));
  Platform::Current().SetTime(std::move(real));
}

TEST(DriverService, RemoveRunningDriversLeavesStoppedOnes) {
  DriverMachine m("win7-x64");
  for (auto f : {u"qzNetFilterX64.sys", u"qzTcpTaggerX64.sys", u"qzPrtProcX64.sys", u"qzProcCutx64.sys"}) m.Sys(f);
  DriverService net, tcp;
  qz::DetectNetFilter(net);
  qz::DetectTcpTagger(tcp);
  net.InstallAndStart();
  tcp.InstallAndStart();
  tcp.Stop();

  qz::DriverRecords records;
  qz::RemoveRunningDrivers(records);
  EXPECT_FALSE(m.ServiceExists(u"qzNetFilterX64"));
  EXPECT_TRUE(m.ServiceExists(u"qzTcpTaggerX64"));
  EXPECT_EQ(records.prtProc.serviceName, u"qzPrtProcX64");  // probed, not running
  EXPECT_FALSE(m.ServiceExists(u"qzPrtProcX64"));
}

}  // namespace
