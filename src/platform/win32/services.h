// The win32 backend's services: each one the real API of the machine the program runs on.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace win32 {

std::unique_ptr<win::IRegistry> MakeRegistry();
std::unique_ptr<win::IFileSystem> MakeFiles();
std::unique_ptr<win::IOsInfo> MakeOsInfo();
std::unique_ptr<win::IProcesses> MakeProcesses();
std::unique_ptr<win::ITime> MakeTime();
std::unique_ptr<win::IUserInterface> MakeUi();
std::unique_ptr<win::ICom> MakeCom();
std::unique_ptr<win::IHttp> MakeHttp();
std::unique_ptr<win::IServiceManager> MakeServiceManager();
std::unique_ptr<win::IRpc> MakeRpc();
std::unique_ptr<win::ILibraries> MakeLibraries();
std::unique_ptr<win::ITaskScheduler> MakeTasks();
std::unique_ptr<win::IDesktop> MakeDesktop();
std::unique_ptr<win::ISecurity> MakeSecurity();
std::unique_ptr<win::IResources> MakeResources();

// The platform of this process: every service above.
class Win32Platform : public win::Platform {
 public:
  Win32Platform();
};

}  // namespace win32
