// Helpers of the certificate and container tests: shell commands (the openssl command line,
// python, qzpack) run in a host folder.
#pragma once

#include <string>

#include "support/capture_logger.h"
#include "support/host_files.h"
#include "support/test_machine.h"

namespace qztest {

// Runs a shell command in dir; returns its exit status and fills *output with stdout and stderr.
inline int Shell(const std::string& dir, const std::string& command, std::string* output = nullptr) {
  int status = -1;
  std::string out = HostOutput("cd " + ShellQuote(dir) + " && (" + command + ") 2>&1", &status);
  if (output) *output = out;
  return status;
}

inline std::string Qzpack() { return ShellQuote(BuiltProgram("qzpack")); }

}  // namespace qztest
