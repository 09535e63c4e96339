// The desktop on the real API: top-level windows, sent and broadcast messages, debug output.
#include <string>

#include "platform/desktop.h"
#include "platform/win32/services.h"

#include "platform/win32/win_api.h"

namespace win32 {

namespace {

::HWND Hwnd(win::HWND w) { return reinterpret_cast<::HWND>(w); }
win::HWND Hwnd(::HWND w) { return reinterpret_cast<win::HWND>(w); }

::BOOL CALLBACK CollectWindow(::HWND window, LPARAM param) {
  reinterpret_cast<std::vector<win::HWND>*>(param)->push_back(Hwnd(window));
  return TRUE;
}

// The class the system's own windows are made of: they only need to exist and take messages.
const wchar_t* EnsureClass(const std::u16string& name) {
  const ::HINSTANCE self = ::GetModuleHandleW(nullptr);
  ::WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  if (!::GetClassInfoExW(self, W(name), &wc)) {
    wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = ::DefWindowProcW;
    wc.hInstance = self;
    wc.lpszClassName = W(name);
    ::RegisterClassExW(&wc);
  }
  return W(name);
}

class Win32Desktop : public win::IDesktop {
 public:
  win::HWND FindWindowW(const char16_t* className, const char16_t* windowName) override {
    return Hwnd(::FindWindowW(className ? W(className) : nullptr, windowName ? W(windowName) : nullptr));
  }

  win::HWND CreateWindowExW(win::DWORD exStyle, std::u16string_view className, std::u16string_view windowName,
                            win::DWORD style) override {
    const std::u16string cls(className), title(windowName);
    return Hwnd(::CreateWindowExW(exStyle, EnsureClass(cls), W(title), style, 0, 0, 0, 0, nullptr, nullptr,
                                  ::GetModuleHandleW(nullptr), nullptr));
  }

  win::BOOL DestroyWindow(win::HWND window) override { return ::DestroyWindow(Hwnd(window)) ? TRUE : FALSE; }

  win::LRESULT SendMessageW(win::HWND window, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam) override {
    return ::SendMessageW(Hwnd(window), msg, wParam, lParam);
  }

  win::LRESULT SendMessageTimeoutW(win::HWND window, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam,
                                   win::UINT flags, win::UINT timeoutMs, win::DWORD_PTR* result) override {
    ::DWORD_PTR r = 0;
    const ::LRESULT sent = ::SendMessageTimeoutW(Hwnd(window), msg, wParam, lParam, flags, timeoutMs, &r);
    if (result) *result = r;
    return sent;
  }

  win::BOOL CloseWindow(win::HWND window) override { return ::CloseWindow(Hwnd(window)) ? TRUE : FALSE; }
  win::BOOL IsIconic(win::HWND window) override { return ::IsIconic(Hwnd(window)) ? TRUE : FALSE; }

  void OutputDebugStringW(std::u16string_view text) override {
    const std::u16string t(text);
    ::OutputDebugStringW(W(t));
  }

  std::vector<win::HWND> EnumWindows() override {
    std::vector<win::HWND> all;
    ::EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&all));
    return all;
  }

  win::DWORD GetWindowThreadProcessId(win::HWND window, win::DWORD* pid) override {
    DWORD p = 0;
    const DWORD thread = ::GetWindowThreadProcessId(Hwnd(window), &p);
    if (pid) *pid = p;
    return thread;
  }

  win::BOOL PostMessageW(win::HWND window, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam) override {
    return ::PostMessageW(Hwnd(window), msg, wParam, lParam) ? TRUE : FALSE;
  }
};

}  // namespace

std::unique_ptr<win::IDesktop> MakeDesktop() { return std::make_unique<Win32Desktop>(); }

}  // namespace win32
