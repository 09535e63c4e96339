// The winsim command as people and scripts use it: a reboot ends the machine's processes and
// carries out what was scheduled for it; faults set from the command line reach programs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/platform.h"
#include "platform/text.h"
#include "support/test_machine.h"

namespace {

using namespace win;
using qztest::RunWinsim;
using qztest::TestMachine;

TEST(WinsimCommand, RebootEndsProcessesAndDeletesWhatWasScheduled) {
  TestMachine m("win7-x64");
  m.Install("wsprobe", u"C:\\t\\wsprobe.exe");
  std::ofstream(m.HostPath(u"C:\\t\\old.dll")) << "x";
  m.Enter(u"C:\\t\\setup.exe", 32);
  ASSERT_TRUE(Files().MoveFileExW(u"C:\\t\\old.dll", u"", MOVEFILE_DELAY_UNTIL_REBOOT));
  ASSERT_TRUE(Files().MoveFileExW(u"C:\\t\\wsprobe.exe", u"C:\\t\\renamed.exe", MOVEFILE_DELAY_UNTIL_REBOOT));
  PROCESS_INFORMATION pi;
  STARTUPINFOW si;
  ASSERT_TRUE(Processes().CreateProcessW(u"", u"C:\\t\\wsprobe.exe sleep 600000", 0, u"C:\\t", si, &pi));
  m.Leave();

  int status = 0;
  std::string ps = RunWinsim({"ps", m.root()});
  EXPECT_NE(ps.find("wsprobe.exe"), std::string::npos) << ps;

  EXPECT_EQ(RunWinsim({"reboot", m.root()}, &status), "rebooted\n");
  EXPECT_EQ(status, 0);
  ps = RunWinsim({"ps", m.root()});
  EXPECT_EQ(ps.find("wsprobe.exe"), std::string::npos) << ps;
  EXPECT_FALSE(std::filesystem::exists(m.HostPath(u"C:\\t\\old.dll")));
  EXPECT_FALSE(std::filesystem::exists(m.HostPath(u"C:\\t\\wsprobe.exe")));
  EXPECT_TRUE(std::filesystem::exists(m.HostPath(u"C:\\t\\renamed.exe")));
  std::string pending = RunWinsim({"reg", m.root(), "query", "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                                   "PendingFileRenameOperations"},
                                  &status);
  EXPECT_NE(status, 0) << pending;  // carried out and cleared
}

TEST(WinsimCommand, FaultsReachPrograms) {
  TestMachine m("win10-x64");
  m.Install("wsprobe", u"C:\\t\\wsprobe.exe");
  int status = 0;
  RunWinsim({"lock", m.root(), "C:\\t\\data.txt"}, &status);
  ASSERT_EQ(status, 0);
  std::ofstream(m.HostPath(u"C:\\t\\data.txt")) << "x";
  RunWinsim({"set", m.root(), "free-space", "10"}, &status);
  RunWinsim({"set", m.root(), "cocreateguid", "fail"}, &status);
  RunWinsim({"set", m.root(), "volume", "C", "1234ABCD", "present"}, &status);
  m.Enter(u"C:\\t\\prog.exe", 32);
  EXPECT_FALSE(Files().DeleteFileW(u"C:\\t\\data.txt"));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  ULONGLONG freeBytes = 0, total = 0, totalFree = 0;
  ASSERT_TRUE(Files().GetDiskFreeSpaceExW(u"C:\\", &freeBytes, &total, &totalFree));
  EXPECT_EQ(freeBytes, 10ull * 1024 * 1024);
  GUID g;
  EXPECT_TRUE(FAILED(Com().CoCreateGuid(&g)));
  DWORD serial = 0;
  std::u16string name;
  ASSERT_TRUE(Files().GetVolumeInformationW(u"C:\\", &name, &serial));
  EXPECT_EQ(serial, 0x1234ABCDu);
  m.Leave();
  RunWinsim({"unlock", m.root(), "C:\\t\\data.txt"}, &status);
  m.Enter(u"C:\\t\\prog.exe", 32);
  EXPECT_TRUE(Files().DeleteFileW(u"C:\\t\\data.txt"));
}

}  // namespace
