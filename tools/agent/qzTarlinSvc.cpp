// qzTarlinSvc.exe stand-in: the agent's service program. With a verb it registers (-install),
// starts (-start), stops (-stop) or removes (-uninstall) the service "VH-KSM Agent Service" and
// ends when that is done; started by the service manager (no arguments) it is the service and
// serves the service interface, whose procedure 0 (the stop request) ends it like a stop control.
#include "platform/entry.h"
#include "platform/text.h"
#include "standin.h"

using namespace win;

namespace {

constexpr char16_t kServiceName[] = u"VH-KSM Agent Service";
constexpr char16_t kProgram[] = u"qzTarlinSvc";

HANDLE gStop = nullptr;
SERVICE_STATUS_HANDLE gStatus = nullptr;

void Report(DWORD state, DWORD accepted, DWORD exitCode = 0) {
  SERVICE_STATUS s;
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = state;
  s.dwControlsAccepted = accepted;
  s.dwWin32ExitCode = exitCode;
  Services().SetServiceStatus(gStatus, s);
}

void ServiceMain(const std::vector<std::u16string>&) {
  gStatus = Services().RegisterServiceCtrlHandlerW(kServiceName, [](DWORD control) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
      Report(SERVICE_STOP_PENDING, 0);
      Time().SetEvent(gStop);
    }
  });
  if (!gStatus) return;
  Report(SERVICE_START_PENDING, 0);
  RPC_SERVER_INTERFACE iface;
  UuidFromStringA("C2BA4A81-011D-4CC3-BFCF-B59DAEDF6BDE", &iface.InterfaceId.Uuid);
  iface.Dispatch = [](UINT proc, const std::vector<BYTE>&, std::vector<BYTE>* out) -> RPC_STATUS {
    if (proc != 0) return RPC_S_PROCNUM_OUT_OF_RANGE;
    standin::Note(kProgram, u"stop requested");
    *out = {0, 0, 0, 0};  // accepted
    Time().SetEvent(gStop);
    return RPC_S_OK;
  };
  bool serving = Rpc().RpcServerUseProtseqEpA("ncalrpc", 10, "tarlin_{1D3018D9-65E9-4C3B-BD92-AF56AC427C39}") ==
                     RPC_S_OK &&
                 Rpc().RpcServerRegisterIf(iface) == RPC_S_OK && Rpc().RpcServerListen(1, 10, TRUE) == RPC_S_OK;
  if (!serving) {
    Report(SERVICE_STOPPED, 0, 1);
    return;
  }
  Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);
  standin::Note(kProgram, u"running");
  Time().WaitForSingleObject(gStop, INFINITE);
  Report(SERVICE_STOP_PENDING, 0);
  Rpc().RpcMgmtStopServerListening();
  Rpc().RpcMgmtWaitServerListen();
  standin::Note(kProgram, u"stopped");
  Report(SERVICE_STOPPED, 0);
}

struct Handles2 {
  SC_HANDLE scm = nullptr, service = nullptr;
  ~Handles2() {
    if (service) Services().CloseServiceHandle(service);
    if (scm) Services().CloseServiceHandle(scm);
  }
};

int Install() {
  Handles2 h;
  h.scm = Services().OpenSCManagerW(u"", u"", SC_MANAGER_ALL_ACCESS);
  if (!h.scm) return static_cast<int>(GetLastError());
  std::u16string path = u"\"" + Files().GetModuleFileNameW() + u"\"";
  h.service = Services().CreateServiceW(h.scm, kServiceName, kServiceName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                        SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, path);
  if (!h.service && GetLastError() != ERROR_SERVICE_EXISTS) return static_cast<int>(GetLastError());
  return 0;
}

int Start() {
  Handles2 h;
  h.scm = Services().OpenSCManagerW(u"", u"", SC_MANAGER_CONNECT);
  if (!h.scm) return static_cast<int>(GetLastError());
  h.service = Services().OpenServiceW(h.scm, kServiceName, SERVICE_ALL_ACCESS);
  if (!h.service) return static_cast<int>(GetLastError());
  if (!Services().StartServiceW(h.service, {}) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
    return static_cast<int>(GetLastError());
  }
  return 0;
}

// Stops the service and waits for it to report stopped (a stuck service is left after a while).
int Stop() {
  Handles2 h;
  h.scm = Services().OpenSCManagerW(u"", u"", SC_MANAGER_CONNECT);
  if (!h.scm) return static_cast<int>(GetLastError());
  h.service = Services().OpenServiceW(h.scm, kServiceName, SERVICE_ALL_ACCESS);
  if (!h.service) return static_cast<int>(GetLastError());
  SERVICE_STATUS s;
  if (!Services().ControlService(h.service, SERVICE_CONTROL_STOP, &s) && GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
    return static_cast<int>(GetLastError());
  }
  for (int i = 0; i < 100; ++i) {
    if (!Services().QueryServiceStatus(h.service, &s) || s.dwCurrentState == SERVICE_STOPPED) return 0;
    Time().Sleep(100);
  }
  return static_cast<int>(ERROR_SERVICE_REQUEST_TIMEOUT);
}

int Uninstall() {
  Stop();
  Handles2 h;
  h.scm = Services().OpenSCManagerW(u"", u"", SC_MANAGER_CONNECT);
  if (!h.scm) return static_cast<int>(GetLastError());
  h.service = Services().OpenServiceW(h.scm, kServiceName, SERVICE_ALL_ACCESS);
  if (!h.service) return static_cast<int>(GetLastError());
  if (!Services().DeleteService(h.service)) return static_cast<int>(GetLastError());
  return 0;
}

}  // namespace

int wWinMain(HINSTANCE, HINSTANCE, char16_t* cmdLine, int) {
  std::u16string verb = cmdLine;
  while (!verb.empty() && verb.back() == u' ') verb.pop_back();
  if (verb.empty()) {
    gStop = Time().CreateEventW(TRUE, FALSE);
    SERVICE_TABLE_ENTRYW entry{kServiceName, ServiceMain};
    if (!Services().StartServiceCtrlDispatcherW(entry)) return static_cast<int>(GetLastError());
    return 0;
  }
  standin::Note(kProgram, verb);
  if (verb == u"-install") return Install();
  if (verb == u"-start") return Start();
  if (verb == u"-stop") return Stop();
  if (verb == u"-uninstall") return Uninstall();
  return static_cast<int>(ERROR_INVALID_PARAMETER);
}
