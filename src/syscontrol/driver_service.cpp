#include "platform/file_util.h"
#include "syscontrol/driver_service.h"

namespace qz {

using namespace win;

namespace {

// Closes the handles an operation opened, whatever path it leaves by.
struct ScmHandles {
  SC_HANDLE scm = nullptr;
  SC_HANDLE service = nullptr;
  ~ScmHandles() {
    if (service) Services().CloseServiceHandle(service);
    if (scm) Services().CloseServiceHandle(scm);
  }
};


struct Windows {
  bool vistaOrLater = false;
  bool v60 = false;  // Vista, Server 2008
  bool win10 = false;
  bool is64 = false;
};

Windows ReadWindows() {
  Windows w;
  OSVERSIONINFOEXW v;
  if (Os().GetVersionExW(&v)) {
    w.vistaOrLater = (v.dwMajorVersion & 0xFF) > 5;
    w.v60 = v.dwMajorVersion == 6 && v.dwMinorVersion == 0;
  }
  OSVERSIONINFOEXW want;
  want.dwMajorVersion = 10;
  w.win10 = Os().VerifyVersionInfoW(want, VER_MAJORVERSION, VerSetConditionMask(0, VER_MAJORVERSION, VER_EQUAL)) != 0;
  BOOL wow = FALSE;
  w.is64 = Os().IsWow64Process(&wow) && wow;
  return w;
}

// Fills the record from a service name and a file name under the fixed agent folder.
int Fill(DriverService& r, std::u16string_view service, std::u16string_view file) {
  std::u16string path = Files().ExpandEnvironmentStringsW(u"%ProgramFiles%\\varnholt\\KSM\\" + std::u16string(file));
  if (!PathExists(path)) return kProbeAbsent;
  std::u16string device = u"\\\\.\\" + std::u16string(service);
  // A copy that would not fit its buffer fails, and the probe reports 0 as the bounded copy did.
  if (path.size() >= kDriverPathChars || service.size() >= kDriverPathChars || device.size() >= kDriverPathChars) {
    return kProbeStopped;
  }
  r.serviceName = service;
  r.binaryPath = path;
  r.devicePath = device;
  return r.IsRunning() ? kProbeRunning : kProbeStopped;
}

}  // namespace

DriverService::~DriverService() {
  if (deviceHandle != INVALID_HANDLE_VALUE && Platform::HasCurrent()) CloseHandle(deviceHandle);
}

void DriverService::WaitWhilePending() {
  ScmHandles h;
  h.scm = Services().OpenSCManagerW(u"", u"", SC_MANAGER_CREATE_SERVICE);
  if (!h.scm) return;
  h.service = Services().OpenServiceW(h.scm, serviceName, SERVICE_ALL_ACCESS);
  if (!h.service) return;
  for (int waits = 0; waits < 10; ++waits) {
    SERVICE_STATUS s;
    if (!Services().QueryServiceStatus(h.service, &s)) return;
    if (s.dwCurrentState != SERVICE_START_PENDING && s.dwCurrentState != SERVICE_STOP_PENDING) return;
    Time().Sleep(1000);
  }
}

int DriverService::InstallAndStart() {
  if (created) return kDriverDone;
  if (serviceName.empty()) return kDriverNothingToDo;
  WaitWhilePending();
  ScmHandles h;
  h.scm = Services().OpenSCManagerW(u"", SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS);
  if (!h.scm) return kDriverNoScm;
  h.service = Services().CreateServiceW(h.scm, serviceName, serviceName, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                        SERVICE_DEMAND_START, SERVICE_ERROR_CRITICAL, binaryPath);
  if (!h.service) {
    h.service = Services().OpenServiceW(h.scm, serviceName, SERVICE_ALL_ACCESS);
    if (!h.service) return kDriverNoService;
  }
  int code = Start(h.service);
  created = true;
  return code;
}

int DriverService::Start(SC_HANDLE service) {
  if (started || serviceName.empty()) return kDriverDone;
  ScmHandles own;
  if (!service) {
    own.scm = Services().OpenSCManagerW(u"", SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS);
    if (!own.scm) return kDriverNoScm;
    own.service = Services().OpenServiceW(own.scm, serviceName, SERVICE_ALL_ACCESS);
    if (!own.service) return kDriverNoService;
    service = own.service;
  }
  if (!Services().StartServiceW(service, {})) {
    if (GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) return kDriverStartFailed;
    ownsService = false;
  }
  started = true;
  return OpenDevice();
}

int DriverService::OpenDevice() {
  if (serviceName.empty() || !PathExists(binaryPath)) return kDriverNothingToDo;
  if (deviceHandle != INVALID_HANDLE_VALUE) {
    CloseHandle(deviceHandle);
    deviceHandle = INVALID_HANDLE_VALUE;
  }
  deviceHandle = Files().CreateFileW(devicePath, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  return deviceHandle == INVALID_HANDLE_VALUE ? kDriverNoDevice : kDriverDone;
}

int DriverService::Stop(SC_HANDLE service) {
  if (!started || serviceName.empty()) return kDriverDone;
  ScmHandles own;
  if (!service) {
    own.scm = Services().OpenSCManagerW(u"", SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS);
    if (!own.scm) return kDriverNoScm;
    own.service = Services().OpenServiceW(own.scm, serviceName, SERVICE_ALL_ACCESS);
    if (!own.service) return kDriverNoService;
    service = own.service;
  }
  if (deviceHandle != INVALID_HANDLE_VALUE) CloseHandle(deviceHandle);
  deviceHandle = INVALID_HANDLE_VALUE;
  SERVICE_STATUS s;
  if (!Services().ControlService(service, SERVICE_CONTROL_STOP, &s)) return kDriverStopFailed;
  started = false;
  return kDriverDone;
}

int DriverService::StopAndDelete() {
  if (!started || serviceName.empty()) return kDriverDone;
  WaitWhilePending();
  ScmHandles h;
  h.scm = Services().OpenSCManagerW(u"", SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS);
  if (!h.scm) return kDriverNoScm;
  h.service = Services().OpenServiceW(h.scm, serviceName, SERVICE_ALL_ACCESS);
  if (!h.service) return kDriverNoService;
  int code = Stop(h.service);
  if (code == kDriverDone && ownsService) {
    if (Services().DeleteService(h.service)) {
      created = false;
    } else {
      code = kDriverDeleteFailed;
    }
  }
  return code;
}

bool DriverService::IsRunning() {
  if (serviceName.empty()) return false;
  ScmHandles h;
  h.scm = Services().OpenSCManagerW(u"", u"", SC_MANAGER_ALL_ACCESS);
  if (!h.scm) return false;
  h.service = Services().OpenServiceW(h.scm, serviceName, SERVICE_ALL_ACCESS);
  if (!h.service) return false;
  SERVICE_STATUS s{};
  return Services().ControlService(h.service, SERVICE_CONTROL_INTERROGATE, &s) && s.dwCurrentState == SERVICE_RUNNING;
}

int DetectPrtProc(DriverService& r) {
  Windows w = ReadWindows();
  if (!w.vistaOrLater) return Fill(r, u"qzPrtProcXP", u"qzPrtProcXP.sys");
  return w.is64 ? Fill(r, u"qzPrtProcX64", u"qzPrtProcX64.sys") : Fill(r, u"qzPrtProc", u"qzPrtProc.sys");
}

int DetectNetFilter(DriverService& r) {
  Windows w = ReadWindows();
  if (!w.vistaOrLater) return kProbeAbsent;
  if (w.v60) {
    return w.is64 ? Fill(r, u"qzNetFilter_VistaX64", u"qzNetFilter_VistaX64.sys")
                  : Fill(r, u"qzNetFilter_Vista", u"qzNetFilter_Vista.sys");
  }
  return w.is64 ? Fill(r, u"qzNetFilterX64", u"qzNetFilterX64.sys") : Fill(r, u"qzNetFilter", u"qzNetFilter.sys");
}

int DetectProcCut(DriverService& r) {
  Windows w = ReadWindows();
  if (!w.vistaOrLater) return Fill(r, u"qzProcCutXp", u"qzProcCutXp.sys");
  return w.is64 ? Fill(r, u"qzProcCutx64", u"qzProcCutx64.sys") : Fill(r, u"qzProcCutx86", u"qzProcCutx86.sys");
}

int DetectTcpTagger(DriverService& r) {
  Windows w = ReadWindows();
  if (!w.vistaOrLater) return kProbeAbsent;
  if (w.win10) {
    return w.is64 ? Fill(r, u"qzTcpTaggerX64", u"qzTcpTagger10X64.sys") : Fill(r, u"qzTcpTagger", u"qzTcpTagger10.sys");
  }
  return w.is64 ? Fill(r, u"qzTcpTaggerX64", u"qzTcpTaggerX64.sys") : Fill(r, u"qzTcpTagger", u"qzTcpTagger.sys");
}

void RemoveRunningDrivers(DriverRecords& d) {
  struct Family {
    int (*probe)(DriverService&);
    DriverService* record;
  };
  const Family families[] = {{DetectNetFilter, &d.netFilter},
                             {DetectTcpTagger, &d.tcpTagger},
                             {DetectPrtProc, &d.prtProc},
                             {DetectProcCut, &d.procCut}};
  for (const auto& f : families) {
    if (f.probe(*f.record) == kProbeRunning) {
      f.record->started = true;
      f.record->StopAndDelete();
    }
  }
}

}  // namespace qz
