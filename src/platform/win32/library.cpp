// Dynamic-link libraries on the real API: Windows' own search order and ".dll" default.
#include <string>

#include "platform/library.h"
#include "platform/win32/services.h"

#include "platform/win32/win_api.h"

namespace win32 {

namespace {

class Win32Libraries : public win::ILibraries {
 public:
  win::HMODULE LoadLibraryW(std::u16string_view fileName) override {
    const std::u16string name(fileName);
    return reinterpret_cast<win::HMODULE>(::LoadLibraryW(W(name)));
  }

  win::FARPROC GetProcAddress(win::HMODULE module, std::string_view procName) override {
    const std::string name(procName);
    return reinterpret_cast<win::FARPROC>(
        reinterpret_cast<void*>(::GetProcAddress(reinterpret_cast<::HMODULE>(module), name.c_str())));
  }

  win::BOOL FreeLibrary(win::HMODULE module) override {
    return ::FreeLibrary(reinterpret_cast<::HMODULE>(module)) ? TRUE : FALSE;
  }
};

}  // namespace

std::unique_ptr<win::ILibraries> MakeLibraries() { return std::make_unique<Win32Libraries>(); }

}  // namespace win32
