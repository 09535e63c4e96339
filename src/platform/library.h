// Dynamic-link libraries, shaped like LoadLibraryW/GetProcAddress/FreeLibrary. A loaded
// library's file cannot be deleted or opened for writing until it is freed.
#pragma once

#include <string_view>

#include "platform/types.h"

namespace win {

using HMODULE = HINSTANCE;
using FARPROC = void (*)();

constexpr DWORD ERROR_MOD_NOT_FOUND = 126;

class ILibraries {
 public:
  virtual ~ILibraries() = default;
  // A bare name is searched as Windows does: the program's folder, the system folder, the
  // Windows folder, the current folder, then PATH; ".dll" is added when the name has no extension.
  virtual HMODULE LoadLibraryW(std::u16string_view fileName) = 0;
  virtual FARPROC GetProcAddress(HMODULE module, std::string_view procName) = 0;
  virtual BOOL FreeLibrary(HMODULE module) = 0;
};

}  // namespace win
