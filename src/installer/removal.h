// Taking a running agent down: its kernel drivers, its processes, and the updater's uninstall;
// the uninstall flow built from them, and the collection of the old agent's logs.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "installer/payload.h"
#include "platform/types.h"
#include "syscontrol/driver_service.h"

namespace qz {

inline constexpr char16_t kUpdaterFileName[] = u"qzUpdater.exe";

// The agent's processes, in the order they are ended.
inline constexpr const char16_t* kAgentProcessNames[] = {u"qzTarlinSvc.exe",  u"lmvAgent.exe",     u"lmvAssistant.exe",
                                                         u"lmvKeeper.exe",    u"qzNoticeView.exe", u"qzUpdater.exe"};

enum class DriverGroup {
  ProtectionAndCut,  // process-protection and process-cut drivers
  TaggerAndFilter,   // TCP tagger and network filter drivers
};

// The sc.exe commands for the running Windows, in the order they are sent through cmd.exe.
std::vector<std::u16string> DriverGroupCommands(DriverGroup group);

// The commands, then the service manager's stop and delete of each of the group's drivers whose
// file is in the install folder. Failures are passed over.
void RemoveDriverGroup(DriverGroup group, DriverRecords& drivers);

// Ends the first process named exactly name (case-sensitive) after posting WM_CLOSE to its
// top-level windows; true when it was ended.
bool EndProcessByName(std::u16string_view name);
void EndAgentProcesses();

// Runs the updater unpacked into the setup folder with "--uninstall" and waits for it.
ProgramEnd UninstallThroughUpdater(const InstallerFolders& folders);

// True when neither the agent's Common key nor its service is left.
bool AgentIsGone();

struct UninstallOutcome {
  bool removed = false;  // the updater ended with 0 and the agent is gone
  int code = 0;          // the updater's exit code, or the error that kept it from starting
};

// The whole uninstall flow after the preparation.
UninstallOutcome RunUninstallFlow(const InstallerFolders& folders, DriverRecords& drivers);

// The end of the uninstall flow: the setup folder deleted, then text 306 and "119" after a
// removal, else the failure text with the outcome's code, shown and recorded. The caller ends
// with exit code 1.
void EndUninstallFlow(const UninstallOutcome& outcome, const InstallerFolders& folders, bool korean);

// "YYYYMMDDhhmmss.zip" of a local time.
std::u16string LogArchiveName(const win::SYSTEMTIME& local);

// Adds install\logs\ to setup\<archive name> with the archive tool: 1 when the command was run
// (the name in *archiveName), 0 when there is no log folder.
int CollectLogs(const InstallerFolders& folders, std::u16string* archiveName);

// Status texts of the install flow's removal.
std::u16string StopDriverStatusText(bool korean);
std::u16string EndAgentStatusText(bool korean);
std::u16string DeleteAgentStatusBase(bool korean);

// Keeps the status line moving while the updater works: nothing for the first 120 cycles of
// 500 ms, then one to five dots a second; when done is set, the missing quiet cycles at 10 ms
// each and the base text with one dot for a second.
struct WaitingDots {
  StatusSink status;  // null when the window shows no status texts
  std::u16string base;
  std::atomic<int> done{0};
  int dots = 5;
};
void RunWaitingDots(WaitingDots& dots);

// The install flow's removal of a previous agent, status texts included; *archiveName gets the
// log archive's name, empty when no logs were collected.
void RemovePreviousAgent(const InstallerFolders& folders, DriverRecords& drivers, bool korean,
                         const StatusSink& status, std::u16string* archiveName);

}  // namespace qz
