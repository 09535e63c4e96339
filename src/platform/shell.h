// The shell's file operation (SHFileOperationW), built on the file services so that it behaves
// the same on every backend: a deletion removes folders with everything in them.
#pragma once

#include <string>

#include "platform/types.h"

namespace win {

constexpr UINT FO_MOVE = 0x1;
constexpr UINT FO_COPY = 0x2;
constexpr UINT FO_DELETE = 0x3;
constexpr UINT FO_RENAME = 0x4;

constexpr WORD FOF_SILENT = 0x4;
constexpr WORD FOF_NOCONFIRMATION = 0x10;
constexpr WORD FOF_ALLOWUNDO = 0x40;
constexpr WORD FOF_FILESONLY = 0x80;
constexpr WORD FOF_NOERRORUI = 0x400;

struct SHFILEOPSTRUCTW {
  HWND hwnd = nullptr;
  UINT wFunc = 0;
  // Paths separated by NULs and ended by an empty one ("a\0b\0\0"); a single path without its
  // final NULs is accepted as well. The last component may hold wildcards.
  std::u16string pFrom;
  std::u16string pTo;
  WORD fFlags = 0;
  BOOL fAnyOperationsAborted = FALSE;
};

// 0 when every named item is gone; otherwise the Windows error of the first item that could not
// be removed (what could be removed is removed). Only FO_DELETE is supported (ERROR_NOT_SUPPORTED).
int SHFileOperationW(SHFILEOPSTRUCTW* operation);

}  // namespace win
