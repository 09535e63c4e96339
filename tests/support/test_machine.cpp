#include "support/test_machine.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/text.h"
#include "platform/winsim/paths.h"
#include "platform/winsim/process_internal.h"
#include "platform/winsim/services.h"

namespace qztest {

namespace {
std::string NewRoot() {
  static std::atomic<int> counter{0};
  const char* tmp = std::getenv("TMPDIR");
  std::string base = std::string(tmp && *tmp ? tmp : "/tmp") + "/qzt-" + std::to_string(getpid()) + "-" +
                     std::to_string(counter++);
  std::filesystem::remove_all(base);
  return base;
}
}  // namespace

TestMachine::TestMachine(const std::string& profile, const std::string& lang) : root_(NewRoot()) {
  std::string err = winsim::CreateMachine(root_, profile, lang);
  if (!err.empty()) throw std::runtime_error("cannot create test machine: " + err);
}

TestMachine::~TestMachine() {
  Leave();
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

std::string TestMachine::HostPath(std::u16string_view winPath) const {
  auto p = winsim::ParseWinPath(winPath, u"C:\\");
  return p ? winsim::ToHostPath(root_, *p) : std::string();
}

win::Platform& TestMachine::Enter(const std::u16string& imagePath, int bits) {
  Leave();
  winsim::ProcessIdentity id;
  id.imagePath = imagePath;
  id.bits = bits;
  id.commandLine = win::QuoteArg(imagePath);
  auto image = winsim::ParseWinPath(imagePath, u"C:\\");
  id.currentDirectory = image ? image->Parent().ToString() : u"C:\\";
  auto platform = winsim::OpenPlatform(root_, id);
  winsim::RegisterCurrentProcess(platform->machine(), "/proc/self/exe");
  previous_ = win::Platform::HasCurrent() ? &win::Platform::Current() : nullptr;
  platform_ = std::move(platform);
  win::Platform::SetCurrent(platform_.get());
  return *platform_;
}

void TestMachine::Leave() {
  if (!platform_) return;
  if (auto* wp = dynamic_cast<winsim::WinsimPlatform*>(platform_.get())) winsim::UnregisterCurrentProcess(wp->machine());
  win::Platform::SetCurrent(previous_);
  previous_ = nullptr;
  platform_.reset();
}

std::string BuiltProgram(const std::string& name) { return std::string(QZ_BIN_DIR) + "/" + name; }

}  // namespace qztest
