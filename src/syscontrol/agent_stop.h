// Stopping, restarting and checking the agent: StopAllAgentProcess ends the service program, the
// agent and the assistant, politely first (service manager, the program's own stop command, remote
// quit calls), then by force; and the stop, driver-stop, restart and service-check modes.
#pragma once

#include <string_view>

#include "platform/platform.h"
#include "syscontrol/context.h"
#include "syscontrol/driver_service.h"

namespace qz {

inline constexpr char16_t kServiceProcess[] = u"qzTarlinSvc.exe";
inline constexpr char16_t kAgentProcess[] = u"lmvAgent.exe";
inline constexpr char16_t kAssistantProcess[] = u"lmvAssistant.exe";

void StopAllAgentProcess(const SysContext& ctx);
bool QuitAgent(const SysContext& ctx);
bool QuitAssistant(const SysContext& ctx);
void RequestToStopService(const SysContext& ctx);
void CheckService(const SysContext& ctx);

// True as soon as no process of that name exists; looks once per second of the given time.
bool WaitForProcessExit(std::u16string_view name, win::DWORD ms);
// The first process of that name whose session can be read; 0 when none.
win::DWORD GetProcessID(std::u16string_view name);
// Ends every process of that name (exit code 0); true when there is none or all were ended, false
// (the first error as the last error) when one could not be opened or ended.
bool KillProcessByName(std::u16string_view name);
bool IsServiceProcessRunning();
bool IsAgentServiceInstalled();
bool EnableDebugPrivilege();

// The small modes of the updater.
// --stopMe: StopAllAgentProcess, then the process-protection driver when it runs.
void RunStopMode(const SysContext& ctx, DriverRecords& drivers);
// --stopPrtProc: only the driver step.
void RunDriverStopMode(DriverRecords& drivers);
// --restart: StopAllAgentProcess, then the service program's "start".
void RunRestartMode(const SysContext& ctx);
// --chksvc
void RunServiceCheckMode(const SysContext& ctx);

}  // namespace qz
