// The last error and CloseHandle of a simulated machine: every handle is one of the platform's table.
#include "platform/platform.h"

namespace win {

namespace {
thread_local DWORD tLastError = 0;
}  // namespace

DWORD GetLastError() { return tLastError; }
void SetLastError(DWORD code) { tLastError = code; }

BOOL CloseHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !Handles().Close(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

}  // namespace win
