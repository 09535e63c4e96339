// An agent of build 330 installed from a setup folder, with its service, and a qzserver that
// publishes build 331 (changed modules, a new one, a removed one and a new server.cfg) under the
// same CA and file-signing certificate. The installed machine is made once and copied for each
// case, so every case starts from the same fresh machine.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "config/configure.h"
#include "config/registry_layout.h"
#include "crypto/digest.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "protocol/protocol_fixture.h"
#include "integration/agent_machine.h"
#include "support/host_files.h"
#include "support/peers.h"
#include "support/test_machine.h"
#include "updater/file_placement.h"

namespace qztest {

inline constexpr char16_t kReleaseSetup[] = u"C:\\bc8f992f5df34654945e6e32a5aa400c";
inline constexpr char16_t kReleaseInstall[] = u"C:\\Program Files (x86)\\varnholt\\KSM";
inline constexpr char16_t kReleaseUpdater[] = u"C:\\Program Files (x86)\\varnholt\\KSM\\qzUpdater.exe";


// Bytes that do not compress, so a package takes several reads and writes.
inline std::string Noise(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (auto& c : s) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  return s;
}

inline std::string HexDigest(const std::string& data) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : qz::DigestMemory(std::string_view(data))) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 15]);
  }
  return out;
}

// The same server; the menu setting tells the two builds' configurations apart.
inline std::string ServerConfig(const QzServer& server, const std::string& menu) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<tarlinLMV><serial>VH-2024-0001</serial>"
         "<server>127.0.0.1</server><port>" +
         std::to_string(server.httpPort) + "</port><ssl>" + std::to_string(server.httpsPort) + "</ssl><menu>" + menu +
         "</menu></tarlinLMV>";
}

inline std::u16string UpdaterCommand(std::u16string_view args) {
  std::u16string c = u"\"" + std::u16string(kReleaseUpdater) + u"\"";
  if (!args.empty()) c += u" " + std::u16string(args);
  return c;
}

// Starts the service and waits (bounded) until its program reports it running.
inline bool StartService() {
  using namespace win;
  SC_HANDLE scm = Services().OpenSCManagerW(u"", u"", SC_MANAGER_ALL_ACCESS);
  if (!scm) return false;
  SC_HANDLE svc = Services().OpenServiceW(scm, kServiceName, SERVICE_START | SERVICE_QUERY_STATUS);
  const bool started = svc && Services().StartServiceW(svc, {});
  if (svc) Services().CloseServiceHandle(svc);
  Services().CloseServiceHandle(scm);
  for (int i = 0; started && i < 500 && !ServiceRuns(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return ServiceRuns();
}

// Ends the service's program, as a machine that is switched off would.
inline void KillServiceProgram(const TestMachine& m) {
  std::vector<win::PROCESSENTRY32W> e;
  win::Processes().SnapshotProcesses(win::TH32CS_SNAPPROCESS, &e);
  for (const auto& p : e) {
    if (win::EqualsNoCase(p.szExeFile, u"qzTarlinSvc.exe")) {
      RunWinsim({"kill", m.root(), std::to_string(p.th32ProcessID)});
    }
  }
}

class AgentRelease {
 public:
  // Published modules of build 331: name -> checksum; removed modules.
  std::map<std::string, std::string> modules;
  std::vector<std::string> removed;
  std::string configChecksum;
  // The agent's files of build 330 as the setup folder holds them: name -> bytes.
  std::map<std::string, std::string> build330;

  HostDir dir;
  std::unique_ptr<QzServer> server;

  // Certificates, the server, build 331 published; false with a failure recorded.
  void Make() {
    server = StartPublisher(dir);
    if (!server || testing::Test::HasFatalFailure()) return;
    const std::string qzpack = BuiltProgram("qzpack");

    const std::string service = ReadHostFile(BuiltProgram("qzTarlinSvc"));
    build330 = {{"qzTarlinSvc.exe", service},
                {"qzAgentUtil.dll", "qzAgentUtil 330"},
                {"qzCrypto.dll", "qzCrypto 330"},
                {"qzPatchMan.dll", Noise(70000, 330)},
                {"qzLogger.dll", "qzLogger 330 and 331"},
                {"qzNSI.dll", "qzNSI 330, removed in 331"}};
    const std::map<std::string, std::string> build331 = {{"qzTarlinSvc.exe", service},
                                                         {"qzAgentUtil.dll", Noise(150000, 331)},
                                                         {"qzCrypto.dll", "qzCrypto 331"},
                                                         {"qzPatchMan.dll", Noise(90000, 3310)},
                                                         {"qzLogger.dll", "qzLogger 330 and 331"},
                                                         {"qzIPC.dll", "qzIPC, new in 331"}};
    for (const auto& [name, data] : build331) WriteHostFile(dir / ("agent331/" + name), data);
    WriteHostFile(dir / "agent331.cfg/server.cfg", ServerConfig(*server, "331"));
    WriteHostFile(dir / "agent331.cfg/manifest.txt", "remove qzNSI.dll\nconfig server.cfg\n");
    ASSERT_EQ(qztest::RunHost({qzpack, "release", "--agent", dir / "agent331", "--build", "331", "--manifest",
                        dir / "agent331.cfg/manifest.txt", "--ca", dir / "pki/ca.pem", "--fs-cert", dir / "pki/fs.crt",
                        "--fs-key", dir / "pki/fs.key", "--out", dir / "release"}),
              0);

    // What the definition file lists.
    const std::string xml = ReadHostFile(dir / "release/qzAgent.xml");
    std::smatch m;
    const std::regex module("<module cks=\"([0-9A-F]{64})\">([^<]+)</module>");
    for (auto it = std::sregex_iterator(xml.begin(), xml.end(), module); it != std::sregex_iterator(); ++it) {
      modules[(*it)[2]] = (*it)[1];
    }
    const std::regex removal("<module remove=\"true\">([^<]+)</module>");
    for (auto it = std::sregex_iterator(xml.begin(), xml.end(), removal); it != std::sregex_iterator(); ++it) {
      removed.push_back((*it)[1]);
    }
    ASSERT_TRUE(std::regex_search(xml, m, std::regex("<config cks=\"([0-9A-F]{64})\">server.cfg</config>"))) << xml;
    configChecksum = m[1];
    ASSERT_EQ(modules.size(), build331.size()) << xml;
    ASSERT_EQ(removed, std::vector<std::string>{"qzNSI.dll"}) << xml;
  }

  // A machine with build 330 installed by the install mode from a setup folder, its service
  // registered, the client ID set; the service's program is ended so the machine can be copied.
  void InstallBuild330(TestMachine& m) {
    const std::string setup = m.HostPath(kReleaseSetup);
    m.Install("qzUpdater", std::u16string(kReleaseSetup) + u"\\qzUpdater.exe");
    for (const auto& [name, data] : build330) WriteHostFile(setup + "/" + name, data);
    for (const char* cert : {"qorv-ca.pem", "qorv-fs.crt"}) {
      WriteHostFile(setup + "/" + cert, ReadHostFile(dir / (std::string("release/certs/") + cert)));
    }
    WriteHostFile(setup + "/local-fs.crt", ReadHostFile(dir / "release/local-fs.crt"));
    WriteHostFile(setup + "/qzAgent.xmd", ReadHostFile(dir / "release/agent/qzAgent.xmd"));
    WriteHostFile(setup + "/server.cfg", ServerConfig(*server, "330"));
    m.Enter(u"C:\\test\\probe.exe", 32);
    ASSERT_EQ(m.Run(u"\"" + std::u16string(kReleaseSetup) + u"\\qzUpdater.exe\" --install", kReleaseSetup), 0);
    ASSERT_TRUE(ServiceRuns());
    for (const auto& [name, data] : build330) {
      ASSERT_EQ(ReadHostFile(m.HostPath(std::u16string(kReleaseInstall) + u"\\" + win::Utf8ToWide(name))), data)
          << name;
    }
    // The client ID the server knows this agent by; the agent keeps it, the updater only reads it.
    {
      qz::ConfigContext site;
      ASSERT_EQ(qz::ReadSiteSettings(site), 0);
      qz::CommonRegKey common;
      ASSERT_EQ(qz::OpenOrCreateKey(qz::kCommonKey, common.put()), 0);
      ASSERT_EQ(site.store.WriteClientId(common, 7), 0);
    }
    KillServiceProgram(m);
    m.Leave();
  }

  // Installed files of the published modules that differ from their checksums, and removed
  // modules still present; empty when the installation is build 331.
  std::vector<std::string> Differences(const TestMachine& m) const {
    std::vector<std::string> out;
    for (const auto& [name, cks] : modules) {
      const std::string host = m.HostPath(std::u16string(kReleaseInstall) + u"\\" + win::Utf8ToWide(name));
      if (!std::filesystem::exists(host) || HexDigest(ReadHostFile(host)) != cks) out.push_back(name);
    }
    for (const auto& name : removed) {
      if (std::filesystem::exists(m.HostPath(std::u16string(kReleaseInstall) + u"\\" + win::Utf8ToWide(name))))
        out.push_back("removed " + name);
    }
    return out;
  }

  // Installed files that are not build 330's.
  std::vector<std::string> ChangedFrom330(const TestMachine& m) const {
    std::vector<std::string> out;
    for (const auto& [name, data] : build330) {
      const std::string host = m.HostPath(std::u16string(kReleaseInstall) + u"\\" + win::Utf8ToWide(name));
      if (!std::filesystem::exists(host) || ReadHostFile(host) != data) out.push_back(name);
    }
    return out;
  }

  // The messages the updater reported to the server, in order.
  std::vector<std::string> Reports() const {
    std::vector<std::string> out;
    for (const auto& e : server->Journal()) {
      if (e.path == "/CAgentRequest" && ParseBody(e.body)["_c"] == "log") out.push_back(ParseBody(e.body)["msg"]);
    }
    return out;
  }
};

// A suite that shares one published release and a machine with build 330 installed from it; the
// suite's machines run at timeScale.
class InstalledReleaseTest : public testing::Test {
 protected:
  // prepare: more work on the release before build 330 is installed.
  static void StartRelease(const char* timeScale, const std::function<void(AgentRelease&)>& prepare = {}) {
    setenv("WINSIM_TIME_SCALE", timeScale, 1);
    release_ = new AgentRelease;
    release_->Make();
    if (testing::Test::HasFatalFailure()) return;
    if (prepare) prepare(*release_);
    if (testing::Test::HasFatalFailure()) return;
    installed_ = new TestMachine("win10-x64");
    release_->InstallBuild330(*installed_);
  }
  static void StopRelease() {
    delete installed_;
    delete release_;
    installed_ = nullptr;
    release_ = nullptr;
    unsetenv("WINSIM_TIME_SCALE");
  }
  void SetUp() override { ASSERT_TRUE(release_ && installed_ && release_->server) << "no published release"; }

  static inline AgentRelease* release_ = nullptr;
  static inline TestMachine* installed_ = nullptr;
};

// A copy of a machine folder into a fresh test machine; program files are linked, since nothing
// writes into a program file in place.
inline void CopyMachine(const std::string& from, const TestMachine& to) {
  namespace fs = std::filesystem;
  fs::remove_all(to.root());
  fs::create_directories(to.root());
  for (auto it = fs::recursive_directory_iterator(from); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path target = fs::path(to.root()) / fs::relative(it->path(), from);
    if (it->is_directory()) {
      fs::create_directories(target);
    } else if (it->path().extension() == ".exe") {
      fs::create_hard_link(it->path(), target);
    } else {
      fs::copy_file(it->path(), target);
    }
  }
}

}  // namespace qztest
