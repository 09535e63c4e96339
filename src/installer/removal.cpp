// Removal of a previous agent and the uninstall flow.
#include "installer/removal.h"

#include <thread>

#include "installer/startup.h"
#include "platform/desktop.h"
#include "platform/file_util.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "syscontrol/driver_service.h"

namespace qz {

using namespace win;

namespace {

void StopAndDeleteFound(int (*probe)(DriverService&), DriverService& record) {
  if (probe(record) == kProbeAbsent) return;
  record.created = true;
  record.started = true;
  record.StopAndDelete();
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

void UninstallThroughUpdater(const InstallerFolders& folders) {
  RunProgram(true, folders.setup, kUpdaterFileName, u"--uninstall");
}

int RunUninstallFlow(const InstallerFolders& folders, DriverRecords& drivers) {
  RemoveDriverGroup(DriverGroup::ProtectionAndCut, drivers);
  EndAgentProcesses();
  RemoveDriverGroup(DriverGroup::TaggerAndFilter, drivers);
  UninstallThroughUpdater(folders);
  return kUninstallDone;
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
  UninstallThroughUpdater(folders);
  dots.done.store(1);
  thread.join();
}

}  // namespace qz
