// sc.exe of a simulated machine: query, start, stop, create and delete, with the texts and exit
// codes of the Windows tool (0 on success, the Windows error otherwise).
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "platform/entry.h"
#include "platform/platform.h"
#include "platform/text.h"

using namespace win;

namespace {

const char* ErrorText(DWORD e) {
  switch (e) {
    case 2: return "The system cannot find the file specified.";
    case 5: return "Access is denied.";
    case 87: return "The parameter is incorrect.";
    case 123: return "The filename, directory name, or volume label syntax is incorrect.";
    case 1052: return "The requested control is not valid for this service.";
    case 1053: return "The service did not respond to the start or control request in a timely fashion.";
    case 1056: return "An instance of the service is already running.";
    case 1058:
      return "The service cannot be started, either because it is disabled or because it has no enabled devices "
             "associated with it.";
    case 1060: return "The specified service does not exist as an installed service.";
    case 1061: return "The service cannot accept control messages at this time.";
    case 1062: return "The service has not been started.";
    case 1072: return "The specified service has been marked for deletion.";
    case 1073: return "The specified service already exists.";
    default: return "";
  }
}

int Failed(const char* what, DWORD e) {
  std::printf("[SC] %s FAILED %u:\n\n%s\n\n", what, e, ErrorText(e));
  return static_cast<int>(e);
}

const char* StateName(DWORD s) {
  switch (s) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
    case SERVICE_PAUSED: return "PAUSED";
    default: return "";
  }
}

const char* TypeName(DWORD t) {
  switch (t) {
    case SERVICE_KERNEL_DRIVER: return "KERNEL_DRIVER";
    case SERVICE_FILE_SYSTEM_DRIVER: return "FILE_SYSTEM_DRIVER";
    case SERVICE_WIN32_OWN_PROCESS: return "WIN32_OWN_PROCESS";
    case SERVICE_WIN32_SHARE_PROCESS: return "WIN32_SHARE_PROCESS";
    default: return "";
  }
}

void PrintStatus(const std::string& name, const SERVICE_STATUS& s) {
  std::printf("\nSERVICE_NAME: %s \n", name.c_str());
  std::printf("        TYPE               : %x  %s  \n", s.dwServiceType, TypeName(s.dwServiceType));
  std::printf("        STATE              : %u  %s \n", s.dwCurrentState, StateName(s.dwCurrentState));
  std::printf("                                (%s, %s, %s)\n",
              (s.dwControlsAccepted & SERVICE_ACCEPT_STOP) ? "STOPPABLE" : "NOT_STOPPABLE",
              (s.dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE) ? "PAUSABLE" : "NOT_PAUSABLE",
              (s.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN) ? "ACCEPTS_SHUTDOWN" : "IGNORES_SHUTDOWN");
  std::printf("        WIN32_EXIT_CODE    : %u  (0x%x)\n", s.dwWin32ExitCode, s.dwWin32ExitCode);
  std::printf("        SERVICE_EXIT_CODE  : %u  (0x%x)\n", s.dwServiceSpecificExitCode, s.dwServiceSpecificExitCode);
  std::printf("        CHECKPOINT         : 0x%x\n", s.dwCheckPoint);
  std::printf("        WAIT_HINT          : 0x%x\n", s.dwWaitHint);
}

int Usage() {
  std::printf(
      "DESCRIPTION:\n        SC is a command line program used for communicating with the\n"
      "        Service Control Manager and services.\n"
      "USAGE:\n        sc <server> [command] [service name] <option1> <option2>...\n"
      "        Commands: query start stop create delete\n");
  return 1639;  // ERROR_INVALID_COMMAND_LINE
}

class Scm {
 public:
  SC_HANDLE Open(DWORD access) { return scm_ = Services().OpenSCManagerW(u"", u"", access); }
  ~Scm() {
    if (scm_) Services().CloseServiceHandle(scm_);
  }
  SC_HANDLE handle() const { return scm_; }

 private:
  SC_HANDLE scm_ = nullptr;
};

struct ServiceHandle {
  SC_HANDLE h = nullptr;
  ~ServiceHandle() {
    if (h) Services().CloseServiceHandle(h);
  }
};

int Query(const std::u16string& name, const char* failWhat) {
  Scm scm;
  if (!scm.Open(SC_MANAGER_CONNECT)) return Failed("OpenSCManager", GetLastError());
  ServiceHandle s;
  s.h = Services().OpenServiceW(scm.handle(), name, SERVICE_QUERY_STATUS);
  if (!s.h) return Failed(failWhat, GetLastError());
  SERVICE_STATUS st;
  if (!Services().QueryServiceStatus(s.h, &st)) return Failed("QueryServiceStatus", GetLastError());
  PrintStatus(WideToUtf8(name), st);
  return 0;
}

int Start(const std::u16string& name) {
  Scm scm;
  if (!scm.Open(SC_MANAGER_CONNECT)) return Failed("OpenSCManager", GetLastError());
  ServiceHandle s;
  s.h = Services().OpenServiceW(scm.handle(), name, SERVICE_START | SERVICE_QUERY_STATUS);
  if (!s.h) return Failed("OpenService", GetLastError());
  if (!Services().StartServiceW(s.h, {})) return Failed("StartService", GetLastError());
  SERVICE_STATUS st;
  Services().QueryServiceStatus(s.h, &st);
  PrintStatus(WideToUtf8(name), st);
  return 0;
}

int Stop(const std::u16string& name) {
  Scm scm;
  if (!scm.Open(SC_MANAGER_CONNECT)) return Failed("OpenSCManager", GetLastError());
  ServiceHandle s;
  s.h = Services().OpenServiceW(scm.handle(), name, SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (!s.h) return Failed("OpenService", GetLastError());
  SERVICE_STATUS st;
  if (!Services().ControlService(s.h, SERVICE_CONTROL_STOP, &st)) return Failed("ControlService", GetLastError());
  PrintStatus(WideToUtf8(name), st);
  return 0;
}

int Delete(const std::u16string& name) {
  Scm scm;
  if (!scm.Open(SC_MANAGER_CONNECT)) return Failed("OpenSCManager", GetLastError());
  ServiceHandle s;
  s.h = Services().OpenServiceW(scm.handle(), name, DELETE);
  if (!s.h) return Failed("OpenService", GetLastError());
  if (!Services().DeleteService(s.h)) return Failed("DeleteService", GetLastError());
  std::printf("[SC] DeleteService SUCCESS\n");
  return 0;
}

int Create(const std::u16string& name, const std::vector<std::u16string>& opts) {
  std::map<std::u16string, std::u16string> o;
  for (size_t i = 0; i + 1 < opts.size(); i += 2) {
    if (opts[i].empty() || opts[i].back() != u'=') return Usage();
    o[FoldCase(opts[i])] = opts[i + 1];
  }
  DWORD type = SERVICE_WIN32_OWN_PROCESS, start = SERVICE_DEMAND_START, error = SERVICE_ERROR_NORMAL;
  if (auto t = o.find(u"TYPE="); t != o.end()) {
    std::u16string v = FoldCase(t->second);
    type = v == u"KERNEL" ? SERVICE_KERNEL_DRIVER : v == u"FILESYS" ? SERVICE_FILE_SYSTEM_DRIVER
                                                  : v == u"OWN"   ? SERVICE_WIN32_OWN_PROCESS
                                                                  : 0;
  }
  if (auto t = o.find(u"START="); t != o.end()) {
    std::u16string v = FoldCase(t->second);
    start = v == u"BOOT" ? SERVICE_BOOT_START : v == u"SYSTEM" ? SERVICE_SYSTEM_START
                          : v == u"AUTO"                      ? SERVICE_AUTO_START
                          : v == u"DEMAND"                    ? SERVICE_DEMAND_START
                          : v == u"DISABLED"                  ? SERVICE_DISABLED
                                                              : 99;
  }
  if (auto t = o.find(u"ERROR="); t != o.end()) {
    std::u16string v = FoldCase(t->second);
    error = v == u"IGNORE" ? SERVICE_ERROR_IGNORE : v == u"NORMAL" ? SERVICE_ERROR_NORMAL
                           : v == u"SEVERE"                       ? SERVICE_ERROR_SEVERE
                           : v == u"CRITICAL"                     ? SERVICE_ERROR_CRITICAL
                                                                  : 99;
  }
  auto bin = o.find(u"BINPATH=");
  if (type == 0 || start == 99 || error == 99 || bin == o.end()) return Usage();
  auto display = o.find(u"DISPLAYNAME=");
  Scm scm;
  if (!scm.Open(SC_MANAGER_CREATE_SERVICE)) return Failed("OpenSCManager", GetLastError());
  ServiceHandle s;
  s.h = Services().CreateServiceW(scm.handle(), name, display == o.end() ? name : display->second, SERVICE_ALL_ACCESS,
                                  type, start, error, bin->second);
  if (!s.h) return Failed("CreateService", GetLastError());
  std::printf("[SC] CreateService SUCCESS\n");
  return 0;
}

}  // namespace

int wWinMain(HINSTANCE, HINSTANCE, char16_t* cmdLine, int) {
  auto argv = CommandLineToArgv(u"sc " + std::u16string(cmdLine));
  size_t i = 1;
  if (i < argv.size() && argv[i].rfind(u"\\\\", 0) == 0) ++i;  // a server name: only the local one exists
  if (i + 1 >= argv.size()) return Usage();
  std::u16string verb = FoldCase(argv[i]);
  const std::u16string& name = argv[i + 1];
  std::vector<std::u16string> opts(argv.begin() + static_cast<long>(i) + 2, argv.end());
  int rc;
  if (verb == u"QUERY") rc = Query(name, "EnumQueryServicesStatus:OpenService");
  else if (verb == u"START") rc = Start(name);
  else if (verb == u"STOP") rc = Stop(name);
  else if (verb == u"DELETE") rc = Delete(name);
  else if (verb == u"CREATE") rc = Create(name, opts);
  else rc = Usage();
  std::fflush(stdout);
  return rc;
}
