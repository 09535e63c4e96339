// Processes, shaped like the Toolhelp snapshot, OpenProcess/TerminateProcess, CreateProcessW and
// ShellExecuteExW. Process handles are closed with win::CloseHandle and waited on with ITime.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace win {

constexpr DWORD PROCESS_TERMINATE = 0x0001;
constexpr DWORD PROCESS_QUERY_INFORMATION = 0x0400;
constexpr DWORD PROCESS_QUERY_LIMITED_INFORMATION = 0x1000;
constexpr DWORD PROCESS_ALL_ACCESS = 0x1FFFFF;

constexpr DWORD CREATE_NO_WINDOW = 0x08000000;
constexpr DWORD CREATE_NEW_CONSOLE = 0x00000010;
constexpr DWORD DETACHED_PROCESS = 0x00000008;

constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOW = 5;

constexpr DWORD STARTF_USESHOWWINDOW = 0x1;
constexpr DWORD STARTF_USESTDHANDLES = 0x100;

constexpr DWORD SEE_MASK_NOCLOSEPROCESS = 0x40;
constexpr DWORD SEE_MASK_FLAG_NO_UI = 0x400;
constexpr DWORD SEE_MASK_NO_CONSOLE = 0x8000;

constexpr DWORD DUPLICATE_CLOSE_SOURCE = 0x1;
constexpr DWORD DUPLICATE_SAME_ACCESS = 0x2;

constexpr DWORD TH32CS_SNAPPROCESS = 0x2;
constexpr DWORD TH32CS_SNAPALL = 0xF;

struct PROCESSENTRY32W {
  DWORD th32ProcessID = 0;
  DWORD th32ParentProcessID = 0;
  DWORD cntThreads = 1;
  std::u16string szExeFile;  // the image's file name, as recorded when the process was created
};

struct STARTUPINFOW {
  DWORD dwFlags = 0;
  WORD wShowWindow = 0;
  HANDLE hStdInput = nullptr;
  HANDLE hStdOutput = nullptr;
  HANDLE hStdError = nullptr;
};

struct PROCESS_INFORMATION {
  HANDLE hProcess = nullptr;
  HANDLE hThread = nullptr;
  DWORD dwProcessId = 0;
  DWORD dwThreadId = 0;
};

struct SHELLEXECUTEINFOW {
  DWORD cbSize = 0;
  DWORD fMask = 0;
  HWND hwnd = nullptr;
  std::u16string lpVerb;
  std::u16string lpFile;
  std::u16string lpParameters;
  std::u16string lpDirectory;
  int nShow = 0;
  HINSTANCE hInstApp = nullptr;
  HANDLE hProcess = nullptr;
};

class IProcesses {
 public:
  virtual ~IProcesses() = default;

  // CreateToolhelp32Snapshot + Process32FirstW/NextW in one call: the system idle process first,
  // then every live process of this machine. False (last error set) when no snapshot can be taken.
  virtual BOOL SnapshotProcesses(DWORD flags, std::vector<PROCESSENTRY32W>* entries) = 0;
  virtual BOOL ProcessIdToSessionId(DWORD pid, DWORD* session) = 0;
  virtual HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD pid) = 0;
  virtual BOOL TerminateProcess(HANDLE process, UINT exitCode) = 0;
  virtual BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) = 0;
  virtual DWORD GetProcessId(HANDLE process) = 0;

  // appName may be empty (the program is the first token of cmdLine, as Windows parses it);
  // the child's GetCommandLineW is exactly cmdLine. With STARTF_USESTDHANDLES the child gets the
  // three handles of startup as its standard input, output and error when they are inheritable
  // (handle inheritance is on for them); a missing or non-inheritable one reads as the null device.
  virtual BOOL CreateProcessW(std::u16string_view appName, std::u16string_view cmdLine, DWORD creationFlags,
                              std::u16string_view currentDirectory, const STARTUPINFOW& startup,
                              PROCESS_INFORMATION* info) = 0;
  virtual BOOL ShellExecuteExW(SHELLEXECUTEINFOW* info) = 0;

  // Within the calling process (both process handles GetCurrentProcess()). access is ignored:
  // DUPLICATE_SAME_ACCESS is the only access supported.
  virtual BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, HANDLE* target,
                               DWORD access, BOOL inherit, DWORD options) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }

  virtual DWORD GetCurrentProcessId() = 0;
  // The whole command line of this process, program name included, as its creator passed it.
  virtual std::u16string GetCommandLineW() = 0;
  // Records the 32-bit exit code for every waiter and ends the process.
  [[noreturn]] virtual void ExitProcess(UINT exitCode) = 0;
};

}  // namespace win
