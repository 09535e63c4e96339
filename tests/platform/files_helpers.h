// Helpers of the file tests: a file opened as a caller opens it, and results written as a caller
// sees them ("ok", "ok N" for a success's last error, "error N").
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace filetest {

using namespace win;

constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;

inline HANDLE Open(std::u16string_view path, DWORD access, DWORD share, DWORD creation = OPEN_EXISTING,
                   DWORD flags = 0) {
  return Files().CreateFileW(path, access, share, creation, flags);
}

// Runs a BOOL-returning call and reports "ok" or "error N".
inline std::string Result(BOOL ok) { return ok ? "ok" : "error " + std::to_string(GetLastError()); }

// Opens and closes at once; reports the result and the last error of a success, as a caller sees them.
inline std::string OpenResult(std::u16string_view path, DWORD access, DWORD share, DWORD creation, DWORD flags = 0) {
  HANDLE h = Open(path, access, share, creation, flags);
  if (h == INVALID_HANDLE_VALUE) return "error " + std::to_string(GetLastError());
  DWORD err = GetLastError();
  CloseHandle(h);
  return err ? "ok " + std::to_string(err) : "ok";
}

}  // namespace filetest
