#include "platform/winsim/system_programs.h"

#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/winsim/bundle.h"

namespace fs = std::filesystem;

namespace winsim {

void InstallSystemPrograms(const std::string& root, bool is64BitMachine) {
  std::vector<fs::path> from;
  if (const char* dir = std::getenv("WINSIM_SYSTEM_PROGRAMS"); dir && *dir) from.emplace_back(dir);
  char exe[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) from.push_back(fs::path(std::string(exe, static_cast<size_t>(n))).parent_path());
  for (const char* name : {"cmd.exe", "sc.exe", "certmgr.exe"}) {
    for (const auto& dir : from) {
      std::error_code ec;
      fs::path src = dir / name;
      if (!fs::is_regular_file(src, ec)) continue;
      fs::path native = fs::path(root) / "drive_c/Windows/System32" / name;
      fs::copy_file(src, native, fs::copy_options::overwrite_existing, ec);
      if (is64BitMachine) {
        fs::path wow = fs::path(root) / "drive_c/Windows/SysWOW64" / name;
        if (fs::copy_file(src, wow, fs::copy_options::overwrite_existing, ec)) {
          Bundle b;
          if (auto old = ReadBundle(wow.string())) b = *old;
          b.bits = 32;
          WriteBundle(wow.string(), b);
        }
      }
      break;
    }
  }
}

}  // namespace winsim
