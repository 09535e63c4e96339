// What only a simulated machine shows about files: restarts, other programs' locks and handles,
// machine profiles (WOW64, environment, volumes) and drives without a volume or medium.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "platform/platform.h"
#include "platform/text.h"
#include "platform/winsim/reboot.h"
#include "platform/winsim/services.h"
#include "files_helpers.h"
#include "support/host_files.h"
#include "support/test_machine.h"

namespace {

using namespace filetest;

using namespace win;
using qztest::ReadHostFile;
using qztest::TestMachine;
namespace fs = std::filesystem;

winsim::Machine& MachineOf(Platform& p) { return dynamic_cast<winsim::WinsimPlatform&>(p).machine(); }

void Put(const TestMachine& m, std::u16string_view winPath, const std::string& text = "data") {
  qztest::WriteHostFile(m.HostPath(winPath), text);
}

TEST(Files, DrivesWithoutAVolumeOrAMedium) {
  TestMachine m("win10-x64");
  Put(m, u"C:\\t\\a.txt");
  m.Enter(u"C:\\t\\prog.exe", 64);
  SetLastError(0xDEAD);
  EXPECT_EQ(OpenResult(u"Q:\\a.txt", GENERIC_READ, 0, OPEN_EXISTING), "error 3");
  EXPECT_EQ(OpenResult(u"D:\\a.txt", GENERIC_READ, 0, OPEN_EXISTING), "error 21");
  EXPECT_EQ(Result(Files().MoveFileExW(u"C:\\t\\a.txt", u"E:\\a.txt", 0)), "error 3");
}

// Windows' answer here is unconfirmed (Wine gives ERROR_INVALID_NAME): a file named as a folder
// to list stays a simulated machine's case.
TEST(Files, FindBelowAFileIsAPathNotFound) {
  TestMachine m("win10-x64");
  Put(m, u"C:\\w\\c.txt");
  m.Enter(u"C:\\w\\prog.exe", 32);
  WIN32_FIND_DATAW d;
  EXPECT_EQ(Files().FindFirstFileW(u"C:\\w\\c.txt\\*", &d), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

std::vector<uint8_t> MultiSz(std::initializer_list<std::u16string_view> strings) {
  std::vector<uint8_t> out;
  auto put = [&](char16_t c) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  };
  for (auto s : strings) {
    for (char16_t c : s) put(c);
    put(0);
  }
  put(0);
  return out;
}

TEST(Files, DelayUntilRebootIsRecordedAsWindowsDoesAndDoneAtReboot) {
  TestMachine m("win10-x64");
  Put(m, u"C:\\App\\qzUpdater.exe", "running");
  Put(m, u"C:\\App\\new.dll", "new");
  Put(m, u"C:\\App\\old.dll", "old");
  Put(m, u"C:\\App\\moved.txt", "m");
  fs::create_directories(m.HostPath(u"C:\\App\\Empty"));
  Platform& p = m.Enter(u"C:\\App\\qzUpdater.exe", 64);

  ASSERT_TRUE(Files().MoveFileExW(u"C:\\App\\qzUpdater.exe", u"", MOVEFILE_DELAY_UNTIL_REBOOT));
  ASSERT_TRUE(Files().MoveFileExW(u"C:\\App\\new.dll", u"C:\\App\\old.dll",
                                  MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
  ASSERT_TRUE(Files().MoveFileExW(u"moved.txt", u"C:\\App\\Later.txt", MOVEFILE_DELAY_UNTIL_REBOOT));
  ASSERT_TRUE(Files().MoveFileExW(u"C:\\App\\Empty", u"", MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(Result(Files().MoveFileExW(u"C:\\App\\a", u"C:\\App\\b",
                                       MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED)),
            "error 87");

  EXPECT_EQ(qztest::PendingRenameBytes(), MultiSz({u"\\??\\C:\\App\\qzUpdater.exe", u"", u"\\??\\C:\\App\\new.dll",
                                     u"!\\??\\C:\\App\\old.dll", u"\\??\\C:\\App\\moved.txt",
                                     u"\\??\\C:\\App\\Later.txt", u"\\??\\C:\\App\\Empty", u""}));
  // Nothing happens before the restart.
  EXPECT_TRUE(fs::exists(m.HostPath(u"C:\\App\\qzUpdater.exe")));
  EXPECT_EQ(ReadHostFile(m.HostPath(u"C:\\App\\old.dll")), "old");

  winsim::Reboot(MachineOf(p));
  EXPECT_FALSE(fs::exists(m.HostPath(u"C:\\App\\qzUpdater.exe")));
  EXPECT_FALSE(fs::exists(m.HostPath(u"C:\\App\\new.dll")));
  EXPECT_EQ(ReadHostFile(m.HostPath(u"C:\\App\\old.dll")), "new");
  EXPECT_EQ(ReadHostFile(m.HostPath(u"C:\\App\\Later.txt")), "m");
  EXPECT_FALSE(fs::exists(m.HostPath(u"C:\\App\\Empty")));
  EXPECT_TRUE(qztest::PendingRenameBytes().empty());
}

TEST(Files, RebootKeepsAnExistingTargetWithoutReplaceAndAFolderThatIsNotEmpty) {
  TestMachine m("win7");
  Put(m, u"C:\\a\\src.txt", "src");
  Put(m, u"C:\\a\\dst.txt", "dst");
  Put(m, u"C:\\a\\full\\x", "x");
  Platform& p = m.Enter(u"C:\\a\\prog.exe", 32);
  ASSERT_TRUE(Files().MoveFileExW(u"C:\\a\\src.txt", u"C:\\a\\dst.txt", MOVEFILE_DELAY_UNTIL_REBOOT));
  ASSERT_TRUE(Files().MoveFileExW(u"C:\\a\\full", u"", MOVEFILE_DELAY_UNTIL_REBOOT));
  winsim::Reboot(MachineOf(p));
  EXPECT_EQ(ReadHostFile(m.HostPath(u"C:\\a\\src.txt")), "src");
  EXPECT_EQ(ReadHostFile(m.HostPath(u"C:\\a\\dst.txt")), "dst");
  EXPECT_TRUE(fs::exists(m.HostPath(u"C:\\a\\full\\x")));
  EXPECT_TRUE(qztest::PendingRenameBytes().empty());
}

TEST(Files, LockedFileRefusesRenameDeleteAndWriting) {
  TestMachine m("win10-x64");
  Put(m, u"C:\\App\\Agent.exe", "agent");
  m.Enter(u"C:\\App\\prog.exe", 32);
  int status = -1;
  qztest::RunWinsim({"lock", m.root(), "c:\\app\\AGENT.EXE"}, &status);
  ASSERT_EQ(status, 0);

  EXPECT_EQ(Result(Files().MoveFileW(u"C:\\app\\agent.exe", u"C:\\App\\Agent.old")), "error 32");
  EXPECT_EQ(Result(Files().MoveFileExW(u"C:\\App\\Agent.exe", u"C:\\App\\Agent.old", MOVEFILE_REPLACE_EXISTING)),
            "error 32");
  EXPECT_EQ(Result(Files().DeleteFileW(u"C:\\App\\Agent.exe")), "error 32");
  EXPECT_EQ(OpenResult(u"C:\\App\\Agent.exe", GENERIC_WRITE, 0, OPEN_EXISTING), "error 32");
  EXPECT_EQ(OpenResult(u"C:\\App\\Agent.exe", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), "ok");
  EXPECT_EQ(Result(Files().CopyFileW(u"C:\\App\\Agent.exe", u"C:\\App\\copy.exe", TRUE)), "ok");

  qztest::RunWinsim({"unlock", m.root(), "C:\\App\\Agent.exe"}, &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(Result(Files().DeleteFileW(u"C:\\App\\Agent.exe")), "ok");
}

// Another process's handles, as rows of the machine's open-file table.
void AddOpenRow(winsim::Machine& m, int pid, int64_t start, const std::string& host, DWORD access, DWORD share) {
  struct stat st {};
  ASSERT_EQ(::stat(host.c_str(), &st), 0);
  m.WithState([&](winsim::Db& db) {
    db.Prepare("INSERT INTO open_files(pid, start, dev, ino, access, share, path) VALUES(?,?,?,?,?,?,?)")
        .Bind(1, pid)
        .Bind(2, start)
        .Bind(3, static_cast<int64_t>(st.st_dev))
        .Bind(4, static_cast<int64_t>(st.st_ino))
        .Bind(5, static_cast<int64_t>(access))
        .Bind(6, static_cast<int64_t>(share))
        .Bind(7, host)
        .Step();
    return 0;
  });
}

TEST(Files, HandlesOfOtherProcessesCountOnlyWhileTheyLive) {
  TestMachine m("win10-x64");
  Put(m, u"C:\\o\\live.txt");
  Put(m, u"C:\\o\\dead.txt");
  Platform& p = m.Enter(u"C:\\o\\prog.exe", 32);
  const int parent = static_cast<int>(getppid());
  const auto parentStart = winsim::ProcessStartTime(parent);
  ASSERT_TRUE(parentStart);
  AddOpenRow(MachineOf(p), parent, static_cast<int64_t>(*parentStart), m.HostPath(u"C:\\o\\live.txt"), GENERIC_READ,
             FILE_SHARE_READ);
  // Same pid, another start time: a process that is gone, whose pid was reused.
  AddOpenRow(MachineOf(p), parent, static_cast<int64_t>(*parentStart) + 1, m.HostPath(u"C:\\o\\dead.txt"),
             GENERIC_READ, 0);

  EXPECT_EQ(Result(Files().DeleteFileW(u"C:\\o\\live.txt")), "error 32");
  EXPECT_EQ(Result(Files().MoveFileW(u"C:\\o\\live.txt", u"C:\\o\\x.txt")), "error 32");
  EXPECT_EQ(OpenResult(u"C:\\o\\live.txt", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING), "error 32");
  EXPECT_EQ(OpenResult(u"C:\\o\\live.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), "ok");
  EXPECT_EQ(Result(Files().MoveFileExW(u"C:\\o\\dead.txt", u"C:\\o\\live.txt", MOVEFILE_REPLACE_EXISTING)),
            "error 5");
  EXPECT_EQ(OpenResult(u"C:\\o\\dead.txt", GENERIC_WRITE, 0, OPEN_EXISTING), "ok");
  EXPECT_EQ(Result(Files().DeleteFileW(u"C:\\o\\dead.txt")), "ok");
}

TEST(Files, ProgramFilesInUseAsImagesCanBeRenamedOnly) {
  TestMachine m("win10-x64");
  Put(m, u"C:\\App\\media.dll", "lib");
  Platform& p = m.Enter(u"C:\\App\\prog.exe", 32);
  struct stat st {};
  ASSERT_EQ(::stat(m.HostPath(u"C:\\App\\media.dll").c_str(), &st), 0);
  const int pid = static_cast<int>(getpid());
  const auto start = winsim::ProcessStartTime(pid);
  ASSERT_TRUE(start);
  MachineOf(p).WithState([&](winsim::Db& db) {
    db.Prepare("INSERT INTO modules(pid, start, dev, ino, path) VALUES(?,?,?,?,?)")
        .Bind(1, pid)
        .Bind(2, static_cast<int64_t>(*start))
        .Bind(3, static_cast<int64_t>(st.st_dev))
        .Bind(4, static_cast<int64_t>(st.st_ino))
        .Bind(5, m.HostPath(u"C:\\App\\media.dll"))
        .Step();
    return 0;
  });
  Put(m, u"C:\\App\\other.dll", "other");

  EXPECT_EQ(Result(Files().DeleteFileW(u"C:\\App\\media.dll")), "error 5");
  EXPECT_EQ(OpenResult(u"C:\\App\\media.dll", GENERIC_WRITE, 7, OPEN_EXISTING), "error 32");
  EXPECT_EQ(OpenResult(u"C:\\App\\media.dll", GENERIC_READ, 7, OPEN_EXISTING), "ok");
  EXPECT_EQ(Result(Files().MoveFileExW(u"C:\\App\\other.dll", u"C:\\App\\media.dll", MOVEFILE_REPLACE_EXISTING)),
            "error 5");
  EXPECT_EQ(Result(Files().MoveFileW(u"C:\\App\\media.dll", u"C:\\App\\media.old")), "ok");
  EXPECT_EQ(Result(Files().DeleteFileW(u"C:\\App\\media.old")), "error 5");
  EXPECT_EQ(Result(Files().MoveFileW(u"C:\\App", u"C:\\App2")), "error 5");
  EXPECT_EQ(Result(Files().MoveFileW(u"C:\\App\\other.dll", u"C:\\App\\media.dll")), "ok");
}

TEST(Files, CurrentDirectoryFullPathsAndModule) {
  TestMachine m("win10-x64");
  Put(m, u"C:\\Work\\Sub\\f.txt");
  m.Enter(u"C:\\Work\\prog.exe", 32);
  EXPECT_EQ(Files().GetModuleFileNameW(), u"C:\\Work\\prog.exe");
  EXPECT_EQ(Files().GetCurrentDirectoryW(), u"C:\\Work");
  EXPECT_EQ(Result(Files().SetCurrentDirectoryW(u"sub")), "ok");
  EXPECT_EQ(Files().GetCurrentDirectoryW(), u"C:\\Work\\sub");  // as typed, as Windows keeps it
  EXPECT_NE(Files().GetFileAttributesW(u"f.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(Files().GetFullPathNameW(u"..\\x\\*.txt"), u"C:\\Work\\x\\*.txt");
  EXPECT_EQ(Files().GetFullPathNameW(u"\\dir\\"), u"C:\\dir\\");
  EXPECT_EQ(Result(Files().SetCurrentDirectoryW(u"C:\\none")), "error 2");
  EXPECT_EQ(Result(Files().SetCurrentDirectoryW(u"f.txt")), "error 267");
  EXPECT_EQ(Files().GetCurrentDirectoryW(), u"C:\\Work\\sub");
  EXPECT_EQ(Result(Files().RemoveDirectoryW(u"C:\\Work\\Sub")), "error 32");
}

TEST(Files, Wow64SeesProgramFilesX86AndSysWow64) {
  struct Case {
    const char* profile;
    int bits;
    std::u16string programFiles;
    std::u16string x86;  // %ProgramFiles(x86)% as expanded
    const char16_t* system32Lands;
  };
  const Case cases[] = {
      {"win10-x64", 32, u"C:\\Program Files (x86)", u"C:\\Program Files (x86)", u"C:\\Windows\\SysWOW64\\qz.dll"},
      {"win10-x64", 64, u"C:\\Program Files", u"C:\\Program Files (x86)", u"C:\\Windows\\System32\\qz.dll"},
      {"win10", 32, u"C:\\Program Files", u"%ProgramFiles(x86)%", u"C:\\Windows\\System32\\qz.dll"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.profile << " " << c.bits);
    TestMachine m(c.profile);
    m.Enter(u"C:\\x\\prog.exe", c.bits);
    EXPECT_EQ(Files().ExpandEnvironmentStringsW(u"%ProgramFiles%"), c.programFiles);
    EXPECT_EQ(Files().ExpandEnvironmentStringsW(u"%ProgramFiles(x86)%"), c.x86);
    HANDLE h = Open(u"C:\\Windows\\system32\\qz.dll", GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(fs::exists(m.HostPath(c.system32Lands)));
    // The process itself finds the file under the name it used.
    EXPECT_NE(Files().GetFileAttributesW(Files().ExpandEnvironmentStringsW(u"%windir%\\System32\\qz.dll")),
              INVALID_FILE_ATTRIBUTES);
  }
  TestMachine m("win10-x64");
  m.Enter(u"C:\\x\\prog.exe", 32);
  Put(m, u"C:\\Windows\\System32\\native.dll");
  Put(m, u"C:\\Windows\\System32\\drivers\\etc\\hosts");
  EXPECT_NE(Files().GetFileAttributesW(u"C:\\Windows\\Sysnative\\native.dll"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(Files().GetFileAttributesW(u"C:\\Windows\\System32\\native.dll"), INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(Files().GetFileAttributesW(u"C:\\Windows\\System32\\drivers\\etc\\hosts"), INVALID_FILE_ATTRIBUTES);
}

TEST(Files, EnvironmentFollowsVersionAndAccount) {
  struct Case {
    const char* profile;
    bool system;
    std::u16string text, expected;
  };
  const Case cases[] = {
      {"win7", false, u"%AppData%\\Qz", u"C:\\Users\\Administrator\\AppData\\Roaming\\Qz"},
      {"winxp-sp2", false, u"%APPDATA%\\Qz", u"C:\\Documents and Settings\\Administrator\\Application Data\\Qz"},
      {"winxp-sp2", false, u"%LocalAppData%", u"%LocalAppData%"},
      {"win10-x64", false, u"%localappdata%", u"C:\\Users\\Administrator\\AppData\\Local"},
      {"win10-x64", true, u"%AppData%", u"C:\\Windows\\system32\\config\\systemprofile\\AppData\\Roaming"},
      {"winxp-sp3", true, u"%UserProfile%", u"C:\\Windows\\system32\\config\\systemprofile"},
      {"win10-x64", false, u"%systemdrive%\\x;%SystemRoot%;%WINDIR%", u"C:\\x;C:\\Windows;C:\\Windows"},
      {"win10-x64", false, u"%AllUsersProfile%|%ProgramData%", u"C:\\ProgramData|C:\\ProgramData"},
      {"winxp-sp3", false, u"%AllUsersProfile%", u"C:\\Documents and Settings\\All Users"},
      {"win10-x64", false, u"%TEMP%", u"C:\\Users\\Administrator\\AppData\\Local\\Temp"},
      {"winxp-sp3", false, u"%tmp%", u"C:\\Documents and Settings\\Administrator\\Local Settings\\Temp"},
      {"win10-x64", false, u"%ComputerName%/%UserName%/%OS%", u"WINSIM-PC/Administrator/Windows_NT"},
      {"win10-x64", false, u"%ComSpec%", u"C:\\Windows\\system32\\cmd.exe"},
      {"win10-x64", false, u"%CommonProgramFiles%", u"C:\\Program Files\\Common Files"},
      {"win10-x64", false, u"%ProgramW6432%", u"C:\\Program Files"},
      {"win10-x64", false, u"%Nope%x%SystemDrive%", u"%Nope%xC:"},
      {"win10-x64", false, u"100% sure %", u"100% sure %"},
      {"win10-x64", false, u"%%SystemDrive%%", u"%C:%"},
  };
  std::unique_ptr<TestMachine> machine;
  std::string profile;
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.text) + " on " + c.profile);
    if (profile != c.profile) {
      machine.reset();
      machine = std::make_unique<TestMachine>(c.profile);
      machine->Enter(u"C:\\x\\prog.exe", 64);
      profile = c.profile;
    }
    MachineOf(Platform::Current()).self().system = c.system;
    EXPECT_EQ(WideToUtf8(Files().ExpandEnvironmentStringsW(c.text)), WideToUtf8(c.expected));
  }
  machine.reset();
  TestMachine m("win10-x64");
  m.Enter(u"C:\\x\\prog.exe", 32);
  std::u16string v;
  EXPECT_TRUE(Files().GetEnvironmentVariableW(u"PROGRAMFILES", &v));
  EXPECT_EQ(v, u"C:\\Program Files (x86)");
  EXPECT_EQ(Result(Files().GetEnvironmentVariableW(u"Nope", &v)), "error 203");
}

TEST(Files, VolumesAndFreeSpace) {
  TestMachine m("win10-x64");
  Platform& p = m.Enter(u"C:\\x\\prog.exe", 32);
  const auto cfg = MachineOf(p).Config();
  EXPECT_EQ(Files().GetLogicalDrives(), (1u << 2) | (1u << 3));
  EXPECT_EQ(Files().GetLogicalDriveStringsW(), std::u16string(u"C:\\\0D:\\\0\0", 9));
  EXPECT_EQ(Files().GetDriveTypeW(u"C:\\"), DRIVE_FIXED);
  EXPECT_EQ(Files().GetDriveTypeW(u"D:\\"), DRIVE_CDROM);
  EXPECT_EQ(Files().GetDriveTypeW(u"E:\\"), DRIVE_NO_ROOT_DIR);
  std::u16string label;
  DWORD serial = 0;
  ASSERT_TRUE(Files().GetVolumeInformationW(u"C:\\", &label, &serial));
  EXPECT_EQ(serial, cfg.volumes[0].serial);
  EXPECT_EQ(Result(Files().GetVolumeInformationW(u"D:\\", &label, &serial)), "error 21");
  EXPECT_EQ(Result(Files().GetVolumeInformationW(u"E:\\", &label, &serial)), "error 3");

  ULONGLONG avail = 0, total = 0, free = 0;
  ASSERT_TRUE(Files().GetDiskFreeSpaceExW(u"C:\\", &avail, &total, &free));
  EXPECT_EQ(avail, 100ull << 30);
  EXPECT_EQ(total, 250ull << 30);
  MachineOf(p).UpdateConfig([](winsim::MachineConfig& c) { c.freeSpaceMb = 5; });
  ASSERT_TRUE(Files().GetDiskFreeSpaceExW(u"C:\\Windows", &avail, &total, &free));
  EXPECT_EQ(avail, 5ull << 20);
  EXPECT_EQ(free, 5ull << 20);
  EXPECT_EQ(Result(Files().GetDiskFreeSpaceExW(u"D:\\", &avail, &total, &free)), "error 21");
  EXPECT_EQ(Result(Files().GetDiskFreeSpaceExW(u"C:\\none", &avail, &total, &free)), "error 3");
}

}  // namespace
