// The process-wide platform: one object that hands out the OS services. Code above the platform
// reaches them through the accessors below; tests swap any service for a fake.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/desktop.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/library.h"
#include "platform/os.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/resources.h"
#include "platform/rpc.h"
#include "platform/scm.h"
#include "platform/security.h"
#include "platform/taskschd.h"
#include "platform/time.h"
#include "platform/types.h"
#include "platform/ui.h"

namespace win {

// Windows and GDI (platform/window.h); kept out of this header so their many Win32 names reach
// only the code that draws.
class IWindows;

// Anything a HANDLE can stand for. Waitable objects override Wait.
class KernelObject {
 public:
  virtual ~KernelObject() = default;
  virtual bool IsWaitable() const { return false; }
  // Waits up to ms (INFINITE: no limit) for the object to be signalled; true when it is.
  virtual bool Wait(DWORD ms) { return false; }
};

// A Windows event (manual- or auto-reset), shared by every ITime implementation.
class EventObject : public KernelObject {
 public:
  EventObject(bool manualReset, bool initialState) : manualReset_(manualReset), signalled_(initialState) {}
  bool IsWaitable() const override { return true; }
  bool Wait(DWORD ms) override;
  void Set();
  void Reset();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool manualReset_;
  bool signalled_;
};

class HandleTable {
 public:
  HANDLE Add(std::shared_ptr<KernelObject> object);
  std::shared_ptr<KernelObject> Get(HANDLE handle) const;
  template <class T>
  std::shared_ptr<T> GetAs(HANDLE handle) const {
    return std::dynamic_pointer_cast<T>(Get(handle));
  }
  bool Close(HANDLE handle);
  size_t Count() const;

 private:
  mutable std::mutex mutex_;
  uintptr_t next_ = 0x100;
  std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects_;
};

class Platform {
 public:
  Platform();
  virtual ~Platform();

  IRegistry& Registry() { return *registry_; }
  IFileSystem& Files() { return *files_; }
  IOsInfo& Os() { return *os_; }
  IProcesses& Processes() { return *processes_; }
  ITime& Time() { return *time_; }
  IUserInterface& Ui() { return *ui_; }
  ICom& Com() { return *com_; }
  IHttp& Http() { return *http_; }
  IServiceManager& Services() { return *services_; }
  IRpc& Rpc() { return *rpc_; }
  ILibraries& Libraries() { return *libraries_; }
  ITaskScheduler& Tasks() { return *tasks_; }
  IDesktop& Desktop() { return *desktop_; }
  ISecurity& Security() { return *security_; }
  IResources& Resources() { return *resources_; }
  IWindows& Windows() { return *windows_; }
  HandleTable& Handles() { return handles_; }

  // Each setter returns the service it replaced, so a test can put it back.
  std::unique_ptr<IRegistry> SetRegistry(std::unique_ptr<IRegistry> s) { return Swap(registry_, std::move(s)); }
  std::unique_ptr<IFileSystem> SetFiles(std::unique_ptr<IFileSystem> s) { return Swap(files_, std::move(s)); }
  std::unique_ptr<IOsInfo> SetOs(std::unique_ptr<IOsInfo> s) { return Swap(os_, std::move(s)); }
  std::unique_ptr<IProcesses> SetProcesses(std::unique_ptr<IProcesses> s) { return Swap(processes_, std::move(s)); }
  std::unique_ptr<ITime> SetTime(std::unique_ptr<ITime> s) { return Swap(time_, std::move(s)); }
  std::unique_ptr<IUserInterface> SetUi(std::unique_ptr<IUserInterface> s) { return Swap(ui_, std::move(s)); }
  std::unique_ptr<ICom> SetCom(std::unique_ptr<ICom> s) { return Swap(com_, std::move(s)); }
  std::unique_ptr<IHttp> SetHttp(std::unique_ptr<IHttp> s) { return Swap(http_, std::move(s)); }
  std::unique_ptr<IServiceManager> SetServices(std::unique_ptr<IServiceManager> s) { return Swap(services_, std::move(s)); }
  std::unique_ptr<IRpc> SetRpc(std::unique_ptr<IRpc> s) { return Swap(rpc_, std::move(s)); }
  std::unique_ptr<ILibraries> SetLibraries(std::unique_ptr<ILibraries> s) { return Swap(libraries_, std::move(s)); }
  std::unique_ptr<ITaskScheduler> SetTasks(std::unique_ptr<ITaskScheduler> s) { return Swap(tasks_, std::move(s)); }
  std::unique_ptr<IDesktop> SetDesktop(std::unique_ptr<IDesktop> s) { return Swap(desktop_, std::move(s)); }
  std::unique_ptr<ISecurity> SetSecurity(std::unique_ptr<ISecurity> s) { return Swap(security_, std::move(s)); }
  std::unique_ptr<IResources> SetResources(std::unique_ptr<IResources> s) { return Swap(resources_, std::move(s)); }
  std::unique_ptr<IWindows> SetWindows(std::unique_ptr<IWindows> s);

  // The platform every accessor below uses. Set once at program start (and by tests).
  static Platform& Current();
  static bool HasCurrent();
  static void SetCurrent(Platform* platform);

 private:
  template <class T>
  static std::unique_ptr<T> Swap(std::unique_ptr<T>& slot, std::unique_ptr<T> s) {
    std::unique_ptr<T> old = std::move(slot);
    slot = std::move(s);
    return old;
  }

  std::unique_ptr<IRegistry> registry_;
  std::unique_ptr<IFileSystem> files_;
  std::unique_ptr<IOsInfo> os_;
  std::unique_ptr<IProcesses> processes_;
  std::unique_ptr<ITime> time_;
  std::unique_ptr<IUserInterface> ui_;
  std::unique_ptr<ICom> com_;
  std::unique_ptr<IHttp> http_;
  std::unique_ptr<IServiceManager> services_;
  std::unique_ptr<IRpc> rpc_;
  std::unique_ptr<ILibraries> libraries_;
  std::unique_ptr<ITaskScheduler> tasks_;
  std::unique_ptr<IDesktop> desktop_;
  std::unique_ptr<ISecurity> security_;
  std::unique_ptr<IResources> resources_;
  std::unique_ptr<IWindows> windows_;
  HandleTable handles_;
};

inline IRegistry& Registry() { return Platform::Current().Registry(); }
inline IFileSystem& Files() { return Platform::Current().Files(); }
inline IOsInfo& Os() { return Platform::Current().Os(); }
inline IProcesses& Processes() { return Platform::Current().Processes(); }
inline ITime& Time() { return Platform::Current().Time(); }
inline IUserInterface& Ui() { return Platform::Current().Ui(); }
inline ICom& Com() { return Platform::Current().Com(); }
inline IHttp& Http() { return Platform::Current().Http(); }
inline IServiceManager& Services() { return Platform::Current().Services(); }
inline IRpc& Rpc() { return Platform::Current().Rpc(); }
inline ILibraries& Libraries() { return Platform::Current().Libraries(); }
inline ITaskScheduler& Tasks() { return Platform::Current().Tasks(); }
inline IDesktop& Desktop() { return Platform::Current().Desktop(); }
inline ISecurity& Security() { return Platform::Current().Security(); }
inline IResources& Resources() { return Platform::Current().Resources(); }
// IWindows& Windows() is declared in platform/window.h and forwards to Platform::Current().Windows().
inline HandleTable& Handles() { return Platform::Current().Handles(); }

// CloseHandle for every kind of handle.
BOOL CloseHandle(HANDLE handle);

// ANSI code page conversions of the current machine.
std::u16string AnsiToWide(std::string_view ansi);
std::string WideToAnsi(std::u16string_view wide);

}  // namespace win
