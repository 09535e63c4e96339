// The winsim command as people and scripts use it: a reboot ends the machine's processes and
// carries out what was scheduled for it; faults set from the command line reach programs.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/winsim/bundle.h"
#include "platform/text.h"
#include "support/test_machine.h"

namespace {

using namespace win;
using qztest::RunWinsim;
using qztest::TestMachine;

// A 2×1 24-bit bottom-up .bmp: file header, info header, one padded row.
std::vector<uint8_t> TinyBmp() {
  std::vector<uint8_t> f = {'B', 'M', 62, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  // file header
                            40, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0,
                            8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                            0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0, 0};
  return f;
}

void WriteHost(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

TEST(WinsimCommand, StampedResourcesKeepBitmapsAsDibsAndFilesWhole) {
  TestMachine m("win10-x64");
  std::filesystem::create_directories(m.HostPath(u"C:\\p"));
  const std::string prog = m.HostPath(u"C:\\p\\prog.exe");
  std::ofstream(prog) << "image";
  const std::string art = m.root() + "/art";
  std::filesystem::create_directories(art + "/en");
  const std::vector<uint8_t> bmp = TinyBmp();
  const std::vector<uint8_t> dib(bmp.begin() + 14, bmp.end());
  WriteHost(art + "/en/b175.bmp", bmp);
  WriteHost(art + "/anim.gif", {'G', 'I', 'F', '8', '9', 'a'});
  std::ofstream(art + "/list.txt") << "; type id lang path\n"
                                      "\n"
                                      "#2 #175 1033 en/b175.bmp\r\n"
                                      "   ; indented comment\n"
                                      "GIF #185 0 anim.gif\n";

  int status = -1;
  RunWinsim({"stamp", prog, "--bits", "32", "--resource", "#2", "#171", "0", art + "/en/b175.bmp", "--resources",
             art + "/list.txt"},
            &status);
  ASSERT_EQ(status, 0);
  // Restamping replaces an entry instead of adding a second one.
  RunWinsim({"stamp", prog, "--resource", "#2", "#171", "0", art + "/en/b175.bmp"}, &status);
  ASSERT_EQ(status, 0);

  m.Enter(u"C:\\p\\prog.exe", 32);
  EXPECT_EQ(Resources().LoadResourceBytes(u"#2", u"#171", 0), dib);
  EXPECT_EQ(Resources().LoadResourceBytes(u"#2", u"#175", 1033), dib);
  EXPECT_EQ(Resources().LoadResourceBytes(u"#2", u"#175", 1042), std::nullopt);
  EXPECT_EQ(Resources().LoadResourceBytes(u"GIF", u"#185", 0), (std::vector<BYTE>{'G', 'I', 'F', '8', '9', 'a'}));
  m.Leave();
  auto bundle = winsim::ReadBundle(prog);
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->bits, 32);
  EXPECT_EQ(bundle->entries.size(), 3u);
}

TEST(WinsimCommand, StampRefusesWhatWouldLoadAsGarbage) {
  TestMachine m("win10-x64");
  const std::string dir = m.root() + "/art";
  std::filesystem::create_directories(dir);
  const std::string prog = dir + "/prog.exe";
  std::ofstream(prog) << "image";
  int status = -1;
  RunWinsim({"stamp", prog, "--bits", "32"}, &status);
  ASSERT_EQ(status, 0);

  std::vector<uint8_t> shortHeader = TinyBmp();
  shortHeader[14] = 7;  // no DIB header has this size
  std::vector<uint8_t> pixelsPastEnd = TinyBmp();
  pixelsPastEnd[10] = 200;
  WriteHost(dir + "/png.bmp", {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0, 0, 2,
                               0, 0, 0, 1, 8, 2, 0, 0});
  WriteHost(dir + "/short.bmp", shortHeader);
  WriteHost(dir + "/past.bmp", pixelsPastEnd);
  WriteHost(dir + "/ok.bmp", TinyBmp());
  std::ofstream(dir + "/bad-line.txt") << "#2 #171 ok.bmp\n";
  std::ofstream(dir + "/bad-entry.txt") << "#2 #171 0 ok.bmp\n#2 #172 0 png.bmp\n";

  const std::vector<std::vector<std::string>> refused = {
      {"--resource", "#2", "#171", "0", dir + "/png.bmp"},
      {"--resource", "#2", "#171", "0", dir + "/short.bmp"},
      {"--resource", "#2", "#171", "0", dir + "/past.bmp"},
      {"--resource", "#2", "#171", "0", dir + "/missing.bmp"},
      {"--resource", "#2", "#171", "en", dir + "/ok.bmp"},
      {"--resource", "#2", "#171", "70000", dir + "/ok.bmp"},
      {"--resources", dir + "/bad-line.txt"},
      {"--resources", dir + "/bad-entry.txt"},
      {"--resources", dir + "/missing.txt"},
  };
  for (const auto& opts : refused) {
    std::vector<std::string> args = {"stamp", prog};
    args.insert(args.end(), opts.begin(), opts.end());
    status = -1;
    RunWinsim(args, &status);
    EXPECT_EQ(status, 1) << opts.back();
    // Nothing of a refused stamp reaches the program, not even the list's good lines.
    auto bundle = winsim::ReadBundle(prog);
    ASSERT_TRUE(bundle);
    EXPECT_TRUE(bundle->entries.empty()) << opts.back();
  }
  // The non-bitmap path stores any bytes as they are.
  RunWinsim({"stamp", prog, "--resource", "BIN", "#1", "0", dir + "/png.bmp"}, &status);
  EXPECT_EQ(status, 0);
}

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
