// Exports that older Windows versions lack are looked up when called, so the program still loads
// there (a missing import would stop it before its first line runs).
#pragma once

#include "platform/win32/win_api.h"

namespace win32 {

template <class Fn>
Fn Export(const wchar_t* module, const char* name) {
  HMODULE m = ::GetModuleHandleW(module);
  return m ? reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(m, name))) : nullptr;
}

}  // namespace win32
