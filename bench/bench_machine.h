// A throw-away simulated machine for benchmarks, and small measuring helpers.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/winsim/services.h"

namespace qzbench {

class Machine {
 public:
  // Makes a fresh machine under dir and acts as a 32-bit program on it.
  explicit Machine(const std::string& dir, const std::string& profile = "win10-x64");
  ~Machine();
  std::string HostPath(std::u16string_view winPath) const;

 private:
  std::string root_;
  std::unique_ptr<winsim::WinsimPlatform> platform_;
};

inline double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Peak resident set of this process in MiB.
double PeakRssMib();

}  // namespace qzbench
