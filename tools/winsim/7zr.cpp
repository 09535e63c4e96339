// 7zr.exe of a simulated machine: the 7-Zip reduced console program that installers carry. It
// hands its command to the host's 7-Zip console program (7zz) with every Windows path turned
// into the machine's host path, and passes 7zz's output and exit code through.
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/entry.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/winsim/paths.h"

extern char** environ;

using namespace win;

namespace {

// 7-Zip's own splitting on Windows: a quotation mark toggles quoting and is dropped, a backslash
// is never an escape ("C:\logs\" is one argument ending in a backslash).
std::vector<std::u16string> SplitLikeSevenZip(std::u16string_view text) {
  std::vector<std::u16string> out;
  std::u16string piece;
  bool quoted = false;
  for (char16_t c : text) {
    if ((c == u' ' || c == u'\t') && !quoted) {
      if (!piece.empty()) out.push_back(std::move(piece));
      piece.clear();
    } else if (c == u'"') {
      quoted = !quoted;
    } else {
      piece += c;
    }
  }
  if (!piece.empty()) out.push_back(std::move(piece));
  return out;
}

std::string HostPathOf(const std::string& root, const std::u16string& arg) {
  bool trailing = !arg.empty() && (arg.back() == u'\\' || arg.back() == u'/');
  auto parsed = winsim::ParseWinPath(Files().GetFullPathNameW(arg), u"C:\\");
  if (!parsed) {
    // Wildcards and other names Windows would not open stay as written, with host separators.
    std::string s = WideToUtf8(arg);
    for (char& c : s) {
      if (c == '\\') c = '/';
    }
    return s;
  }
  BOOL wow64 = FALSE;
  Os().IsWow64Process(&wow64);
  std::string host = winsim::ToHostPath(root, wow64 ? winsim::RedirectForWow64(*parsed) : *parsed);
  if (trailing) host += '/';
  return host;
}

}  // namespace

int wWinMain(HINSTANCE, HINSTANCE, char16_t* cmdLine, int) {
  const char* root = std::getenv("WINSIM_ROOT");
  if (!root) return 2;
  std::vector<std::string> args{"7zz"};
  bool commandSeen = false;
  for (const std::u16string& a : SplitLikeSevenZip(cmdLine)) {
    if (a.size() > 2 && a[0] == u'-' && (a[1] == u'o' || a[1] == u'w')) {
      args.push_back(WideToUtf8(a.substr(0, 2)) + HostPathOf(root, a.substr(2)));
    } else if (a.empty() || a[0] == u'-' || a[0] == u'@' || !commandSeen) {
      commandSeen = commandSeen || (!a.empty() && a[0] != u'-');
      args.push_back(WideToUtf8(a));
    } else {
      args.push_back(HostPathOf(root, a));
    }
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::fflush(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, "7zz", nullptr, nullptr, argv.data(), environ) != 0) {
    // Without the real tool nothing was checked: never let that read as a good archive.
    std::printf("ERROR: cannot start 7zz\n");
    return 2;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}
