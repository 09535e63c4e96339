// Where a backend-neutral case of the process, time and OS services runs: on winsim a fresh
// machine entered as a 32-bit program (wsprobe placed at C:\t\wsprobe.exe); on Windows the real
// machine and the platform the test program set up. The cases then call the platform alone.
// Header only: the Windows test programs build it without the winsim test support.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

#ifdef _WIN32
#include <chrono>
#include <cstdlib>
#include <cwchar>
#include <thread>
#else
#include "support/test_machine.h"
#endif

namespace qztest {

#ifdef _WIN32
// A test program started with this argument only waits to be ended: the program a process case
// starts, opens and ends on Windows. Checked before main, so no test of the child runs.
inline constexpr wchar_t kWaitUntilEnded[] = L"--qz-wait-until-ended";
inline const bool kStartedToWait = [] {
  for (int i = 1; i < __argc; ++i) {
    if (__wargv && std::wcscmp(__wargv[i], kWaitUntilEnded) == 0) {
      // No platform yet: the test program sets it up in main, which this child never reaches.
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
  }
  return false;
}();
#endif

class ConformanceHost {
 public:
  // profile: the winsim machine's; Windows is what it is.
  explicit ConformanceHost(const std::string& profile = "win10-x64") {
#ifdef _WIN32
    (void)profile;
#else
    machine_ = std::make_unique<TestMachine>(profile);
    machine_->Install("wsprobe", u"C:\\t\\wsprobe.exe");
    machine_->Enter(u"C:\\t\\test.exe", 32);
#endif
  }

  // A command line of a program that runs until it is ended, and the file name of its image.
  std::u16string LongRunner() const {
#ifdef _WIN32
    return u"\"" + SelfPath() + u"\" " + reinterpret_cast<const char16_t*>(kWaitUntilEnded);
#else
    return u"C:\\t\\wsprobe.exe sleep 600000";
#endif
  }
  std::u16string LongRunnerImage() const {
#ifdef _WIN32
    const std::u16string self = SelfPath();
    return self.substr(self.find_last_of(u'\\') + 1);
#else
    return u"wsprobe.exe";
#endif
  }

  bool Simulated() const {
#ifdef _WIN32
    return false;
#else
    return true;
#endif
  }

 private:
#ifdef _WIN32
  static std::u16string SelfPath() { return win::Files().GetModuleFileNameW(); }
#else
  std::unique_ptr<TestMachine> machine_;
#endif
};

}  // namespace qztest
