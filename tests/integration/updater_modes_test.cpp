// The small modes of qzUpdater end to end on a simulated machine with the agent's stand-ins:
// service check, restart, stop and driver stop.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/platform.h"
#include "platform/text.h"
#include "integration/agent_machine.h"
#include "support/host_files.h"
#include "support/peers.h"
#include "support/test_machine.h"
#include "updater/entry.h"

using namespace qz;

namespace {

using namespace win;
using qztest::TestMachine;

constexpr char16_t kSetup[] = u"C:\\bc8f992f5df34654945e6e32a5aa400c";
constexpr char16_t kInstall[] = u"C:\\Program Files (x86)\\varnholt\\KSM";

std::u16string Updater(std::u16string_view args) {
  return u"\"" + std::u16string(kSetup) + u"\\qzUpdater.exe\" " + std::u16string(args);
}

constexpr auto Count = &qztest::CountProcesses;

bool ServiceRegistered() {
  HKEY k = nullptr;
  if (Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\VH-KSM Agent Service", 0,
                               KEY_READ | KEY_WOW64_64KEY, &k)) {
    return false;
  }
  Registry().RegCloseKey(k);
  return true;
}

TEST(UpdaterModes, ServiceCheckRestartAndStopWithTheStandIns) {
  // Every pause of the agent's stop sequence runs a hundred times faster.
  setenv("WINSIM_TIME_SCALE", "0.01", 1);
  qztest::HostDir dir;
  qztest::MakeCertificate(dir);
  qztest::QzServer server(dir);
  ASSERT_GT(server.httpsPort, 0);
  TestMachine m("win10-x64");
  m.Install("qzUpdater", std::u16string(kSetup) + u"\\qzUpdater.exe");
  std::ofstream(m.HostPath(std::u16string(kSetup) + u"\\server.cfg"))
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<tarlinLMV><serial>VH-2024-0001</serial>"
         "<server>127.0.0.1</server><port>"
      << server.httpPort << "</port><ssl>" << server.httpsPort << "</ssl></tarlinLMV>";
  m.Enter(u"C:\\Windows\\explorer.exe", 64);
  // Install mode prepares the registry; its module work is not part of this test.
  ASSERT_TRUE(m.Run(Updater(u"--install"), kSetup).has_value());
  for (const char* f : {"qzTarlinSvc", "lmvAgent", "lmvAssistant"}) {
    m.Install(f, std::u16string(kInstall) + u"\\" + Utf8ToWide(f) + u".exe");
  }

  // Missing service: "-install", then "-start".
  EXPECT_EQ(m.Run(Updater(u"--chksvc")), kExitDone);
  EXPECT_TRUE(ServiceRegistered());
  EXPECT_EQ(Count(u"qzTarlinSvc.exe"), 1);
  // Registered and running: nothing to do.
  EXPECT_EQ(m.Run(Updater(u"--chksvc")), kExitDone);
  EXPECT_EQ(Count(u"qzTarlinSvc.exe"), 1);

  // Restart: everything stops, then the service starts again.
  EXPECT_EQ(m.Run(Updater(u"--restart")), kExitDone);
  EXPECT_EQ(Count(u"qzTarlinSvc.exe"), 1);

  // An agent program that runs beside the service is ended too.
  PROCESS_INFORMATION pi;
  STARTUPINFOW si;
  ASSERT_TRUE(Processes().CreateProcessW(u"", std::u16string(kInstall) + u"\\lmvAgent.exe", 0, kInstall, si, &pi));
  CloseHandle(pi.hThread);
  EXPECT_EQ(m.Run(Updater(u"--stopMe")), kExitDone);
  EXPECT_EQ(Time().WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
  CloseHandle(pi.hProcess);
  EXPECT_EQ(Count(u"qzTarlinSvc.exe"), 0);
  EXPECT_EQ(Count(u"lmvAgent.exe"), 0);
  EXPECT_TRUE(ServiceRegistered());  // stopped, not removed

  EXPECT_EQ(m.Run(Updater(u"--stopPrtProc")), kExitDone);
  unsetenv("WINSIM_TIME_SCALE");
}

}  // namespace
