// The service control manager, shaped like advapi32's service functions: the controller's side
// (open, create, start, control, query, delete) and the service program's side (dispatcher,
// control handler, status reports). Calls set the thread's last error on failure.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace win {

struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__*;
struct SERVICE_STATUS_HANDLE__;
using SERVICE_STATUS_HANDLE = SERVICE_STATUS_HANDLE__*;

constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;

constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
constexpr DWORD SERVICE_CHANGE_CONFIG = 0x0002;
constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
constexpr DWORD SERVICE_START = 0x0010;
constexpr DWORD SERVICE_STOP = 0x0020;
constexpr DWORD SERVICE_INTERROGATE = 0x0080;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;

constexpr DWORD SERVICE_KERNEL_DRIVER = 0x1;
constexpr DWORD SERVICE_FILE_SYSTEM_DRIVER = 0x2;
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_WIN32_SHARE_PROCESS = 0x20;

constexpr DWORD SERVICE_BOOT_START = 0;
constexpr DWORD SERVICE_SYSTEM_START = 1;
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_DEMAND_START = 3;
constexpr DWORD SERVICE_DISABLED = 4;

constexpr DWORD SERVICE_ERROR_IGNORE = 0;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;
constexpr DWORD SERVICE_ERROR_SEVERE = 2;
constexpr DWORD SERVICE_ERROR_CRITICAL = 3;

constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;

constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
constexpr DWORD SERVICE_PAUSE_PENDING = 6;
constexpr DWORD SERVICE_PAUSED = 7;

constexpr DWORD SERVICE_ACCEPT_STOP = 0x1;
constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;
constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 0x4;

constexpr DWORD ERROR_DEPENDENT_SERVICES_RUNNING = 1051;
constexpr DWORD ERROR_INVALID_SERVICE_CONTROL = 1052;
constexpr DWORD ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
constexpr DWORD ERROR_SERVICE_DISABLED = 1058;
constexpr DWORD ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
constexpr DWORD ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr DWORD ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
constexpr DWORD ERROR_DATABASE_DOES_NOT_EXIST = 1065;
constexpr DWORD ERROR_SERVICE_MARKED_FOR_DELETE = 1072;

constexpr char16_t SERVICES_ACTIVE_DATABASEW[] = u"ServicesActive";

struct SERVICE_STATUS {
  DWORD dwServiceType = 0;
  DWORD dwCurrentState = 0;
  DWORD dwControlsAccepted = 0;
  DWORD dwWin32ExitCode = 0;
  DWORD dwServiceSpecificExitCode = 0;
  DWORD dwCheckPoint = 0;
  DWORD dwWaitHint = 0;
};

// What QueryServiceConfigW reports.
struct QUERY_SERVICE_CONFIGW {
  DWORD dwServiceType = 0;
  DWORD dwStartType = 0;
  DWORD dwErrorControl = 0;
  std::u16string lpBinaryPathName;
  std::u16string lpServiceStartName;
  std::u16string lpDisplayName;
};

// One entry of the dispatcher table of an own-process service program.
struct SERVICE_TABLE_ENTRYW {
  std::u16string lpServiceName;
  std::function<void(const std::vector<std::u16string>& args)> lpServiceProc;
};

using LPHANDLER_FUNCTION = std::function<void(DWORD control)>;

class IServiceManager {
 public:
  virtual ~IServiceManager() = default;

  // machine empty (local); database empty or SERVICES_ACTIVE_DATABASEW.
  virtual SC_HANDLE OpenSCManagerW(std::u16string_view machine, std::u16string_view database, DWORD access) = 0;
  // Load-order group, tag, dependencies, account and password are those of a caller that passes none.
  virtual SC_HANDLE CreateServiceW(SC_HANDLE scm, std::u16string_view serviceName, std::u16string_view displayName,
                                   DWORD access, DWORD serviceType, DWORD startType, DWORD errorControl,
                                   std::u16string_view binaryPathName) = 0;
  virtual SC_HANDLE OpenServiceW(SC_HANDLE scm, std::u16string_view serviceName, DWORD access) = 0;
  virtual BOOL StartServiceW(SC_HANDLE service, const std::vector<std::u16string>& args) = 0;
  virtual BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) = 0;
  virtual BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) = 0;
  virtual BOOL QueryServiceConfigW(SC_HANDLE service, QUERY_SERVICE_CONFIGW* config) = 0;
  // Marks the service for deletion; it goes when it has stopped and its last handle is closed.
  virtual BOOL DeleteService(SC_HANDLE service) = 0;
  virtual BOOL CloseServiceHandle(SC_HANDLE handle) = 0;

  // The service program's side. The dispatcher returns when the service has reported
  // SERVICE_STOPPED and its service function has returned; it fails with
  // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the program was not started by the manager.
  virtual BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW& entry) = 0;
  virtual SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(std::u16string_view serviceName,
                                                            LPHANDLER_FUNCTION handler) = 0;
  virtual BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status) = 0;

  // Service names are ASCII: the narrow form converts and opens.
  SC_HANDLE OpenServiceA(SC_HANDLE scm, std::string_view serviceName, DWORD access) {
    return OpenServiceW(scm, std::u16string(serviceName.begin(), serviceName.end()), access);
  }
};

}  // namespace win
