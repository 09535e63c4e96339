// The agent's service program and its scheduled task: running the service program with a verb,
// and deleting the task "VH-KSM Agent Schedule" (on Windows XP and Server 2003, the Run-key value
// of that name instead).
#pragma once

#include <string_view>

#include "logging/ilogger.h"
#include "platform/platform.h"
#include "syscontrol/context.h"

namespace qz {

inline constexpr char16_t kAgentServiceName[] = u"VH-KSM Agent Service";
inline constexpr char16_t kAgentTaskName[] = u"VH-KSM Agent Schedule";
inline constexpr char16_t kServiceProgram[] = u"qzTarlinSvc.exe";

// The command line for a verb ("install", "start", "stop", "uninstall"): the program's path in
// quotation marks, so a path with blanks cannot start a planted program, then " -verb". Empty when
// it does not fit the 260-character buffer.
std::u16string ServiceCommandLine(std::u16string_view installFolder, std::u16string_view verb);

// How long the service program may take for a verb (a pause of the platform clock), the exit code
// it is ended with after that, and how long its end is then waited for.
inline constexpr win::DWORD kServiceCommandLimitMs = 5 * 60 * 1000;
inline constexpr win::DWORD kServiceCommandTimedOut = 0x5B4;  // ERROR_TIMEOUT
inline constexpr win::DWORD kServiceCommandEndMs = 5000;

// Runs qzTarlinSvc.exe of the install folder with the verb and waits for it, at most
// kServiceCommandLimitMs; a program still running then is logged and ended. False when the Common
// key, the install folder or the program is missing, the program cannot start or did not finish.
bool RunServiceCommand(const SysContext& ctx, std::u16string_view verb);

// Task Scheduler 2.0 steps with their log lines (tag "TaskScheduler").
class TaskScheduler {
 public:
  explicit TaskScheduler(ILogger& log) : log_(log) {}
  ~TaskScheduler();
  bool CoInit();
  bool Initialize();
  bool DeleteTask();
  bool DeleteStartProgram_XP();

 private:
  ILogger& log_;
  win::ITaskService* service_ = nullptr;
};

bool DeleteAgentTaskSchedule(ILogger& log);

}  // namespace qz
