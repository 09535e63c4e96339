// The user-facing surface: message boxes now; the installer's window joins later.
#pragma once

#include <string_view>

#include "platform/types.h"

namespace win {

constexpr UINT MB_OK = 0x0;
constexpr UINT MB_OKCANCEL = 0x1;
constexpr UINT MB_YESNO = 0x4;
constexpr UINT MB_ICONERROR = 0x10;
constexpr UINT MB_ICONWARNING = 0x30;
constexpr UINT MB_ICONINFORMATION = 0x40;
constexpr UINT MB_TOPMOST = 0x40000;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

class IUserInterface {
 public:
  virtual ~IUserInterface() = default;
  virtual int MessageBoxW(HWND owner, std::u16string_view text, std::u16string_view caption, UINT type) = 0;
};

class ICom {
 public:
  virtual ~ICom() = default;
  virtual HRESULT CoCreateGuid(GUID* guid) = 0;
};

}  // namespace win
