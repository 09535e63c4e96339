// The system programs every simulated machine carries (cmd.exe, sc.exe, certmgr.exe).
#pragma once

#include <string>

namespace winsim {

// Copies the built system programs into a new machine's system folder (and, on a 64-bit machine,
// 32-bit copies into SysWOW64). They are taken from the folder named by WINSIM_SYSTEM_PROGRAMS, or
// else from the folder of the running program (the build tree's bin folder holds the winsim
// command, the tests and the system programs together). A program not found is left out.
void InstallSystemPrograms(const std::string& root, bool is64BitMachine);

}  // namespace winsim
