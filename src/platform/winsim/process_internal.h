// Process bookkeeping of the winsim backend, shared with the winsim command and the entry point.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/types.h"
#include "platform/winsim/machine.h"

namespace winsim {

struct ProcessRecord {
  int pid = 0;
  uint64_t start = 0;
  std::u16string imagePath;  // Windows path
  std::string hostImage;
  uint32_t session = 1;
  int parent = 0;
  int bits = 32;
  bool system = false;
};

void RegisterProcessRecord(Machine& m, const ProcessRecord& r);
// Records this process as a process of the machine (entry point, tests acting as a program).
void RegisterCurrentProcess(Machine& m, const std::string& hostImage);
void UnregisterCurrentProcess(Machine& m);

struct LiveProcess {
  int pid;
  uint64_t start;
  std::u16string image;
  int parent;
  uint32_t session;
};
std::vector<LiveProcess> ListLiveProcesses(Machine& m);

// Ends a process of the machine with the given exit code, as TerminateProcess would.
bool KillProcess(Machine& m, int pid, win::DWORD code);
// Ends every live process of the machine with the given exit code, as a restart does, and waits
// (bounded) until they are gone; never this process nor its parent. False when some outlived the wait.
bool EndMachineProcesses(Machine& m, win::DWORD code);
// Waits without limit for a process and returns its 32-bit exit code.
win::DWORD WaitAndGetExitCode(std::shared_ptr<Machine> m, int pid, uint64_t start, bool child);

}  // namespace winsim

namespace winsim {

// Starts a program from a command line the way the service manager starts a service program:
// in session 0, as LocalSystem, in the system folder. False with the last error set.
bool SpawnServiceProcess(std::shared_ptr<Machine> m, std::u16string_view commandLine, int* pid, uint64_t* start);

}  // namespace winsim
