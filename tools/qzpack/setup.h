// Site installers: the compiled installer program with its build mode, its payload archive and
// its archive tool added as resources.
#pragma once

#include <string>
#include <vector>

namespace qzpack {

struct SetupOptions {
  std::string program;  // the compiled installer
  std::string tool;     // the archive tool the installer carries
  std::string mode;     // build mode, may be empty
  std::string out;
  // A release folder: its certificates and the files of its signed module packages (not the
  // agent's stored configuration, which the installer writes itself from its settings document).
  std::string release;
  std::vector<std::string> dirs;  // every regular file at the top of each folder
  std::vector<std::string> files;  // FILE or FILE=NAME; later names replace earlier ones
  int level = 5;                   // 7-Zip's compression level; 1 builds test installers quickly
  // An install build (any mode but -uninstall) must carry what the installer needs, or it would
  // fail only on the PC. Off for tests of the installer's own refusals.
  bool checkInstall = true;
};

// Empty on success, else why it failed (nothing is left at out then).
std::string BuildSetup(const SetupOptions& o);

}  // namespace qzpack
