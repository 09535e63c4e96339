// cmd.exe, sc.exe and certmgr.exe of a simulated machine, run as its programs.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <filesystem>
#include <fstream>

#include "platform/platform.h"
#include "platform/text.h"
#include "support/test_machine.h"

namespace {

using namespace win;

std::string RunOn(const qztest::TestMachine& m, const std::string& cmd) {
  return qztest::RunWinsim({"run", m.root(), "--", cmd});
}

TEST(SystemPrograms, ScThroughCmdGivesTheWindowsTextsAndCodes) {
  qztest::TestMachine m("win7");
  std::filesystem::create_directories(m.HostPath(u"C:\\drv"));
  std::ofstream(m.HostPath(u"C:\\drv\\f.sys")) << "driver";
  struct Step {
    std::string command;
    std::string output;  // a part of the output
    std::string code;    // the exit code line
  };
  const Step steps[] = {
      {"cmd.exe /c sc.exe query qzF", "[SC] EnumQueryServicesStatus:OpenService FAILED 1060:", "1060"},
      {"cmd.exe /c sc.exe create qzF type= kernel start= demand binPath= C:\\drv\\f.sys", "[SC] CreateService SUCCESS",
       "0"},
      {"sc.exe create qzF type= kernel binPath= C:\\drv\\f.sys", "The specified service already exists.", "1073"},
      {"cmd.exe /c sc.exe stop qzF", "[SC] ControlService FAILED 1062:", "1062"},
      {"cmd.exe /c sc.exe start qzF", "STATE              : 4  RUNNING", "0"},
      {"sc.exe start qzF", "[SC] StartService FAILED 1056:", "1056"},
      {"cmd.exe /c sc.exe stop qzF", "STATE              : 1  STOPPED", "0"},
      {"cmd.exe /c sc.exe delete qzF", "[SC] DeleteService SUCCESS", "0"},
      {"sc.exe query qzF", "FAILED 1060", "1060"},
      {"cmd.exe /c nothing.exe", "is not recognized", "9009"},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.command);
    std::string out = RunOn(m, s.command);
    EXPECT_NE(out.find(s.output), std::string::npos) << out;
    EXPECT_NE(out.find("\n" + s.code + "\n"), std::string::npos) << out;
  }
}

TEST(SystemPrograms, SysWow64CopiesRunAs32BitPrograms) {
  qztest::TestMachine m("win10-x64");
  for (auto* name : {"cmd.exe", "sc.exe", "certmgr.exe"}) {
    EXPECT_TRUE(std::filesystem::exists(m.root() + "/drive_c/Windows/System32/" + name));
    EXPECT_TRUE(std::filesystem::exists(m.root() + "/drive_c/Windows/SysWOW64/" + name));
  }
  m.Enter(u"C:\\setup.exe", 32);
  EXPECT_EQ(m.Run(u"cmd.exe /c sc.exe query nothing"), 1060);
}

TEST(SystemPrograms, CertmgrAddsToTheLocalMachineRootStore) {
  qztest::TestMachine m("win10-x64");
  // Any DER sequence will do: certmgr stores the bytes under their SHA-1 thumbprint.
  const std::vector<uint8_t> der = {0x30, 0x03, 0x02, 0x01, 0x05};
  std::ofstream(m.HostPath(u"C:\\ca.pem")) << "-----BEGIN CERTIFICATE-----\nMAMCAQU=\n-----END CERTIFICATE-----\n";
  std::string out = RunOn(m, "certmgr.exe -add C:\\ca.pem -c -s -r LocalMachine Root");
  EXPECT_NE(out.find("CertMgr Succeeded"), std::string::npos) << out;
  EXPECT_NE(RunOn(m, "certmgr.exe -add C:\\none.pem -c -s -r LocalMachine Root").find("CertMgr Failed"), std::string::npos);

  uint8_t sha1[SHA_DIGEST_LENGTH];
  SHA1(der.data(), der.size(), sha1);
  std::u16string thumb;
  for (uint8_t b : sha1) thumb += Fmt(u"%02X", b);
  m.Enter(u"C:\\check.exe", 64);
  HKEY k = nullptr;
  ASSERT_EQ(Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                     u"SOFTWARE\\Microsoft\\SystemCertificates\\Root\\Certificates\\" + thumb, 0,
                                     KEY_READ, &k),
            0);
  std::vector<uint8_t> blob(64);
  DWORD size = static_cast<DWORD>(blob.size());
  ASSERT_EQ(Registry().RegQueryValueExW(k, u"Blob", nullptr, blob.data(), &size), 0);
  blob.resize(size);
  EXPECT_EQ(blob, der);
  Registry().RegCloseKey(k);
}

}  // namespace
