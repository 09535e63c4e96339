// Message boxes and COM's GUIDs on the real API.
#include "platform/ui.h"
#include "platform/win32/services.h"

#include "platform/win32/win_api.h"
#include <objbase.h>

namespace win32 {

namespace {

class Win32Ui : public win::IUserInterface {
 public:
  int MessageBoxW(win::HWND owner, std::u16string_view text, std::u16string_view caption, win::UINT type) override {
    const std::u16string t(text), c(caption);
    return ::MessageBoxW(reinterpret_cast<::HWND>(owner), W(t), W(c), type);
  }
};

class Win32Com : public win::ICom {
 public:
  win::HRESULT CoCreateGuid(win::GUID* guid) override {
    ::GUID g{};
    const HRESULT hr = ::CoCreateGuid(&g);
    if (FAILED(hr)) return hr;
    guid->Data1 = g.Data1;
    guid->Data2 = g.Data2;
    guid->Data3 = g.Data3;
    for (int i = 0; i < 8; ++i) guid->Data4[i] = g.Data4[i];
    return hr;
  }
};

}  // namespace

std::unique_ptr<win::IUserInterface> MakeUi() { return std::make_unique<Win32Ui>(); }
std::unique_ptr<win::ICom> MakeCom() { return std::make_unique<Win32Com>(); }

}  // namespace win32
