// The installer's start-up: texts, language, build mode, single-instance test and version gate.
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"

namespace qz {

// The installer's string-table text in English or Korean; empty for an unknown id.
std::u16string InstallerText(int id, bool korean);

// True when the user's default UI language is Korean (1042).
bool InstallerKoreanFlag();

enum class InstallerFlow { Uninstall, Install };
struct BuildModeSplit {
  InstallerFlow flow = InstallerFlow::Install;
  // Empty: the show mode comes from the settings document.
  std::u16string showMode;
};
// Case-sensitive substring tests, "-uninstall" first.
BuildModeSplit SplitBuildMode(std::u16string_view mode);

// Copies of the running program's file name (exact letter case) in a snapshot of all processes,
// the snapshot's first entry (the idle process) not compared.
int CountOwnInstances();

// VerifyVersionInfoW with VER_EQUAL on the major version and on each other part given (>= 0).
bool WindowsVersionIs(win::DWORD major, int minor = -1, int spMajor = -1, int productType = -1);

// IsWow64Process: a 32-bit program on 64-bit Windows.
bool Is64BitWindows();

// Windows XP SP3, Server 2003 and later; not 2000, older XP, nor XP x64 without SP3.
bool WindowsVersionAccepted();

struct InstallerMessage {
  std::u16string text;
  std::u16string caption;
  win::UINT icon = 0;
};
// The message shown when the preparation ends with result r (not 0).
InstallerMessage PreparationMessage(int r, bool korean);
// The message shown when the settings document or the install payload stops the install (code
// 1..39): text 305 with the code, caption 323, the warning icon.
InstallerMessage SettingsMessage(int code, bool korean);

inline constexpr char16_t kUninstallCaption[] = u"VH-KSM Agent Uninstall";

// Outcomes of the installer's own, beside the string table's texts.
enum class InstallerOutcome {
  NotDeleted,    // "%d": the updater's exit code or the error that kept it from starting
  NotInstalled,  // "%d": kInstallFileCheckFailed or kInstallServiceCheckFailed
  Cancelled,     // the window closed before the install started
};
std::u16string InstallerOutcomeText(InstallerOutcome outcome, bool korean);

}  // namespace qz
