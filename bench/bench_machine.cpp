#include "bench_machine.h"

#include <sys/resource.h>

#include <filesystem>
#include <stdexcept>

#include "platform/winsim/paths.h"

namespace qzbench {

Machine::Machine(const std::string& dir, const std::string& profile) : root_(dir + "/machine") {
  std::filesystem::remove_all(root_);
  std::string err = winsim::CreateMachine(root_, profile, "en");
  if (!err.empty()) throw std::runtime_error(err);
  winsim::ProcessIdentity id;
  id.imagePath = u"C:\\bench\\bench.exe";
  id.bits = 32;
  id.currentDirectory = u"C:\\bench";
  platform_ = winsim::OpenPlatform(root_, id);
  win::Platform::SetCurrent(platform_.get());
}

Machine::~Machine() {
  win::Platform::SetCurrent(nullptr);
  platform_.reset();
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

std::string Machine::HostPath(std::u16string_view winPath) const {
  auto p = winsim::ParseWinPath(winPath, u"C:\\");
  return p ? winsim::ToHostPath(root_, *p) : std::string();
}

double PeakRssMib() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

}  // namespace qzbench
