// The service control manager through advapi32. The service program's side keeps the project's
// service function and control handler in this file and gives the manager functions of its own,
// declared WINAPI, that call them.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/scm.h"
#include "platform/win32/services.h"
#include "platform/win32/win_api.h"

#include <winsvc.h>

namespace win32 {

namespace {

::SC_HANDLE Sc(win::SC_HANDLE h) { return reinterpret_cast<::SC_HANDLE>(h); }
win::SC_HANDLE Sc(::SC_HANDLE h) { return reinterpret_cast<win::SC_HANDLE>(h); }

std::wstring Z(std::u16string_view s) { return std::wstring(s.begin(), s.end()); }
const wchar_t* OrNull(const std::wstring& s) { return s.empty() ? nullptr : s.c_str(); }

void ToProject(const ::SERVICE_STATUS& s, win::SERVICE_STATUS* out) {
  out->dwServiceType = s.dwServiceType;
  out->dwCurrentState = s.dwCurrentState;
  out->dwControlsAccepted = s.dwControlsAccepted;
  out->dwWin32ExitCode = s.dwWin32ExitCode;
  out->dwServiceSpecificExitCode = s.dwServiceSpecificExitCode;
  out->dwCheckPoint = s.dwCheckPoint;
  out->dwWaitHint = s.dwWaitHint;
}

// The one service this program runs (own-process services have one entry) and its handler.
std::mutex gMutex;
win::SERVICE_TABLE_ENTRYW gEntry;
std::vector<std::unique_ptr<win::LPHANDLER_FUNCTION>> gHandlers;  // kept for the process's life

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  std::vector<std::u16string> args;
  for (DWORD i = 0; i < argc; ++i) args.push_back(U(argv[i]));
  std::function<void(const std::vector<std::u16string>&)> proc;
  {
    std::lock_guard lock(gMutex);
    proc = gEntry.lpServiceProc;
  }
  if (proc) proc(args);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID context) {
  const auto* handler = static_cast<const win::LPHANDLER_FUNCTION*>(context);
  if (handler && *handler) (*handler)(control);
  return NO_ERROR;
}

class Win32ServiceManager : public win::IServiceManager {
 public:
  win::SC_HANDLE OpenSCManagerW(std::u16string_view machine, std::u16string_view database,
                                win::DWORD access) override {
    const std::wstring m = Z(machine), d = Z(database);
    return Sc(::OpenSCManagerW(OrNull(m), OrNull(d), access));
  }

  win::SC_HANDLE CreateServiceW(win::SC_HANDLE scm, std::u16string_view serviceName, std::u16string_view displayName,
                                win::DWORD access, win::DWORD serviceType, win::DWORD startType,
                                win::DWORD errorControl, std::u16string_view binaryPathName) override {
    const std::wstring n = Z(serviceName), d = Z(displayName), p = Z(binaryPathName);
    return Sc(::CreateServiceW(Sc(scm), n.c_str(), OrNull(d), access, serviceType, startType, errorControl,
                               p.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  }

  win::SC_HANDLE OpenServiceW(win::SC_HANDLE scm, std::u16string_view serviceName, win::DWORD access) override {
    const std::wstring n = Z(serviceName);
    return Sc(::OpenServiceW(Sc(scm), n.c_str(), access));
  }

  win::BOOL StartServiceW(win::SC_HANDLE service, const std::vector<std::u16string>& args) override {
    std::vector<const wchar_t*> argv;
    for (const auto& a : args) argv.push_back(W(a));
    return ::StartServiceW(Sc(service), static_cast<DWORD>(argv.size()), argv.empty() ? nullptr : argv.data());
  }

  win::BOOL ControlService(win::SC_HANDLE service, win::DWORD control, win::SERVICE_STATUS* status) override {
    ::SERVICE_STATUS s{};
    const BOOL ok = ::ControlService(Sc(service), control, &s);
    // Some refusals still report the service's state, as Windows fills the status for them.
    const DWORD error = ok ? NO_ERROR : ::GetLastError();
    if (status && (ok || error == ERROR_INVALID_SERVICE_CONTROL || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ||
                   error == ERROR_SERVICE_NOT_ACTIVE)) {
      ToProject(s, status);
    }
    if (!ok) ::SetLastError(error);
    return ok;
  }

  win::BOOL QueryServiceStatus(win::SC_HANDLE service, win::SERVICE_STATUS* status) override {
    ::SERVICE_STATUS s{};
    const BOOL ok = ::QueryServiceStatus(Sc(service), &s);
    if (ok && status) ToProject(s, status);
    return ok;
  }

  win::BOOL QueryServiceConfigW(win::SC_HANDLE service, win::QUERY_SERVICE_CONFIGW* config) override {
    DWORD needed = 0;
    std::vector<BYTE> buffer(sizeof(::QUERY_SERVICE_CONFIGW) + 1024);
    for (int attempt = 0; attempt < 3; ++attempt) {
      auto* c = reinterpret_cast<::QUERY_SERVICE_CONFIGW*>(buffer.data());
      if (::QueryServiceConfigW(Sc(service), c, static_cast<DWORD>(buffer.size()), &needed)) {
        if (config) {
          config->dwServiceType = c->dwServiceType;
          config->dwStartType = c->dwStartType;
          config->dwErrorControl = c->dwErrorControl;
          config->lpBinaryPathName = U(c->lpBinaryPathName);
          config->lpServiceStartName = U(c->lpServiceStartName);
          config->lpDisplayName = U(c->lpDisplayName);
        }
        return TRUE;
      }
      if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return FALSE;
      buffer.resize(needed);
    }
    return FALSE;
  }

  win::BOOL DeleteService(win::SC_HANDLE service) override { return ::DeleteService(Sc(service)); }

  win::BOOL CloseServiceHandle(win::SC_HANDLE handle) override { return ::CloseServiceHandle(Sc(handle)); }

  win::BOOL StartServiceCtrlDispatcherW(const win::SERVICE_TABLE_ENTRYW& entry) override {
    std::wstring name = Z(entry.lpServiceName);
    {
      std::lock_guard lock(gMutex);
      gEntry = entry;
    }
    ::SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(table);
  }

  win::SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(std::u16string_view serviceName,
                                                         win::LPHANDLER_FUNCTION handler) override {
    const std::wstring n = Z(serviceName);
    win::LPHANDLER_FUNCTION* context;
    {
      std::lock_guard lock(gMutex);
      gHandlers.push_back(std::make_unique<win::LPHANDLER_FUNCTION>(std::move(handler)));
      context = gHandlers.back().get();
    }
    return reinterpret_cast<win::SERVICE_STATUS_HANDLE>(::RegisterServiceCtrlHandlerExW(n.c_str(), Handler, context));
  }

  win::BOOL SetServiceStatus(win::SERVICE_STATUS_HANDLE handle, const win::SERVICE_STATUS& status) override {
    ::SERVICE_STATUS s{};
    s.dwServiceType = status.dwServiceType;
    s.dwCurrentState = status.dwCurrentState;
    s.dwControlsAccepted = status.dwControlsAccepted;
    s.dwWin32ExitCode = status.dwWin32ExitCode;
    s.dwServiceSpecificExitCode = status.dwServiceSpecificExitCode;
    s.dwCheckPoint = status.dwCheckPoint;
    s.dwWaitHint = status.dwWaitHint;
    return ::SetServiceStatus(reinterpret_cast<::SERVICE_STATUS_HANDLE>(handle), &s);
  }
};

}  // namespace

std::unique_ptr<win::IServiceManager> MakeServiceManager() { return std::make_unique<Win32ServiceManager>(); }

}  // namespace win32
