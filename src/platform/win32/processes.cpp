// Processes on the real API: Toolhelp snapshots, process handles and their 32-bit exit codes,
// CreateProcessW and ShellExecuteExW.
#include <cstdio>
#include <optional>

#include "platform/process.h"
#include "platform/win32/services.h"

#include "platform/win32/kernel_exports.h"
#include "platform/win32/win_api.h"
#include <shellapi.h>
#include <tlhelp32.h>

namespace win32 {

namespace {

// A standard handle the child may not inherit reads as the null device, as the contract says; the
// API would hand the child a dangling value instead.
class StdHandles {
 public:
  explicit StdHandles(const win::STARTUPINFOW& startup) {
    handles_[0] = Pick(startup.hStdInput);
    handles_[1] = Pick(startup.hStdOutput);
    handles_[2] = Pick(startup.hStdError);
  }
  ~StdHandles() {
    if (null_) ::CloseHandle(null_);
  }
  StdHandles(const StdHandles&) = delete;
  StdHandles& operator=(const StdHandles&) = delete;

  ::HANDLE operator[](int i) const { return handles_[i]; }

 private:
  ::HANDLE Pick(win::HANDLE h) {
    DWORD flags = 0;
    ::HANDLE real = Handle(h);
    if (real && real != INVALID_HANDLE_VALUE && ::GetHandleInformation(real, &flags) && (flags & HANDLE_FLAG_INHERIT)) {
      return real;
    }
    if (!null_) {
      SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
      null_ = ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                            OPEN_EXISTING, 0, nullptr);
      if (null_ == INVALID_HANDLE_VALUE) null_ = nullptr;
    }
    return null_;
  }

  ::HANDLE handles_[3] = {};
  ::HANDLE null_ = nullptr;
};

class Win32Processes : public win::IProcesses {
 public:
  win::BOOL SnapshotProcesses(win::DWORD, std::vector<win::PROCESSENTRY32W>* entries) override {
    entries->clear();
    // Only the process list is read: heaps, modules and threads would only cost time (and a module
    // list can fail with ERROR_BAD_LENGTH while modules load).
    ::HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return FALSE;
    ::PROCESSENTRY32W e{};
    e.dwSize = sizeof e;
    for (::BOOL more = ::Process32FirstW(snap, &e); more; more = ::Process32NextW(snap, &e)) {
      win::PROCESSENTRY32W out;
      out.th32ProcessID = e.th32ProcessID;
      out.th32ParentProcessID = e.th32ParentProcessID;
      out.cntThreads = e.cntThreads;
      e.szExeFile[MAX_PATH - 1] = 0;
      out.szExeFile = U(e.szExeFile);
      entries->push_back(std::move(out));
      e.dwSize = sizeof e;
    }
    const DWORD error = ::GetLastError();
    ::CloseHandle(snap);
    if (error != ERROR_NO_MORE_FILES) {
      entries->clear();
      ::SetLastError(error);
      return FALSE;
    }
    return TRUE;
  }

  win::BOOL ProcessIdToSessionId(win::DWORD pid, win::DWORD* session) override {
    using Fn = ::BOOL(WINAPI*)(DWORD, DWORD*);
    static const Fn toSession = Export<Fn>(L"kernel32.dll", "ProcessIdToSessionId");
    if (!toSession) {
      *session = 0;  // without Terminal Services every process runs in session 0
      return TRUE;
    }
    DWORD s = 0;
    if (!toSession(pid, &s)) return FALSE;
    *session = s;
    return TRUE;
  }

  win::HANDLE OpenProcess(win::DWORD access, win::BOOL inherit, win::DWORD pid) override {
    return ::OpenProcess(access, inherit, pid);
  }

  win::BOOL TerminateProcess(win::HANDLE process, win::UINT exitCode) override {
    return ::TerminateProcess(Handle(process), exitCode) ? TRUE : FALSE;
  }

  win::BOOL GetExitCodeProcess(win::HANDLE process, win::DWORD* exitCode) override {
    DWORD code = 0;
    if (!::GetExitCodeProcess(Handle(process), &code)) return FALSE;
    *exitCode = code;
    return TRUE;
  }

  win::DWORD GetProcessId(win::HANDLE process) override {
    using Fn = DWORD(WINAPI*)(::HANDLE);
    static const Fn getId = Export<Fn>(L"kernel32.dll", "GetProcessId");
    if (getId) return getId(Handle(process));
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
  }

  win::BOOL CreateProcessW(std::u16string_view appName, std::u16string_view cmdLine, win::DWORD creationFlags,
                           std::u16string_view currentDirectory, const win::STARTUPINFOW& startup,
                           win::PROCESS_INFORMATION* info) override {
    const std::u16string app(appName), dir(currentDirectory);
    std::u16string cl(cmdLine);  // the API may write into the command line
    ::STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = startup.dwFlags;
    si.wShowWindow = startup.wShowWindow;
    const bool useStd = (startup.dwFlags & STARTF_USESTDHANDLES) != 0;
    std::optional<StdHandles> handles;
    if (useStd) {
      handles.emplace(startup);
      si.hStdInput = (*handles)[0];
      si.hStdOutput = (*handles)[1];
      si.hStdError = (*handles)[2];
    }
    ::PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(app.empty() ? nullptr : W(app), cl.empty() ? nullptr : W(cl.data()), nullptr, nullptr,
                          useStd ? TRUE : FALSE, creationFlags, nullptr, dir.empty() ? nullptr : W(dir), &si, &pi)) {
      return FALSE;
    }
    info->hProcess = pi.hProcess;
    info->hThread = pi.hThread;
    info->dwProcessId = pi.dwProcessId;
    info->dwThreadId = pi.dwThreadId;
    return TRUE;
  }

  win::BOOL ShellExecuteExW(win::SHELLEXECUTEINFOW* info) override {
    ::SHELLEXECUTEINFOW e{};
    e.cbSize = sizeof e;
    e.fMask = info->fMask;
    e.hwnd = reinterpret_cast<::HWND>(info->hwnd);
    e.lpVerb = info->lpVerb.empty() ? nullptr : W(info->lpVerb);
    e.lpFile = W(info->lpFile);
    e.lpParameters = info->lpParameters.empty() ? nullptr : W(info->lpParameters);
    e.lpDirectory = info->lpDirectory.empty() ? nullptr : W(info->lpDirectory);
    e.nShow = info->nShow;
    const ::BOOL ok = ::ShellExecuteExW(&e);
    const DWORD error = ::GetLastError();
    info->hInstApp = reinterpret_cast<win::HINSTANCE>(e.hInstApp);
    info->hProcess = (info->fMask & SEE_MASK_NOCLOSEPROCESS) ? e.hProcess : nullptr;
    ::SetLastError(error);
    return ok ? TRUE : FALSE;
  }

  win::BOOL DuplicateHandle(win::HANDLE sourceProcess, win::HANDLE source, win::HANDLE targetProcess,
                            win::HANDLE* target, win::DWORD access, win::BOOL inherit, win::DWORD options) override {
    ::HANDLE out = nullptr;
    if (!::DuplicateHandle(Handle(sourceProcess), Handle(source), Handle(targetProcess), &out, access, inherit,
                           options)) {
      return FALSE;
    }
    *target = out;
    return TRUE;
  }

  win::DWORD GetCurrentProcessId() override { return ::GetCurrentProcessId(); }
  std::u16string GetCommandLineW() override { return U(::GetCommandLineW()); }

  [[noreturn]] void ExitProcess(win::UINT exitCode) override {
    std::fflush(nullptr);
    ::ExitProcess(exitCode);
  }
};

}  // namespace

std::unique_ptr<win::IProcesses> MakeProcesses() { return std::make_unique<Win32Processes>(); }

}  // namespace win32
