// The winsim backend's services, each over one process's view of its machine.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/winsim/machine.h"

namespace winsim {

std::unique_ptr<win::IRegistry> MakeRegistry(std::shared_ptr<Machine> machine);
std::unique_ptr<win::IFileSystem> MakeFiles(std::shared_ptr<Machine> machine);
std::unique_ptr<win::IOsInfo> MakeOsInfo(std::shared_ptr<Machine> machine);
std::unique_ptr<win::IProcesses> MakeProcesses(std::shared_ptr<Machine> machine);
std::unique_ptr<win::ITime> MakeTime(std::shared_ptr<Machine> machine);
std::unique_ptr<win::IUserInterface> MakeUi(std::shared_ptr<Machine> machine);
std::unique_ptr<win::ICom> MakeCom(std::shared_ptr<Machine> machine);
std::unique_ptr<win::IHttp> MakeHttp(std::shared_ptr<Machine> machine);
std::unique_ptr<win::IServiceManager> MakeServiceManager(std::shared_ptr<Machine> machine);
std::unique_ptr<win::IRpc> MakeRpc(std::shared_ptr<Machine> machine);
std::unique_ptr<win::ILibraries> MakeLibraries(std::shared_ptr<Machine> machine);
std::unique_ptr<win::ITaskScheduler> MakeTasks(std::shared_ptr<Machine> machine);
std::unique_ptr<win::IDesktop> MakeDesktop(std::shared_ptr<Machine> machine);
std::unique_ptr<win::ISecurity> MakeSecurity(std::shared_ptr<Machine> machine);
std::unique_ptr<win::IResources> MakeResources(std::shared_ptr<Machine> machine);

// A platform for one process of the machine at root.
class WinsimPlatform : public win::Platform {
 public:
  explicit WinsimPlatform(std::shared_ptr<Machine> machine);
  Machine& machine() { return *machine_; }
  std::shared_ptr<Machine> sharedMachine() { return machine_; }

 private:
  std::shared_ptr<Machine> machine_;
};

std::unique_ptr<WinsimPlatform> OpenPlatform(const std::string& root, ProcessIdentity self);

// Time scale of pauses (WINSIM_TIME_SCALE, default 1).
double TimeScale();

// Files and modules: whether a host file is the program file of a live process of the machine or
// a library loaded by one (such files cannot be deleted or opened for writing).
bool IsFileInUseAsImage(Machine& machine, uint64_t dev, uint64_t ino);

}  // namespace winsim
