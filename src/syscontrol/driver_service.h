// Kernel-driver services of the agent's four driver families: choosing the driver file for the
// running Windows, creating, starting, stopping and deleting its service, and opening its device.
// Shared by the updater and the installer; nothing here logs, callers read the result codes.
#pragma once

#include <string>

#include "platform/platform.h"

namespace qz {

// Result codes of the service operations.
constexpr int kDriverDone = 0;
constexpr int kDriverNothingToDo = 1;  // no service name, or the .sys file does not exist
constexpr int kDriverNoScm = 2;
constexpr int kDriverNoService = 3;
constexpr int kDriverStartFailed = 4;
constexpr int kDriverStopFailed = 5;
constexpr int kDriverNoDevice = 6;
constexpr int kDriverDeleteFailed = 7;

// Probe results.
constexpr int kProbeStopped = 0;
constexpr int kProbeAbsent = 1;
constexpr int kProbeRunning = 2;

// Bound of every path and name of a record, terminator included.
constexpr size_t kDriverPathChars = 260;

class DriverService {
 public:
  DriverService() = default;
  ~DriverService();
  DriverService(const DriverService&) = delete;
  DriverService& operator=(const DriverService&) = delete;

  std::u16string binaryPath;   // the .sys file; also the service's binary path
  std::u16string serviceName;  // also its display name
  std::u16string devicePath;   // "\\.\" + serviceName
  win::HANDLE deviceHandle = win::INVALID_HANDLE_VALUE;
  bool created = false;        // this process created (or opened) the service with InstallAndStart
  bool started = false;        // started from this process's point of view; Stop and StopAndDelete need it
  bool ownsService = true;     // it was not already running when this process started it

  int InstallAndStart();
  int Start(win::SC_HANDLE service = nullptr);
  int Stop(win::SC_HANDLE service = nullptr);
  // Deletes the service only when this process started it (ownsService).
  int StopAndDelete();
  bool IsRunning();
  // Up to ten polls, 1,000 ms apart, while the service is start- or stop-pending.
  void WaitWhilePending();
  int OpenDevice();
};

// The four records of one program run.
struct DriverRecords {
  DriverService prtProc;
  DriverService netFilter;
  DriverService procCut;
  DriverService tcpTagger;
};

// Probes: fill the record for the running Windows and tell whether the driver runs. A family that
// does not apply, or whose .sys file is missing, gives kProbeAbsent and leaves the record alone.
int DetectPrtProc(DriverService& record);
int DetectNetFilter(DriverService& record);
int DetectProcCut(DriverService& record);
int DetectTcpTagger(DriverService& record);

// Updater: stops and deletes every driver whose probe finds it running (NetFilter, TcpTagger,
// PrtProc, ProcCut), marking it started first.
void RemoveRunningDrivers(DriverRecords& drivers);

}  // namespace qz
