// The platform of a real Windows process: every service on the real API, and the last error and
// CloseHandle of the API itself.
#include "platform/win32/services.h"

#include "platform/win32/win_api.h"

namespace win32 {

Win32Platform::Win32Platform() {
  SetRegistry(MakeRegistry());
  SetFiles(MakeFiles());
  SetOs(MakeOsInfo());
  SetProcesses(MakeProcesses());
  SetTime(MakeTime());
  SetUi(MakeUi());
  SetCom(MakeCom());
  SetHttp(MakeHttp());
  SetServices(MakeServiceManager());
  SetRpc(MakeRpc());
  SetLibraries(MakeLibraries());
  SetTasks(MakeTasks());
  SetDesktop(MakeDesktop());
  SetSecurity(MakeSecurity());
  SetResources(MakeResources());
  // Windows and GDI stay unset: nothing that runs on this backend draws yet.
}

}  // namespace win32

namespace win {

DWORD GetLastError() { return ::GetLastError(); }
void SetLastError(DWORD code) { ::SetLastError(code); }

BOOL CloseHandle(HANDLE handle) {
  // The table's handles (test fakes) lie above every kernel handle value, so one lookup tells them apart.
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE && Platform::HasCurrent() && Handles().Close(handle)) {
    return TRUE;
  }
  return ::CloseHandle(win32::Handle(handle)) ? TRUE : FALSE;
}

}  // namespace win
