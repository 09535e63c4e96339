// Windows paths on a simulated machine: parsing and normalising, WOW64 redirection, and the
// mapping to host paths under the machine root (drive C: is <root>/drive_c).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim {

struct WinPath {
  char drive = 'C';  // upper case
  std::vector<std::u16string> parts;  // no ".", "..", or empty parts

  bool IsRoot() const { return parts.empty(); }
  std::u16string ToString() const;  // "C:\a\b", "C:\" for the root
  WinPath Parent() const;
  std::u16string Name() const;  // last part, empty for the root
};

// Absolute form of a Windows path relative to cwd (an absolute Windows path). Accepts "\" and
// "/", "C:\x", "\x" (root of cwd's drive), "x\y", "\\?\C:\x". Trailing dots and blanks of each
// part are dropped, as Windows does. ".." never climbs above the drive root. nullopt for names
// Windows refuses (characters <>:"|?* or control characters) and for UNC or device paths.
std::optional<WinPath> ParseWinPath(std::u16string_view path, std::u16string_view cwd);

// File-system redirection of a 32-bit program on a 64-bit machine: %windir%\System32 →
// SysWOW64 (but not its exempt subfolders), Sysnative → System32.
WinPath RedirectForWow64(const WinPath& path);

// Host path: each existing part is matched case-insensitively; missing parts are kept as written
// (UTF-8). Never leaves the machine root.
std::string ToHostPath(const std::string& root, const WinPath& path);

// The Windows path of a host path under root's drives, nullopt outside them.
std::optional<WinPath> FromHostPath(const std::string& root, const std::string& hostPath);

}  // namespace winsim
