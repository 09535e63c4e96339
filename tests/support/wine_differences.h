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
  // RegCreateKeyExW of a new subkey through a handle opened without KEY_CREATE_SUB_KEY: Windows
  // ERROR_ACCESS_DENIED (5); Wine creates it (0).
  RegCreateWithoutCreateSubKeyRight,
  // Subkeys enumerate sorted by their upper-cased names on Windows, so "_under" comes after
  // "Alpha", "beta", "Gamma" and "gamma2" (index 4); Wine compares lower-cased (index 0).
  RegSubkeyOrderOfUnderscore,
  // Values enumerate in the order they were made on Windows: of "z", "a", "M" made in that order
  // "z" is index 0; Wine sorts them by name (index 2).
  RegValueOrderOfFirstMade,
  // A folder made with a DACL of one entry reads back that one explicit entry on Windows (1);
  // Wine reads back two of its own built from the Unix mode (Local System, the owner), neither
  // of them the one given (2).
  FolderDaclEntriesOfCreatedDacl,
  // A folder made without a security descriptor reads back no explicit DACL on Windows (0, its
  // entries are inherited); Wine reports one built from the Unix mode (1).
  FolderWithoutDaclHasExplicitDacl,
  // MoveFileW of a folder that holds an open file: Windows ERROR_ACCESS_DENIED (5); Wine
  // renames it (0).
  RenameFolderHoldingAnOpenFile,
  // A file with FILE_ATTRIBUTE_READONLY opened for writing, or copied onto: Windows
  // ERROR_ACCESS_DENIED (5); Wine, running as root here, lets it through (0).
  WriteToReadOnlyFileAsRoot,
  // GetVersionExW with a structure size it does not know fails on both; Windows sets
  // ERROR_INSUFFICIENT_BUFFER (122), Wine leaves the last error as it was (0 in the test).
  VersionUnknownSizeLastError,
  // A Toolhelp process snapshot starts with the idle process (process id 0) on Windows (1);
  // Wine lists no idle process (0).
  SnapshotListsIdleProcess,
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
