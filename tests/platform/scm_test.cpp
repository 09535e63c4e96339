// The service manager through the Win32-shaped calls: the cases a real Windows answers as winsim
// does, so they run on both backends. Services that must really run (drivers, service programs)
// are winsim's alone: scm_winsim_test.cpp.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "support/conformance_host.h"
#include "support/wine_differences.h"

namespace {

using namespace win;

class Scm : public ::testing::Test {
 protected:
  void SetUp() override {
    scm = Services().OpenSCManagerW(u"", SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(scm, nullptr) << GetLastError();
    // A name of this run only: a real manager may keep what an earlier run left.
    GUID g;
    ASSERT_EQ(Com().CoCreateGuid(&g), S_OK);
    const std::string id = UuidToStringA(g).substr(0, 8);
    name = u"qzTest" + std::u16string(id.begin(), id.end());
    driverPath = u"C:\\qz-test-" + std::u16string(id.begin(), id.end()) + u"\\none.sys";
  }
  void TearDown() override {
    if (SC_HANDLE s = Services().OpenServiceW(scm, name, SERVICE_ALL_ACCESS)) {
      Services().DeleteService(s);
      Services().CloseServiceHandle(s);
    }
    Services().CloseServiceHandle(scm);
  }
  SC_HANDLE Create(std::u16string_view serviceName) {
    return Services().CreateServiceW(scm, serviceName, serviceName, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_CRITICAL, driverPath);
  }

  qztest::ConformanceHost host;
  SC_HANDLE scm = nullptr;
  std::u16string name, driverPath;
};

TEST_F(Scm, AStoppedDriverServiceGivesTheWindowsResults) {
  SC_HANDLE s = Create(name);
  ASSERT_NE(s, nullptr) << GetLastError();
  std::u16string upper = name;
  for (auto& c : upper) c = c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
  EXPECT_EQ(Create(upper), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_EXISTS);

  SERVICE_STATUS st;
  ASSERT_TRUE(Services().QueryServiceStatus(s, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(st.dwServiceType, SERVICE_KERNEL_DRIVER);
  for (DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_INTERROGATE}) {
    EXPECT_FALSE(Services().ControlService(s, control, &st)) << control;
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE) << control;
  }

  QUERY_SERVICE_CONFIGW config;
  ASSERT_TRUE(Services().QueryServiceConfigW(s, &config));
  EXPECT_EQ(config.dwServiceType, SERVICE_KERNEL_DRIVER);
  EXPECT_EQ(config.dwStartType, SERVICE_DEMAND_START);
  EXPECT_EQ(config.dwErrorControl, SERVICE_ERROR_CRITICAL);
  const bool ntForm = qztest::Expected(qztest::WineDifference::DriverPathInNtForm) != 0;
  EXPECT_EQ(config.lpBinaryPathName, (ntForm ? u"\\??\\" : u"") + driverPath);
  EXPECT_EQ(config.lpDisplayName, name);

  // A driver whose file is missing does not start.
  EXPECT_FALSE(Services().StartServiceW(s, {}));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(qztest::Expected(qztest::WineDifference::StartDriverMissingFile)));
  ASSERT_TRUE(Services().QueryServiceStatus(s, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);
  Services().CloseServiceHandle(s);
}

TEST_F(Scm, NamesAndDatabasesThatDoNotExist) {
  EXPECT_EQ(Services().OpenServiceW(scm, name, SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(Services().OpenSCManagerW(u"", u"ServicesFailed", SC_MANAGER_CONNECT), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_DATABASE_DOES_NOT_EXIST);
  // A program the manager did not start cannot become a service.
  EXPECT_FALSE(Services().StartServiceCtrlDispatcherW({name, [](const std::vector<std::u16string>&) {}}));
  EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
}

TEST_F(Scm, AMarkedServiceGoesWithItsLastHandle) {
  SC_HANDLE s = Create(name);
  ASSERT_NE(s, nullptr) << GetLastError();
  SC_HANDLE other = Services().OpenServiceW(scm, name, SERVICE_ALL_ACCESS);
  ASSERT_NE(other, nullptr);
  ASSERT_TRUE(Services().DeleteService(s));
  EXPECT_FALSE(Services().DeleteService(other));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(Create(name), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  Services().CloseServiceHandle(s);
  // One handle is still open: the service is still there.
  SERVICE_STATUS st;
  EXPECT_TRUE(Services().QueryServiceStatus(other, &st));
  Services().CloseServiceHandle(other);
  EXPECT_EQ(Services().OpenServiceW(scm, name, SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
}

}  // namespace
