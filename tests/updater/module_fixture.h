// A run's state for the module work on a fresh machine: the updater's context bound to a live
// qzserver on loopback, certificates and packages made by qzpack, a log that keeps its lines and a
// clock that counts pauses (I/O waits stay real).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <algorithm>
#include <string>
#include <vector>

#include "config/registry_layout.h"
#include "config/sealed_value.h"
#include "crypto/digest.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "protocol/server_queries.h"
#include "support/fake_time.h"
#include "support/host_files.h"
#include "support/peers.h"
#include "support/test_machine.h"
#include "updater/initialize.h"
#include "updater/run.h"

namespace modtest {

using qztest::HostDir;
using qztest::ReadHostFile;
using qztest::WriteHostFile;

inline constexpr char kSerial[] = "VH-2024-0001";
inline constexpr char kGuid[] = "00112233445566778899AABBCCDDEEFF";


inline std::string Cks(const std::string& content) { return qz::HexEncode(qz::DigestMemory(content)); }

// Keeps "Tag::Function level message" (UTF-8) of every header line instead of writing a file.
class CapturingLog : public qz::EncLogger {
 public:
  int VLog(std::u16string_view tag, std::u16string_view func, int level, std::u16string_view fmt,
           win::FmtArgs args) override {
    lines.push_back(win::WideToUtf8(win::Fmt(u"%s::%s %d ", tag, func, level) + win::FormatW(fmt, args)));
    return 0;
  }
  bool Has(const std::string& text) const {
    for (const auto& l : lines)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }
  std::string Dump() const {
    std::string s;
    for (const auto& l : lines) s += l + "\n";
    return s;
  }
  std::vector<std::string> lines;
};

// The updater's context on a fresh machine with the registry tree and the install folder.
class ModuleMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    install_ = win::Files().ExpandEnvironmentStringsW(u"%ProgramFiles%\\varnholt\\KSM");
    std::filesystem::create_directories(machine_.HostPath(install_));
    qz::CommonRegKey common;
    ASSERT_EQ(qz::CreateKeyTree(&common), 0);

    qz::SiteSettings& s = u_.config.settings;
    s.installFolder = install_;
    s.installFolderAnsi = win::WideToAnsi(install_);
    s.serial = kSerial;
    s.agentGuid = kGuid;
    u_.config.store.SetSiteSerial(kSerial);
    u_.os.osCode = 0x00200000;  // Windows 10 64-bit
    // The current directory stays elsewhere: the module work names every file by its full path.
    u_.FixFolders(install_);
  }

  std::u16string ModuleFolder() const { return install_ + u"\\module"; }
  std::string Host(const std::u16string& winPath) const { return machine_.HostPath(winPath); }
  std::string HostInstalled(const std::string& name) const { return Host(install_) + "/" + name; }
  std::string HostModule(const std::string& name) const { return Host(ModuleFolder()) + "/" + name; }

  void PutFile(const std::u16string& winPath, const std::string& bytes) { WriteHostFile(Host(winPath), bytes); }
  void PutInstalled(const std::string& name, const std::string& bytes) { WriteHostFile(HostInstalled(name), bytes); }
  void PutModule(const std::string& name, const std::string& bytes) { WriteHostFile(HostModule(name), bytes); }
  void Lock(const std::u16string& winPath) { qztest::RunWinsim({"lock", machine_.root(), win::WideToUtf8(winPath)}); }
  // Content of a file, or "(none)".
  static std::string Content(const std::string& hostPath) {
    return std::filesystem::exists(hostPath) ? ReadHostFile(hostPath) : "(none)";
  }
  // Names in a host folder, sorted.
  static std::vector<std::string> Names(const std::string& hostFolder) {
    std::vector<std::string> names;
    if (!std::filesystem::exists(hostFolder)) return names;
    for (const auto& e : std::filesystem::directory_iterator(hostFolder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // The strings of PendingFileRenameOperations (source, target, ...), as UTF-8.
  static std::vector<std::string> Pending() {
    std::vector<std::string> out;
    const std::string text = qztest::PendingRenames();
    size_t pos = 0;
    while (pos < text.size() && out.size() < 1000) {
      const size_t end = text.find('|', pos);
      out.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
      if (end == std::string::npos) break;
      pos = end + 1;
    }
    return out;
  }

  // True when a deletion of the file (a path ending in name) waits for the restart.
  static bool DeletionPending(const std::string& name) {
    const auto p = Pending();
    for (size_t i = 0; i + 1 < p.size(); i += 2)
      if (p[i].size() >= name.size() && p[i].compare(p[i].size() - name.size(), name.size(), name) == 0 &&
          p[i + 1].empty())
        return true;
    return false;
  }

  // Sealed Agent value under the site key, or nullopt.
  std::optional<qz::Digest> AgentDigest(const char* value) {
    qz::RegKey agent;
    if (win::Registry().RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, qz::kAgentKey, 0, win::KEY_READ, agent.put()) != 0)
      return std::nullopt;
    qz::qzAES site;
    site.SetPassword(kSerial);
    qz::Digest d{};
    if (qz::ReadSealedDigest(site, agent.get(), value, &d) != 0) return std::nullopt;
    return d;
  }

  qztest::TestMachine machine_{"win10-x64"};
  // Entered before the members below, which use the machine's platform.
  struct Entered {
    explicit Entered(qztest::TestMachine& m) { m.Enter(u"C:\\qzt\\qzUpdater.exe", 32); }
  } entered_{machine_};
  std::u16string install_;
  // The run keeps its log lines here; it owns the logger.
  CapturingLog* log_ = new CapturingLog;
  qz::UpdaterRun u_{qz::UpdaterCommand(), std::unique_ptr<qz::EncLogger>(log_)};
};

// The same bound to a live qzserver, with the certificates loaded and a clock that counts pauses.
class ModuleWork : public ModuleMachine {
 protected:
  // One CA with its file-signing certificate, and a second, foreign pair, for the whole suite.
  static void SetUpTestSuite() {
    pki_ = new HostDir;
    const std::string q = qztest::BuiltProgram("qzpack");
    const HostDir& d = *pki_;
    ASSERT_EQ(qztest::RunHost({q, "ca", "--cert", d / "ca.pem", "--key", d / "ca.key"}), 0);
    ASSERT_EQ(qztest::RunHost({q, "cert", "--ca", d / "ca.pem", "--ca-key", d / "ca.key", "--cert", d / "fs.crt", "--key",
                       d / "fs.key"}),
              0);
    ASSERT_EQ(qztest::RunHost({q, "ca", "--cert", d / "ca2.pem", "--key", d / "ca2.key", "--cn", "Other CA"}), 0);
    ASSERT_EQ(qztest::RunHost({q, "cert", "--ca", d / "ca2.pem", "--ca-key", d / "ca2.key", "--cert", d / "fs2.crt",
                       "--key", d / "fs2.key"}),
              0);
  }
  static void TearDownTestSuite() {
    delete pki_;
    pki_ = nullptr;
  }

  void SetUp() override {
    ModuleMachine::SetUp();
    qztest::MakeCertificate(dir_);
    server_ = std::make_unique<qztest::QzServer>(dir_);
    ASSERT_GT(server_->httpsPort, 0);
    auto clock = std::make_unique<qztest::PauseCountingTime>();
    clock->SetNow(static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::system_clock::now().time_since_epoch())
                                            .count()));
    time_ = clock.get();
    win::Platform::Current().SetTime(std::move(clock));

    qz::SiteSettings& s = u_.config.settings;
    PutFile(install_ + u"\\qorv-ca.pem", ReadHostFile(*pki_ / "ca.pem"));
    PutFile(install_ + u"\\qorv-fs.crt", ReadHostFile(*pki_ / "fs.crt"));
    ASSERT_EQ(u_.certs.ca.Load(s.installFolderAnsi + "\\qorv-ca.pem", nullptr), 0);
    ASSERT_EQ(u_.certs.fileSigning.Load(s.installFolderAnsi + "\\qorv-fs.crt", &u_.certs.ca), 0);

    s.server = "127.0.0.1";
    s.httpPort = server_->httpPort;
    s.httpsPort = server_->httpsPort;
    ASSERT_TRUE(qz::SetUpServerSession(u_));
    ASSERT_TRUE(qz::BindPublicIp(u_.agent));
    MarkJournal();
  }

  // Later questions about the server's journal see only what comes after this.
  void MarkJournal() { seen_ = server_->Journal().size(); }
  std::vector<qztest::JournalEntry> Journal() const {
    auto all = server_->Journal();
    all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(seen_, all.size())));
    return all;
  }

  // The module folder exists, as the download step makes it.
  void UseModuleFolder() { std::filesystem::create_directories(Host(ModuleFolder())); }

  // name.qz holding the given files (entry name = file name), signed with the suite's key (or
  // the foreign one), published under /agent/.
  void Publish(const std::string& name, const std::vector<std::pair<std::string, std::string>>& files,
               bool foreign = false) {
    HostDir work;
    std::vector<std::string> args = {qztest::BuiltProgram("qzpack"), "sign", "--key",
                                     *pki_ / (foreign ? "fs2.key" : "fs.key"), "--out", work / "out.qz"};
    for (const auto& [entry, bytes] : files) {
      WriteHostFile(work / entry, bytes);
      args.push_back(work / entry + "=" + entry);
    }
    ASSERT_EQ(qztest::RunHost(args), 0);
    server_->Publish("agent/" + name + ".qz", ReadHostFile(work / "out.qz"));
  }
  void Publish(const std::string& name, const std::string& content) { Publish(name, {{name, content}}); }

  // The signed definition document as qzAgent.xmd in the install folder.
  void Definition(const std::string& xml) {
    HostDir work;
    WriteHostFile(work / "doc.xml", xml);
    ASSERT_EQ(qztest::RunHost({qztest::BuiltProgram("qzpack"), "sign", "--key", *pki_ / "fs.key", "--definition",
                       work / "doc.xml", "--out", work / "qzAgent.xmd"}),
              0);
    WriteHostFile(HostInstalled("qzAgent.xmd"), ReadHostFile(work / "qzAgent.xmd"));
  }

  // Server paths of the downloads (GET) the server saw.
  std::vector<std::string> Downloads() const {
    std::vector<std::string> out;
    for (const auto& e : Journal())
      if (e.method == "GET") out.push_back(e.path);
    return out;
  }
  int SizeQueries() const {
    int n = 0;
    for (const auto& e : Journal()) n += e.body.find("&_c=file_size") != std::string::npos;
    return n;
  }
  int RetryPauses() const {
    int n = 0;
    for (win::DWORD p : time_->Pauses()) n += p == 500;
    return n;
  }

  static HostDir* pki_;
  HostDir dir_;
  std::unique_ptr<qztest::QzServer> server_;
  qztest::PauseCountingTime* time_ = nullptr;
  size_t seen_ = 0;
};
inline HostDir* ModuleWork::pki_ = nullptr;

}  // namespace modtest
