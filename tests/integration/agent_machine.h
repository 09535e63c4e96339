// An agent set up by qzUpdater's install mode on a simulated Windows 10 x64 machine, for the
// end-to-end tests of the updater and the installer: the updater, the drivers for that Windows and
// the site's server.cfg pointing at a live qzserver in the setup folder, then `--install`.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/text.h"
#include "support/peers.h"
#include "support/test_machine.h"

namespace qztest {

inline constexpr char16_t kAgentSetupFolder[] = u"C:\\bc8f992f5df34654945e6e32a5aa400c";

// Processes whose image name equals image, ignoring case, as the updater counts them.
inline int CountProcesses(std::u16string_view image) {
  std::vector<win::PROCESSENTRY32W> e;
  win::Processes().SnapshotProcesses(win::TH32CS_SNAPPROCESS, &e);
  int n = 0;
  for (const auto& p : e) n += win::EqualsNoCase(p.szExeFile, image);
  return n;
}

inline constexpr char16_t kServiceName[] = u"VH-KSM Agent Service";

inline win::DWORD ServiceState() {
  using namespace win;
  SC_HANDLE scm = Services().OpenSCManagerW(u"", u"", SC_MANAGER_ALL_ACCESS);
  if (!scm) return 0;
  SC_HANDLE svc = Services().OpenServiceW(scm, kServiceName, SERVICE_QUERY_STATUS);
  SERVICE_STATUS st{};
  const bool ok = svc && Services().QueryServiceStatus(svc, &st);
  if (svc) Services().CloseServiceHandle(svc);
  Services().CloseServiceHandle(scm);
  return ok ? st.dwCurrentState : 0;
}

// The agent's service: registered, reported running and its program alive. A program that was
// started but has not reported yet (a loaded machine) is given up to ten seconds.
inline bool ServiceRuns() {
  auto runs = [] { return ServiceState() == win::SERVICE_RUNNING && CountProcesses(u"qzTarlinSvc.exe") == 1; };
  for (int i = 0; i < 1000 && !runs(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return runs();
}

// Leaves the machine entered as a 64-bit program after the install run.
inline void RunInstallMode(TestMachine& m, const QzServer& server) {
  const std::u16string setup(kAgentSetupFolder);
  m.Install("qzUpdater", setup + u"\\qzUpdater.exe");
  for (const char* sys : {"qzNetFilterX64", "qzTcpTagger10X64", "qzProcCutx64", "qzPrtProcX64"}) {
    m.Install(std::string("drivers/") + sys + ".sys", setup + u"\\" + win::Utf8ToWide(sys) + u".sys");
  }
  std::ofstream(m.HostPath(setup + u"\\server.cfg"))
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<tarlinLMV><serial>VH-2024-0001</serial>"
         "<server>127.0.0.1</server><port>"
      << server.httpPort << "</port><ssl>" << server.httpsPort << "</ssl></tarlinLMV>";
  m.Enter(u"C:\\Windows\\explorer.exe", 64);
  ASSERT_TRUE(m.Run(u"\"" + setup + u"\\qzUpdater.exe\" --install", setup).has_value());
}

}  // namespace qztest
