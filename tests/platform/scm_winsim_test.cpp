// The service manager of a simulated machine with services that run: a driver (a file that
// stands for one) and a service program. The cases both backends share are in scm_test.cpp.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/platform.h"
#include "support/test_machine.h"

namespace {

using namespace win;

class ScmWinsim : public ::testing::Test {
 protected:
  void SetUp() override {
    machine.Enter(u"C:\\Windows\\System32\\services.exe", 64);
    scm = Services().OpenSCManagerW(u"", SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(scm, nullptr);
  }
  void TearDown() override { Services().CloseServiceHandle(scm); }
  SC_HANDLE Create(std::u16string_view name, std::u16string_view path = u"C:\\drv\\a.sys") {
    return Services().CreateServiceW(scm, name, name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                     SERVICE_ERROR_CRITICAL, path);
  }
  DWORD State(SC_HANDLE s) {
    SERVICE_STATUS st;
    return Services().QueryServiceStatus(s, &st) ? st.dwCurrentState : 0;
  }

  qztest::TestMachine machine{"win10-x64"};
  SC_HANDLE scm = nullptr;
};

TEST_F(ScmWinsim, ARunningDriverOpensItsDeviceAndStops) {
  std::filesystem::create_directories(machine.HostPath(u"C:\\drv"));
  std::ofstream(machine.HostPath(u"C:\\drv\\a.sys")) << "driver";
  SC_HANDLE s = Create(u"qzDrv");
  ASSERT_NE(s, nullptr);

  SERVICE_STATUS st;
  EXPECT_EQ(Files().CreateFileW(u"\\\\.\\qzDrv", GENERIC_READ, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);

  ASSERT_TRUE(Services().StartServiceW(s, {}));
  EXPECT_FALSE(Services().StartServiceW(s, {}));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
  EXPECT_TRUE(Services().ControlService(s, SERVICE_CONTROL_INTERROGATE, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_RUNNING);
  HANDLE device = Files().CreateFileW(u"\\\\.\\qzDrv", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
  EXPECT_NE(device, INVALID_HANDLE_VALUE);
  CloseHandle(device);

  ASSERT_TRUE(Services().ControlService(s, SERVICE_CONTROL_STOP, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);
  QUERY_SERVICE_CONFIGW config;
  ASSERT_TRUE(Services().QueryServiceConfigW(s, &config));
  EXPECT_EQ(config.lpBinaryPathName, u"\\??\\C:\\drv\\a.sys");
  EXPECT_EQ(config.dwErrorControl, SERVICE_ERROR_CRITICAL);
  Services().CloseServiceHandle(s);
}

TEST_F(ScmWinsim, DeletionWaitsForTheLastHandleAndTheStop) {
  std::filesystem::create_directories(machine.HostPath(u"C:\\drv"));
  std::ofstream(machine.HostPath(u"C:\\drv\\a.sys")) << "driver";
  SC_HANDLE s = Create(u"qzDrv");
  ASSERT_TRUE(Services().StartServiceW(s, {}));
  SC_HANDLE other = Services().OpenServiceW(scm, u"qzDrv", SERVICE_ALL_ACCESS);
  ASSERT_TRUE(Services().DeleteService(s));
  EXPECT_FALSE(Services().DeleteService(other));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(Create(u"qzDrv"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  Services().CloseServiceHandle(s);
  Services().CloseServiceHandle(other);
  // Still running: it stays until stopped.
  SC_HANDLE again = Services().OpenServiceW(scm, u"qzDrv", SERVICE_ALL_ACCESS);
  ASSERT_NE(again, nullptr);
  SERVICE_STATUS st;
  ASSERT_TRUE(Services().ControlService(again, SERVICE_CONTROL_STOP, &st));
  SC_HANDLE stillThere = Services().OpenServiceW(scm, u"qzDrv", SERVICE_QUERY_STATUS);
  EXPECT_NE(stillThere, nullptr);
  Services().CloseServiceHandle(stillThere);
  Services().CloseServiceHandle(again);
  EXPECT_EQ(Services().OpenServiceW(scm, u"qzDrv", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(ScmWinsim, AnOwnProcessServiceMustConnectToTheManager) {
  machine.Install("wsprobe", u"C:\\svc\\probe.exe");
  SC_HANDLE s = Services().CreateServiceW(scm, u"qzProbe", u"qzProbe", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                          SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                          u"\"C:\\svc\\probe.exe\" exit 0");
  ASSERT_NE(s, nullptr);
  EXPECT_FALSE(Services().StartServiceW(s, {}));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_REQUEST_TIMEOUT);
  EXPECT_EQ(State(s), SERVICE_STOPPED);
  // Not started by the manager: the dispatcher refuses.
  EXPECT_FALSE(Services().StartServiceCtrlDispatcherW({u"qzProbe", [](const std::vector<std::u16string>&) {}}));
  EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  Services().CloseServiceHandle(s);
}

}  // namespace
