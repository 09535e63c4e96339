#include "platform/winsim/kill_point.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/text.h"
#include "platform/winsim/process_internal.h"

namespace winsim {

namespace {

struct KillPoint {
  std::string op;
  unsigned long count = 0;
  std::u16string pattern = u"*";
  unsigned long seen = 0;
  std::string trace;
};

// Read once: the point belongs to the process as it was started.
KillPoint& Point() {
  static KillPoint p = [] {
    KillPoint k;
    if (const char* t = std::getenv("WINSIM_KILL_TRACE")) k.trace = t;
    const char* setting = std::getenv("WINSIM_KILL_AT");
    if (!setting) return k;
    const std::string s(setting);
    const size_t colon = s.find(':');
    if (colon == std::string::npos) return k;
    const size_t second = s.find(':', colon + 1);
    const std::string number = s.substr(colon + 1, second == std::string::npos ? std::string::npos : second - colon - 1);
    char* end = nullptr;
    const unsigned long n = std::strtoul(number.c_str(), &end, 10);
    if (number.empty() || *end != 0 || n == 0) return k;
    k.op = s.substr(0, colon);
    k.count = n;
    // The pattern is a Windows path, so its own colon (C:\...) stays part of it.
    if (second != std::string::npos) k.pattern = win::Utf8ToWide(s.substr(second + 1));
    return k;
  }();
  return p;
}

std::mutex& Mutex() {
  static std::mutex mu;
  return mu;
}

}  // namespace

void AtKillPoint(Machine& m, std::string_view op, std::u16string_view path) {
  KillPoint& k = Point();
  if (k.op.empty() && k.trace.empty()) return;
  std::lock_guard lock(Mutex());
  if (!k.trace.empty()) {
    const std::u16string& image = m.self().imagePath;
    const std::u16string name = image.substr(image.find_last_of(u"\\/") + 1);
    const std::string line = win::WideToUtf8(name) + "\t" + std::string(op) + "\t" + win::WideToUtf8(path) + "\n";
    int fd = ::open(k.trace.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ssize_t ignored = ::write(fd, line.data(), line.size());
      (void)ignored;
      ::close(fd);
    }
  }
  if (k.op != op || !win::WildcardMatch(k.pattern, path)) return;
  if (++k.seen != k.count) return;
  if (!KillProcess(m, getpid(), kKillPointExitCode)) ::kill(getpid(), SIGKILL);
  for (;;) ::pause();
}

}  // namespace winsim
