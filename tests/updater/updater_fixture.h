// A fresh machine on which the test acts as the 32-bit updater, with a run state whose encrypted
// log is read back as text.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "logging/enc_logger.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "protocol/os_identity.h"
#include "support/host_files.h"
#include "support/test_machine.h"
#include "updater/run.h"

namespace uptest {

// Every encrypted log file of a host folder, decoded and joined.
inline std::string ReadLogs(const std::string& hostFolder) {
  std::string text;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(hostFolder, ec)) {
    const std::string bytes = qztest::ReadHostFile(e.path());
    qz::EncLogReader r;
    r.Feed(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    r.Finish();
    text += r.TakeText();
  }
  return text;
}

inline int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

class UpdaterMachine {
 public:
  explicit UpdaterMachine(const std::string& profile = "win10-x64") : machine(profile) {
    machine.Enter(u"C:\\qzt\\qzUpdater.exe", 32);
    run = std::make_unique<qz::UpdaterRun>();
    u = run.get();
    qz::IdentifyOs(&u->os);
    installFolder = win::Files().ExpandEnvironmentStringsW(u"%ProgramFiles%\\varnholt\\KSM");
    std::filesystem::create_directories(machine.HostPath(installFolder));
    u->config.settings.installFolder = installFolder;
    u->FixFolders(installFolder);
    EXPECT_EQ(u->logger->Open(kLogFolder, u"qzUpdater"), 0);
    u->logger->SetLogLevel(qz::kLogDebug);
  }
  ~UpdaterMachine() {
    u->logger->Close();
    run.reset();  // while its machine is there
  }

  std::string Log() { return ReadLogs(machine.HostPath(kLogFolder)); }
  std::string Host(std::u16string_view winPath) { return machine.HostPath(winPath); }
  bool Exists(std::u16string_view winPath) { return std::filesystem::exists(Host(winPath)); }
  void Put(std::u16string_view winPath, const std::string& content = "x") {
    qztest::WriteHostFile(Host(winPath), content);
  }

  static constexpr char16_t kLogFolder[] = u"C:\\qzt\\logs";
  qztest::TestMachine machine;
  std::unique_ptr<qz::UpdaterRun> run;
  qz::UpdaterRun* u = nullptr;
  std::u16string installFolder;
};

}  // namespace uptest
