// The installer's payload: its work folders, the archive and archive tool written out of its own
// resources, the archive test and unpacking, and the program helpers both flows use.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "installer/resource_ids.h"
#include "platform/types.h"

namespace qz {

// Preparation results besides 0.
inline constexpr int kSystemFolderNotExpanded = 100;
inline constexpr int kSetupFolderNotExpanded = 101;
inline constexpr int kSetupFolderNotCreated = 102;
inline constexpr int kInstallFolderNotExpanded = 103;
inline constexpr int kInstallFolderNotCreated = 104;
inline constexpr int kToolNotWritten = 3001;
inline constexpr int kArchiveNotWritten = 3002;
inline constexpr int kToolNotStarted = 3003;
inline constexpr int kArchiveDamaged = 3004;
inline constexpr int kUninstallDone = 119;
// The install build's payload lacks a file the install cannot do without; reported as the
// settings document's errors are (text 305).
inline constexpr int kPayloadFileMissing = 39;

inline constexpr char16_t kSetupFolderTemplate[] = u"%systemdrive%\\bc8f992f5df34654945e6e32a5aa400c";
inline constexpr char16_t kInstallFolderTemplate[] = u"%ProgramFiles%\\varnholt\\KSM";
inline constexpr char16_t kSystemFolderTemplate[] = u"%windir%\\system32";
inline constexpr char16_t kArchiveFileName[] = u"InstallArchive.zip";
inline constexpr char16_t kArchiveToolFileName[] = u"ExtractXzr.exe";

// The archive test keeps this much of the tool's output.
inline constexpr size_t kTestOutputLimit = 1023;

struct InstallerFolders {
  std::u16string setup, install, system;
  std::string setupAnsi, installAnsi, systemAnsi;  // ANSI code page copies
};

// Receives the target path of each copy while the install window shows status texts.
using StatusSink = std::function<void(std::u16string_view)>;

// The build mode the installer was built with; empty when it carries none.
std::u16string InstallerBuildMode();

// Folders, payload written out, archive tested and unpacked, CA certificate imported. 0, or one
// of the codes above; the folders found so far are in *folders. Whatever stood at the setup
// folder's place before is removed first (a link as a link), and the folder is made afresh for
// administrators only; when that cannot be done the result is kSetupFolderNotCreated.
int PreparePayload(InstallerFolders* folders);

// The install build's payload: 0 when the setup folder holds server.cfg, qzTarlinSvc.exe and
// qzUpdater.exe, else kPayloadFileMissing.
int CheckInstallPayload(const InstallerFolders& folders);

// After a preparation that did not return 0 (the uninstall flow's 119 or an error): deletes the
// setup folder, shows the result's message and records the outcome ("119" after the uninstall
// flow, else the text shown). The caller ends with exit code 1.
void EndPreparation(int result, const InstallerFolders& folders, bool korean);

// Writes resource id of type "FILE" as folder\fileName: 1, or 0 when the resource is missing or
// empty or the file cannot be created. A failing write records "File Export Error" as the
// outcome and ends the process with exit code 1.
int WritePayloadResource(int id, std::u16string_view folder, std::u16string_view fileName);

// Runs setup\ExtractXzr.exe with arguments, keeping the first 1,023 bytes of its output.
// 0, kToolNotStarted, or kArchiveDamaged when that output holds "ERROR".
int RunArchiveTest(const InstallerFolders& folders, std::u16string_view arguments);

// Starts folder\program (program alone without a folder) hidden: elevated through the shell
// from Vista on, else with CreateProcessW and the program path quoted. Waits without limit when
// wait is set. Outcomes are not reported.
void RunProgram(bool wait, std::u16string_view folder, std::u16string_view program, std::u16string_view arguments);

// How a program that RunProgramToEnd waited for ended.
struct ProgramEnd {
  bool started = false;
  win::DWORD error = 0;     // the start's error when it did not start
  win::DWORD exitCode = 0;  // its exit code when it did
};
// RunProgram, waiting, for a caller that needs to know how the program ended.
ProgramEnd RunProgramToEnd(std::u16string_view folder, std::u16string_view program, std::u16string_view arguments);

// Copies setup\fileName to target\fileName after a 50 ms pause, overwriting; a missing source
// leaves the target alone. True when the copy was made.
bool CopySetupFile(const InstallerFolders& folders, std::u16string_view fileName, std::u16string_view targetFolder,
                   const StatusSink& status = nullptr);

// Deletes the setup folder's files, then the folder through the shell; what stays is scheduled
// for deletion at the next restart. True when the shell removed the folder; false at once when
// no setup folder is known yet.
bool DeleteSetupFolder(const InstallerFolders& folders);

// The shell deletion of one path, followed by a deletion scheduled for the next restart.
bool ShellDeletePath(std::u16string_view path);

}  // namespace qz
