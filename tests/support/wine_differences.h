// Where Wine, which runs the Windows build's tests, answers differently from Windows. A test that
// meets one of these expects Expected(difference): the Windows value, or Wine's when the test runs
// under Wine. Nothing else in the tests accepts a Wine answer.
#pragma once

#include <cstdint>
#include <span>

namespace qztest {

enum class WineDifference {
  // Every process holds an elevated administrator token (TokenElevation is 1 even for a
  // program that did not ask for it); on Windows a plain program of a protected administrator
  // runs with elevation 0.
  EveryProcessElevated,
  // StartServiceW of a kernel driver whose file is missing: Windows ERROR_FILE_NOT_FOUND (2),
  // Wine ERROR_DLL_INIT_FAILED (1114).
  StartDriverMissingFile,
  // WinHTTP with strict certificate checks against a server certified by an unknown CA:
  // Windows ERROR_WINHTTP_SECURE_FAILURE (12175), Wine ERROR_WINHTTP_SECURE_CHANNEL_ERROR (12157).
  StrictTlsUnknownCa,
  // The same request's SECURE_FAILURE notification: Windows sends it first with
  // WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA (8); Wine sends none (0).
  StrictTlsSecureFailureFlags,
  // QueryServiceConfigW of a kernel driver created with a drive path: Windows reports the path
  // in NT form, \??\C:\... (1); Wine as it was given (0).
  DriverPathInNtForm,
  // MessageBoxW needs a display: without one Wine returns 0 at once; Windows always shows the
  // box (the Wine runner starts Xvfb, so a run there is not expected to meet this).
  MessageBoxWithoutDisplay,
};

struct WineDifferenceEntry {
  WineDifference what;
  const char* name;
  int64_t windows;  // the value on Windows
  int64_t wine;     // the value under Wine
};

// Every known difference, once.
std::span<const WineDifferenceEntry> WineDifferences();
const WineDifferenceEntry& WineDifferenceOf(WineDifference what);

// True when this process runs under Wine (ntdll exports wine_get_version); false on winsim, on
// Windows and in a host test with no platform set up. Leaves the last error as it was.
bool UnderWine();

// The value a test must see here: Windows' value, or Wine's under Wine. Under Wine it notes the
// difference on standard error ("wine difference met: NAME"), so the runner can list what it met.
int64_t Expected(WineDifference what);

}  // namespace qztest
