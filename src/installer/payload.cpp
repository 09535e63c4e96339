// The installer's payload and program helpers.
#include "installer/payload.h"

#include <optional>
#include <vector>

#include "config/registry_layout.h"
#include "installer/startup.h"
#include "platform/file_util.h"
#include "platform/platform.h"
#include "platform/shell.h"
#include "platform/text.h"

namespace qz {

using namespace win;

namespace {

constexpr DWORD kMaxFolderChars = MAX_PATH - 1;

std::u16string ResourceId(int id) { return u"#" + Utf8ToWide(std::to_string(id)); }

// ExpandEnvironmentStringsW into a buffer of MAX_PATH characters.
std::optional<std::u16string> ExpandFolder(std::u16string_view folderTemplate) {
  std::u16string expanded = Files().ExpandEnvironmentStringsW(folderTemplate);
  if (expanded.empty() || expanded.size() > kMaxFolderChars) return std::nullopt;
  return expanded;
}

// Every prefix of path that ends before a separator not following a drive colon.
void CreateParents(std::u16string_view path) {
  for (size_t i = 1; i < path.size(); ++i) {
    if ((path[i] == u'\\' || path[i] == u'/') && path[i - 1] != u':') Files().CreateDirectoryW(path.substr(0, i));
  }
}

// One entry: GENERIC_ALL for the built-in Administrators, inherited by sub-folders and files.
bool AdministratorsOnlyDescriptor(SECURITY_DESCRIPTOR* sd) {
  EXPLICIT_ACCESS_W ea;
  ea.grfAccessPermissions = GENERIC_ALL;
  ea.grfAccessMode = SET_ACCESS;
  ea.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  ea.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  ea.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  if (!AllocateAndInitializeSid(SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                0, 0, 0, 0, &ea.Trustee.ptstrName)) {
    return false;
  }
  ACL acl;
  if (SetEntriesInAclW({ea}, nullptr, &acl) != ERROR_SUCCESS) return false;
  return InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION) && SetSecurityDescriptorDacl(sd, TRUE, &acl, FALSE);
}

int PrepareFolders(InstallerFolders* f) {
  auto setup = ExpandFolder(kSetupFolderTemplate);
  if (!setup) return kSetupFolderNotExpanded;
  f->setup = *setup;
  f->setupAnsi = WideToAnsi(f->setup);
  // Whatever stands there (a crashed run's folder, or one planted with other programs, other
  // rights or as a link elsewhere) is never used: it goes whole, a link as a link.
  if (PathExists(f->setup)) {
    DeleteFolderTree(f->setup, false);
    if (PathExists(f->setup)) return kSetupFolderNotCreated;
  }
  CreateParents(f->setup);
  SECURITY_DESCRIPTOR sd;
  if (!AdministratorsOnlyDescriptor(&sd)) return kSetupFolderNotCreated;
  SECURITY_ATTRIBUTES sa;
  sa.lpSecurityDescriptor = &sd;
  // Made by this run or not at all: one that appeared meanwhile is not ours.
  if (!Files().CreateDirectoryW(f->setup, &sa)) return kSetupFolderNotCreated;

  auto install = ExpandFolder(kInstallFolderTemplate);
  if (!install) return kInstallFolderNotExpanded;
  f->install = *install;
  f->installAnsi = WideToAnsi(f->install);
  if (!FolderExists(f->install)) {
    CreateParents(f->install);
    if (!Files().CreateDirectoryW(f->install) && !FolderExists(f->install)) return kInstallFolderNotCreated;
  }

  auto system = ExpandFolder(kSystemFolderTemplate);
  if (!system) return kSystemFolderNotExpanded;
  f->system = *system;
  f->systemAnsi = WideToAnsi(f->system);
  return 0;
}

DWORD OsNumber() {
  OSVERSIONINFOEXW v;
  if (!Os().GetVersionExW(&v)) return 0;
  return v.dwMajorVersion * 10 + v.dwMinorVersion;
}

}  // namespace

std::u16string InstallerBuildMode() {
  auto bytes = Resources().LoadResourceBytes(kBuildModeResourceType, kBuildModeResourceName, 0);
  if (!bytes) return u"";
  return Utf8ToWide(std::string(bytes->begin(), bytes->end()));
}

int WritePayloadResource(int id, std::u16string_view folder, std::u16string_view fileName) {
  auto data = Resources().LoadResourceBytes(kPayloadResourceType, ResourceId(id), 0);
  if (!data || data->empty() || static_cast<uint64_t>(data->size()) > 0xFFFFFFFFull) return 0;

  CreateParents(folder);
  Files().CreateDirectoryW(folder);

  std::u16string path = std::u16string(folder) + u"\\" + std::u16string(fileName);
  HANDLE file = Files().CreateFileW(path, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  if (file == INVALID_HANDLE_VALUE) return 0;
  DWORD written = 0;
  const DWORD size = static_cast<DWORD>(data->size());
  // A short write leaves a truncated program or archive: as bad as a failed one.
  if (!Files().WriteFile(file, data->data(), size, &written) || written != size) {
    WriteInstallerOutcome(u"File Export Error");
    Processes().ExitProcess(1);
  }
  CloseHandle(file);
  return 1;
}

int RunArchiveTest(const InstallerFolders& folders, std::u16string_view arguments) {
  IFileSystem& files = Files();
  SECURITY_ATTRIBUTES sa;
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!files.CreatePipe(&readEnd, &writeEnd, &sa, 0)) return kToolNotStarted;
  HANDLE out = nullptr, err = nullptr;
  HANDLE self = GetCurrentProcess();
  bool duplicated = Processes().DuplicateHandle(self, writeEnd, self, &out, 0, TRUE, DUPLICATE_SAME_ACCESS) &&
                    Processes().DuplicateHandle(self, writeEnd, self, &err, 0, TRUE, DUPLICATE_SAME_ACCESS);
  // Only the inheritable copies may stay open, or the read below never sees the end.
  CloseHandle(writeEnd);
  auto closeAll = [&] {
    if (out) CloseHandle(out);
    if (err) CloseHandle(err);
    CloseHandle(readEnd);
  };
  if (!duplicated) {
    closeAll();
    return kToolNotStarted;
  }

  std::u16string cmd = folders.setup + u"\\" + kArchiveToolFileName + u" " + std::u16string(arguments);
  STARTUPINFOW si;
  si.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
  si.wShowWindow = SW_HIDE;
  si.hStdOutput = out;
  si.hStdError = err;
  PROCESS_INFORMATION pi;
  if (!Processes().CreateProcessW(u"", cmd, CREATE_NO_WINDOW, u"", si, &pi)) {
    closeAll();
    return kToolNotStarted;
  }
  CloseHandle(pi.hThread);
  CloseHandle(out);
  CloseHandle(err);
  out = err = nullptr;

  // Output past the limit is read and dropped, so the tool never blocks on a full pipe.
  std::string output;
  char piece[127];
  DWORD got = 0;
  while (files.ReadFile(readEnd, piece, sizeof piece, &got)) {
    if (output.size() < kTestOutputLimit) output.append(piece, std::min<size_t>(got, kTestOutputLimit - output.size()));
  }
  CloseHandle(readEnd);
  CloseHandle(pi.hProcess);
  return output.find("ERROR") != std::string::npos ? kArchiveDamaged : 0;
}

namespace {

ProgramEnd StartProgram(bool wait, std::u16string_view folder, std::u16string_view program,
                        std::u16string_view arguments) {
  ProgramEnd end;
  HANDLE process = nullptr;
  HANDLE thread = nullptr;
  std::u16string path = folder.empty() ? std::u16string(program) : std::u16string(folder) + u"\\" + std::u16string(program);
  if (OsNumber() > 52) {
    SHELLEXECUTEINFOW info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NO_CONSOLE;
    info.lpVerb = u"runas";
    info.lpFile = path;
    info.lpParameters = std::u16string(arguments);
    info.lpDirectory = std::u16string(folder);
    info.nShow = SW_HIDE;
    if (!Processes().ShellExecuteExW(&info) || !info.hProcess) {
      end.error = GetLastError();
      return end;
    }
    process = info.hProcess;
  } else {
    // Quoted, so that a blank in the path cannot make CreateProcessW start a planted program.
    std::u16string cmd = u"\"" + path + u"\"";
    if (!arguments.empty()) cmd += u" " + std::u16string(arguments);
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    if (!Processes().CreateProcessW(u"", cmd, CREATE_NO_WINDOW, folder, si, &pi)) {
      end.error = GetLastError();
      return end;
    }
    process = pi.hProcess;
    thread = pi.hThread;
  }
  end.started = true;
  if (wait) {
    Time().WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    if (Processes().GetExitCodeProcess(process, &code)) end.exitCode = code;
  }
  CloseHandle(process);
  if (thread) CloseHandle(thread);
  return end;
}

}  // namespace

void RunProgram(bool wait, std::u16string_view folder, std::u16string_view program, std::u16string_view arguments) {
  StartProgram(wait, folder, program, arguments);
}

ProgramEnd RunProgramToEnd(std::u16string_view folder, std::u16string_view program, std::u16string_view arguments) {
  return StartProgram(true, folder, program, arguments);
}

int PreparePayload(InstallerFolders* folders) {
  if (int r = PrepareFolders(folders)) return r;
  if (!WritePayloadResource(kPayloadArchiveResourceId, folders->setup, kArchiveFileName)) {
    DeleteSetupFolder(*folders);
    return kArchiveNotWritten;
  }
  if (!WritePayloadResource(kArchiveToolResourceId, folders->setup, kArchiveToolFileName)) {
    DeleteSetupFolder(*folders);
    return kToolNotWritten;
  }
  if (int r = RunArchiveTest(*folders, u"t " + folders->setup + u"\\" + kArchiveFileName)) return r;
  RunProgram(true, folders->setup, kArchiveToolFileName,
             std::u16string(u"x ") + kArchiveFileName + u" -y -o" + folders->setup);
  RunProgram(true, folders->setup, u"certmgr.exe", u"-add qorv-ca.pem -c -s -r LocalMachine Root");
  return 0;
}

int CheckInstallPayload(const InstallerFolders& folders) {
  for (const char16_t* name : {u"server.cfg", u"qzTarlinSvc.exe", u"qzUpdater.exe"}) {
    const DWORD a = Files().GetFileAttributesW(folders.setup + u"\\" + name);
    if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_DIRECTORY)) return kPayloadFileMissing;
  }
  return 0;
}

void EndPreparation(int result, const InstallerFolders& folders, bool korean) {
  DeleteSetupFolder(folders);
  InstallerMessage m = PreparationMessage(result, korean);
  Ui().MessageBoxW(nullptr, m.text, m.caption, m.icon);
  WriteInstallerOutcome(result == kUninstallDone ? u"119" : m.text.c_str());
}

bool CopySetupFile(const InstallerFolders& folders, std::u16string_view fileName, std::u16string_view targetFolder,
                   const StatusSink& status) {
  Time().Sleep(50);
  std::u16string source = folders.setup + u"\\" + std::u16string(fileName);
  std::u16string target = std::u16string(targetFolder) + u"\\" + std::u16string(fileName);
  if (status) status(target);
  return Files().CopyFileW(source, target, FALSE) != FALSE;
}

bool ShellDeletePath(std::u16string_view path) {
  SHFILEOPSTRUCTW op;
  op.wFunc = FO_DELETE;
  op.pFrom = std::u16string(path) + u'\0' + u'\0';
  op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION;
  bool removed = SHFileOperationW(&op) == 0;
  Time().Sleep(100);
  DeleteAtRestart(path);
  return removed;
}

bool DeleteSetupFolder(const InstallerFolders& folders) {
  // Without a setup folder the listing below would be the root of the current drive.
  if (folders.setup.empty()) return false;
  // A link that could not be replaced is removed as a link; what it points at is never listed.
  if (IsFolderLink(Files().GetFileAttributesW(folders.setup))) {
    return RemoveFolderNowOrAtRestart(folders.setup) == Removal::Now;
  }
  for (const auto& entry : ListFolder(folders.setup + u"\\*.*")) {
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const std::u16string path = folders.setup + u"\\" + entry.cFileName;
    Files().DeleteFileW(path);
    ShellDeletePath(path);
  }
  return ShellDeletePath(folders.setup);
}

}  // namespace qz
