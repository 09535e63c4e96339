// The desktop as the system touches it: top-level windows, sent and broadcast messages, and
// debug output. On a simulated machine each of these is recorded in the desktop journal.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace win {

using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using DWORD_PTR = uintptr_t;

constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_SETREDRAW = 0x000B;
constexpr UINT WM_WININICHANGE = 0x001A;
constexpr UINT WM_SETTINGCHANGE = WM_WININICHANGE;
constexpr UINT SPI_SETNONCLIENTMETRICS = 0x002A;

constexpr UINT SMTO_NORMAL = 0x0;
constexpr UINT SMTO_BLOCK = 0x1;
constexpr UINT SMTO_ABORTIFHUNG = 0x2;

inline const HWND HWND_BROADCAST = reinterpret_cast<HWND>(static_cast<uintptr_t>(0xFFFF));

class IDesktop {
 public:
  virtual ~IDesktop() = default;
  // nullptr matches any class or title; an empty text matches only an empty one.
  virtual HWND FindWindowW(const char16_t* className, const char16_t* windowName) = 0;
  // A top-level window of the calling process; it goes when the process ends.
  virtual HWND CreateWindowExW(DWORD exStyle, std::u16string_view className, std::u16string_view windowName,
                               DWORD style) = 0;
  virtual BOOL DestroyWindow(HWND window) = 0;
  virtual LRESULT SendMessageW(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) = 0;
  // HWND_BROADCAST reaches every top-level window; non-zero when the send succeeded.
  virtual LRESULT SendMessageTimeoutW(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags,
                                      UINT timeoutMs, DWORD_PTR* result) = 0;
  // Minimises (does not destroy) a window.
  virtual BOOL CloseWindow(HWND window) = 0;
  virtual BOOL IsIconic(HWND window) = 0;
  virtual void OutputDebugStringW(std::u16string_view text) = 0;

  // EnumWindows in one call: every top-level window of the machine.
  virtual std::vector<HWND> EnumWindows() { return {}; }
  // The owning process's id in *pid; 0 when the window does not exist.
  virtual DWORD GetWindowThreadProcessId(HWND window, DWORD* pid) {
    if (pid) *pid = 0;
    return 0;
  }
  virtual BOOL PostMessageW(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) { return FALSE; }
};

}  // namespace win
