// Removal of a previous agent and the uninstall flow.
#include "installer/removal.h"

#include <thread>

#include "config/registry_keys.h"
#include "config/registry_layout.h"
#include "installer/startup.h"
#include "platform/desktop.h"
#include "platform/file_util.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "syscontrol/agent_service.h"
#include "syscontrol/driver_service.h"

namespace qz {

using namespace win;

namespace {

bool ServiceRegistered(std::u16string_view name) {
  SC_HANDLE scm = Services().OpenSCManagerW(u"", u"", SC_MANAGER_CONNECT);
  // A service manager that cannot be asked proves nothing gone.
  if (!scm) return true;
  SC_HANDLE service = Services().OpenServiceW(scm, name, SERVICE_QUERY_STATUS);
  const bool found = service != nullptr || GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
  if (service) Services().CloseServiceHandle(service);
  Services().CloseServiceHandle(scm);
  return found;
}

void StopAndDeleteFound(int (*probe)(DriverService&), DriverService& record) {
  if (probe(record) == kProbeAbsent) return;
  record.created = true;
  record.started = true;
  record.StopAndDelete();
  // The sc.exe commands may have deleted the service already, which leaves StopAndDelete nothing
  // to open: the record then says what is true, so the driver can be created again later.
  if (!ServiceRegistered(record.serviceName)) {
    record.created = false;
    record.started = false;
  }
}

}  // namespace

std::vector<std::u16string> DriverGroupCommands(DriverGroup group) {
  std::vector<std::u16string> services;
  if (WindowsVersionIs(5)) {
    // Old Windows has no tagger or filter driver; both groups name the same two.
    services = {u"qzPrtProcXP", u"qzProcCutXp"};
  } else {
    const bool x64 = Is64BitWindows();
    const std::u16string suffix = x64 ? u"X64" : u"";
    if (group == DriverGroup::ProtectionAndCut) {
      services = {u"qzPrtProc" + suffix, x64 ? u"qzProcCutx64" : u"qzProcCut"};
    } else {
      services = {u"qzTcpTagger" + suffix, (WindowsVersionIs(6, 0) ? u"qzNetFilter_Vista" : u"qzNetFilter") + suffix};
    }
  }
  std::vector<std::u16string> commands;
  for (const auto& s : services) {
    commands.push_back(u"/c sc.exe stop " + s);
    commands.push_back(u"/c sc.exe delete " + s);
  }
  return commands;
}

void RemoveDriverGroup(DriverGroup group, DriverRecords& d) {
  for (const auto& c : DriverGroupCommands(group)) RunProgram(true, u"", u"cmd.exe", c);
  if (group == DriverGroup::ProtectionAndCut) {
    StopAndDeleteFound(DetectPrtProc, d.prtProc);
    StopAndDeleteFound(DetectProcCut, d.procCut);
  } else {
    StopAndDeleteFound(DetectTcpTagger, d.tcpTagger);
    StopAndDeleteFound(DetectNetFilter, d.netFilter);
  }
}

bool EndProcessByName(std::u16string_view name) {
  std::vector<PROCESSENTRY32W> entries;
  if (!Processes().SnapshotProcesses(TH32CS_SNAPALL, &entries)) return false;
  for (size_t i = 1; i < entries.size(); ++i) {
    if (entries[i].szExeFile != name) continue;
    const DWORD pid = entries[i].th32ProcessID;
    HANDLE process = Processes().OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (!process) return false;
    for (HWND w : Desktop().EnumWindows()) {
      DWORD owner = 0;
      Desktop().GetWindowThreadProcessId(w, &owner);
      if (owner == pid) Desktop().PostMessageW(w, WM_CLOSE, 0, 0);
    }
    const BOOL ended = Processes().TerminateProcess(process, 0);
    // A process that refused to end would hold the flow forever.
    if (ended) Time().WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
    return ended != FALSE;
  }
  return false;
}

void EndAgentProcesses() {
  for (const char16_t* name : kAgentProcessNames) EndProcessByName(name);
}

ProgramEnd UninstallThroughUpdater(const InstallerFolders& folders) {
  return RunProgramToEnd(folders.setup, kUpdaterFileName, u"--uninstall");
}

constexpr win::DWORD kUpdaterFoundNoAgent = static_cast<win::DWORD>(-13001);

bool AgentIsGone() {
  HKEY common = nullptr;
  const LONG rc = Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCommonKey, 0, KEY_READ | KEY_WOW64_32KEY, &common);
  if (rc == ERROR_SUCCESS) Registry().RegCloseKey(common);
  if (rc != ERROR_FILE_NOT_FOUND) return false;
  return !ServiceRegistered(kAgentServiceName);
}

UninstallOutcome RunUninstallFlow(const InstallerFolders& folders, DriverRecords& drivers) {
  RemoveDriverGroup(DriverGroup::ProtectionAndCut, drivers);
  EndAgentProcesses();
  RemoveDriverGroup(DriverGroup::TaggerAndFilter, drivers);
  const ProgramEnd updater = UninstallThroughUpdater(folders);
  UninstallOutcome outcome;
  outcome.code = static_cast<int>(updater.started ? updater.exitCode : updater.error);
  // -13001: the updater found no agent's settings. With no key and no service left either, there
  // was nothing to remove, which is what an administrator rolling out an uninstall wants to hear.
  const bool updaterDone = updater.started && (updater.exitCode == 0 || updater.exitCode == kUpdaterFoundNoAgent);
  outcome.removed = updaterDone && AgentIsGone();
  return outcome;
}

void EndUninstallFlow(const UninstallOutcome& outcome, const InstallerFolders& folders, bool korean) {
  if (outcome.removed) {
    EndPreparation(kUninstallDone, folders, korean);
    return;
  }
  DeleteSetupFolder(folders);
  const std::u16string text = Fmt(InstallerOutcomeText(InstallerOutcome::NotDeleted, korean), outcome.code);
  Ui().MessageBoxW(nullptr, text, kUninstallCaption, MB_ICONERROR);
  WriteInstallerOutcome(text.c_str());
}

std::u16string LogArchiveName(const SYSTEMTIME& t) {
  return Fmt(u"%04d%02d%02d%02d%02d%02d.zip", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

int CollectLogs(const InstallerFolders& folders, std::u16string* archiveName) {
  const std::u16string logs = folders.install + u"\\logs";
  if (!FolderExists(logs)) return 0;
  std::u16string name = LogArchiveName(Time().GetLocalTime());
  std::u16string arguments = u"a " + folders.setup + u"\\" + name + u" \"" + logs + u"\\\"";
  if (archiveName) *archiveName = name;
  RunProgram(true, folders.setup, kArchiveToolFileName, arguments);
  return 1;
}

std::u16string StopDriverStatusText(bool korean) {
  return korean ? u"VH-KSM 드라이버를 중지합니다." : u"Stop the VH-KSM driver.";
}
std::u16string EndAgentStatusText(bool korean) {
  return korean ? u"VH-KSM 에이전트를 종료합니다." : u"Terminates the VH-KSM Agent.";
}
std::u16string DeleteAgentStatusBase(bool korean) {
  return korean ? u"기존 VH-KSM 에이전트를 삭제합니다" : u"Delete an existing VH-KSM agent";
}

void RunWaitingDots(WaitingDots& w) {
  constexpr int kQuietCycles = 120;
  auto show = [&](int count) {
    if (w.status) w.status(w.base + std::u16string(static_cast<size_t>(count), u'.'));
  };
  int cycles = 0;
  while (w.done.load() == 0) {
    if (cycles < kQuietCycles) {
      Time().Sleep(500);
    } else {
      for (int d = 1; d <= w.dots; ++d) {
        show(d);
        Time().Sleep(1000);
      }
    }
    ++cycles;
  }
  for (; cycles < kQuietCycles; ++cycles) Time().Sleep(10);
  show(1);
  Time().Sleep(1000);
}

void RemovePreviousAgent(const InstallerFolders& folders, DriverRecords& drivers, bool korean, const StatusSink& status,
                         std::u16string* archiveName) {
  RemoveDriverGroup(DriverGroup::ProtectionAndCut, drivers);
  if (status) {
    status(StopDriverStatusText(korean));
    status(EndAgentStatusText(korean));
  }
  EndAgentProcesses();
  RemoveDriverGroup(DriverGroup::TaggerAndFilter, drivers);

  WaitingDots dots;
  dots.status = status;
  dots.base = DeleteAgentStatusBase(korean);
  std::thread thread([&dots] { RunWaitingDots(dots); });
  std::u16string name;
  if (!CollectLogs(folders, &name)) name.clear();
  if (archiveName) *archiveName = name;
  // The install goes on whatever the updater left; what it places is checked at its end.
  UninstallThroughUpdater(folders);
  dots.done.store(1);
  thread.join();
}

}  // namespace qz
