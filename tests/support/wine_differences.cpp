#include "support/wine_differences.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace qztest {

namespace {

constexpr WineDifferenceEntry kDifferences[] = {
    {WineDifference::EveryProcessElevated, "every process elevated", 0, 1},
    {WineDifference::StartDriverMissingFile, "StartService on a missing driver file", 2, 1114},
    {WineDifference::StrictTlsUnknownCa, "strict TLS to an unknown CA", 12175, 12157},
    {WineDifference::StrictTlsSecureFailureFlags, "secure-failure flags of strict TLS to an unknown CA", 8, 0},
    {WineDifference::DriverPathInNtForm, "a driver's path in NT form in its service configuration", 1, 0},
    {WineDifference::MessageBoxWithoutDisplay, "MessageBoxW without a display", 1, 0},
    {WineDifference::RegCreateWithoutCreateSubKeyRight, "RegCreateKeyExW without KEY_CREATE_SUB_KEY", 5, 0},
    {WineDifference::RegSubkeyOrderOfUnderscore, "subkey order of a name starting with '_'", 4, 0},
    {WineDifference::RegValueOrderOfFirstMade, "value order (made, not sorted by name)", 0, 2},
    {WineDifference::FolderDaclEntriesOfCreatedDacl, "explicit entries of a folder made with a DACL", 1, 2},
    {WineDifference::FolderWithoutDaclHasExplicitDacl, "explicit DACL of a folder made without one", 0, 1},
    {WineDifference::RenameFolderHoldingAnOpenFile, "renaming a folder that holds an open file", 5, 0},
    {WineDifference::WriteToReadOnlyFileAsRoot, "writing to a read-only file (Wine as root)", 5, 0},
    {WineDifference::VersionUnknownSizeLastError, "last error of GetVersionExW with an unknown size", 122, 0},
    {WineDifference::SnapshotListsIdleProcess, "the idle process first in a process snapshot", 1, 0},
};

}  // namespace

std::span<const WineDifferenceEntry> WineDifferences() { return kDifferences; }

const WineDifferenceEntry& WineDifferenceOf(WineDifference what) {
  for (const auto& d : kDifferences) {
    if (d.what == what) return d;
  }
  std::abort();  // every enumerator has its row
}

bool UnderWine() {
  // A host test with no Windows platform set up runs on no Windows at all.
  if (!win::Platform::HasCurrent()) return false;
  static const bool wine = [] {
    win::DWORD saved = win::GetLastError();
    auto& libraries = win::Libraries();
    bool found = false;
    if (win::HMODULE ntdll = libraries.LoadLibraryW(u"ntdll.dll")) {
      found = libraries.GetProcAddress(ntdll, "wine_get_version") != nullptr;
      libraries.FreeLibrary(ntdll);
    }
    win::SetLastError(saved);
    return found;
  }();
  return wine;
}

int64_t Expected(WineDifference what) {
  const auto& d = WineDifferenceOf(what);
  bool met = UnderWine();
  if (met && what == WineDifference::MessageBoxWithoutDisplay) {
    std::u16string display;
    met = !win::Files().GetEnvironmentVariableW(u"DISPLAY", &display) || display.empty();
  }
  if (!met) return d.windows;
  std::fprintf(stderr, "wine difference met: %s (Windows %lld, Wine %lld)\n", d.name,
               static_cast<long long>(d.windows), static_cast<long long>(d.wine));
  return d.wine;
}

}  // namespace qztest
