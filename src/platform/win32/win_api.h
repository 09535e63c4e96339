// How a win32 backend file sees <windows.h>: after the project's headers, never before them.
// The project's headers define no Windows macro (CALLBACK, WINAPI, ...), so <windows.h> declares
// every callback with the Windows calling convention; on i686 a wrong one corrupts the stack.
// After this header the Windows macros (TRUE, DELETE, INFINITE, ...) shadow the win:: constants
// of the same names: backend code uses the Windows spelling and converts at the edge.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the win32 backend needs 16-bit wchar_t");

namespace win32 {

// Project text (UTF-16 in char16_t) as the API's wide strings, and back.
inline const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
inline const wchar_t* W(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
inline wchar_t* W(char16_t* s) { return reinterpret_cast<wchar_t*>(s); }
inline std::u16string U(const wchar_t* s) {
  return s ? std::u16string(reinterpret_cast<const char16_t*>(s)) : std::u16string();
}
inline std::u16string U(const wchar_t* s, size_t n) {
  return s ? std::u16string(reinterpret_cast<const char16_t*>(s), n) : std::u16string();
}

// Handles and keys are the same pointers on both sides.
inline ::HKEY Key(win::HKEY k) { return reinterpret_cast<::HKEY>(k); }
inline win::HKEY Key(::HKEY k) { return reinterpret_cast<win::HKEY>(k); }
inline ::HANDLE Handle(win::HANDLE h) { return static_cast<::HANDLE>(h); }

}  // namespace win32
