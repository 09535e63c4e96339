#include "updater/install_transaction.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "crypto/digest.h"
#include "platform/file_handle.h"
#include "platform/file_util.h"
#include "platform/platform.h"
#include "updater/install_journal.h"
#include "updater/module_download.h"
#include "updater/workflow_log.h"

namespace qz {

namespace {

using namespace win;

constexpr char16_t kUpdaterProgramName[] = u"qzUpdater.exe";

bool Hidden(std::u16string_view name) { return name.empty() || name[0] == u'.'; }

bool HasDigest(std::u16string_view path, const Digest& expected) {
  Digest d{};
  return DigestFile(path, &d) && d == expected;
}

uint64_t SizeOf(const WIN32_FIND_DATAW& e) { return uint64_t{e.nFileSizeHigh} << 32 | e.nFileSizeLow; }

// A prepared file as the install step lists it, still as this run digested it.
bool CheckedUnchanged(UpdaterRun& u, const WIN32_FIND_DATAW& e, const Digest& expected) {
  const auto it = u.plan.checked.find(FoldCase(e.cFileName));
  return it != u.plan.checked.end() && it->second.digest == expected && it->second.size == SizeOf(e) &&
         it->second.written == e.ftLastWriteTime;
}

// Where one step's files are.
struct StepPaths {
  std::u16string installed, prepared, backup;
};

StepPaths PathsOf(UpdaterRun& u, const InstallJournal& j, const InstallStep& s) {
  return {Fmt(u"%s\\%s", u.folders().install, s.name), Fmt(u"%s\\%s", u.folders().module, s.name),
          Fmt(u"%s\\%s.r%u", u.folders().install, s.name, j.build)};
}

std::u16string JournalPath(UpdaterRun& u) { return Fmt(u"%s\\%s", u.folders().install, kInstallJournalName); }

// Written whole and flushed: the moves begin only once it is on the disk.
bool WriteJournal(UpdaterRun& u, const InstallJournal& journal) {
  const std::string text = FormatInstallJournal(journal);
  FileHandle file(Files().CreateFileW(JournalPath(u), GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL));
  if (!file.IsOpen()) return false;
  DWORD written = 0;
  return Files().WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written) &&
         written == text.size() && Files().FlushFileBuffers(file.get());
}

// The updater's own program in the install folder, unless it is the one running (a running
// program can be renamed but not replaced).
bool KeptInPlace(UpdaterRun& u, std::u16string_view name, std::u16string_view installed) {
  return FoldCase(name) == FoldCase(kUpdaterProgramName) && FoldCase(Files().GetModuleFileNameW()) != FoldCase(installed);
}

// One step forward: the installed file (if any) to its backup, the new file into place.
bool DoStep(UpdaterRun& u, const InstallJournal& j, const InstallStep& s, std::u16string_view func) {
  const StepPaths p = PathsOf(u, j, s);
  if (s.kind == InstallStep::Kind::Remove) {
    if (!PathExists(p.installed)) return true;
    if (Files().MoveFileExW(p.installed, p.backup, MOVEFILE_REPLACE_EXISTING)) {
      Log(u, func, kLogSystem, u"%s: 모듈 삭제함", s.name);
    } else if (DeleteFileNowOrAtRestart(p.installed) != Removal::Failed) {
      // In use and not even renamed: it goes at the next restart, as a deletion always could.
      Log(u, func, kLogSystem, u"%s: 모듈 삭제함", s.name);
    } else {
      Log(u, func, kLogWarning, u"%s: 모듈 삭제 실패", s.name);
    }
    return true;
  }
  if (!PathExists(p.prepared) && HasDigest(p.installed, s.digest)) return true;  // already in place
  if (PathExists(p.installed) && KeptInPlace(u, s.name, p.installed)) {
    // The updater is what repairs a cut-short install, so its program is never missing: the
    // backup is a copy (made under a module-folder name, which recovery clears if cut short) and
    // the new file replaces it in one rename.
    const std::u16string staged = Fmt(u"%s\\%s.r%u", u.folders().module, s.name, j.build);
    if (!Files().CopyFileW(p.installed, staged, FALSE) ||
        !Files().MoveFileExW(staged, p.backup, MOVEFILE_REPLACE_EXISTING)) {
      Log(u, func, kLogWarning, u"%u - %s: 모듈 백업 실패", GetLastError(), s.name);
      return false;
    }
  } else if (PathExists(p.installed) && !Files().MoveFileExW(p.installed, p.backup, MOVEFILE_REPLACE_EXISTING)) {
    Log(u, func, kLogWarning, u"%u - %s: 모듈 백업 실패", GetLastError(), s.name);
    return false;
  }
  if (!Files().MoveFileExW(p.prepared, p.installed, MOVEFILE_REPLACE_EXISTING)) {
    Log(u, func, kLogWarning, u"모듈 설치 실패(%u): [%s] -> [%s]", GetLastError(), p.prepared, p.installed);
    return false;
  }
  Log(u, func, kLogSystem, u"%s: 모듈을 업데이트 함", s.name);
  return true;
}

// Undoes the first count steps, last first: every backup back under its name, and a new file that
// replaced nothing back into the module folder, so the previous build is whole again. True when
// nothing of the new build is left in place.
bool RollBack(UpdaterRun& u, const InstallJournal& j, size_t count) {
  constexpr char16_t kFunc[] = u"ResotreAgentModules";
  bool whole = true;
  const size_t undone = j.steps.size() - std::min(count, j.steps.size());
  for (auto it = j.steps.rbegin() + static_cast<std::ptrdiff_t>(undone); it != j.steps.rend(); ++it) {
    const StepPaths p = PathsOf(u, j, *it);
    if (PathExists(p.backup)) {
      if (!Files().MoveFileExW(p.backup, p.installed, MOVEFILE_REPLACE_EXISTING)) {
        Log(u, kFunc, kLogWarning, u"%u - %s.r%u: 모듈 복원 실패", GetLastError(), it->name, j.build);
        whole = false;
      }
    } else if (it->kind == InstallStep::Kind::Put && !it->replaces && HasDigest(p.installed, it->digest)) {
      if (!CreateFolderPath(u.folders().module) ||
          !Files().MoveFileExW(p.installed, p.prepared, MOVEFILE_REPLACE_EXISTING)) {
        Log(u, kFunc, kLogWarning, u"%u - %s: 모듈 복원 실패", GetLastError(), it->name);
        whole = false;
      }
    }
  }
  return whole;
}

// After the last step: the backups go, then the journal.
void Commit(UpdaterRun& u, const InstallJournal& j) {
  DeleteBackupFile(u, j.build);
  DeleteFileNowOrAtRestart(JournalPath(u));
}

// Every new file of the journal is installed or prepared, with the digest the journal gives it.
bool AllAtHand(UpdaterRun& u, const InstallJournal& j) {
  for (const InstallStep& s : j.steps) {
    if (s.kind != InstallStep::Kind::Put) continue;
    const StepPaths p = PathsOf(u, j, s);
    if (!HasDigest(p.installed, s.digest) && !HasDigest(p.prepared, s.digest)) return false;
  }
  return true;
}

void ResolveJournal(UpdaterRun& u, bool* pending) {
  constexpr char16_t kFunc[] = u"RecoverInterruptedInstall";
  const std::u16string path = JournalPath(u);
  *pending = false;
  if (!PathExists(path)) return;
  std::string text;
  InstallJournal j;
  if (!ReadWholeFile(path, &text, kInstallJournalLimit) || !ParseInstallJournal(text, &j)) {
    // Written whole before the first move: one that does not parse was cut short before any.
    Log(u, kFunc, kLogWarning, u"Unreadable install journal dropped");
    DeleteFileNowOrAtRestart(path);
    return;
  }
  if (AllAtHand(u, j)) {
    bool done = true;
    for (const InstallStep& s : j.steps) {
      if (!DoStep(u, j, s, kFunc)) {
        done = false;
        break;
      }
    }
    if (done) {
      Log(u, kFunc, kLogSystem, u"Interrupted install of build %u completed", j.build);
      Commit(u, j);
      return;
    }
  }
  if (RollBack(u, j, j.steps.size())) {
    Log(u, kFunc, kLogSystem, u"Interrupted install of build %u rolled back", j.build);
    DeleteFileNowOrAtRestart(path);
    return;
  }
  // Kept, with what it names, for the next run to try again.
  Log(u, kFunc, kLogWarning, u"Interrupted install of build %u not resolved", j.build);
  *pending = true;
}

}  // namespace

bool IsBackupName(std::u16string_view name) {
  const size_t dot = name.rfind(u".r");
  if (dot == std::u16string_view::npos || dot == 0 || dot + 2 == name.size()) return false;
  for (char16_t c : name.substr(dot + 2)) {
    if (c < u'0' || c > u'9') return false;
  }
  return true;
}

bool DigestPreparedFile(UpdaterRun& u, std::u16string_view name, Digest* digest) {
  const std::u16string key = FoldCase(name);
  const std::u16string path = Fmt(u"%s\\%s", u.folders().module, name);
  u.plan.checked.erase(key);
  // Taken first: a change while the file is read shows as another size or write time.
  const std::vector<WIN32_FIND_DATAW> before = ListFolder(path);
  if (!DigestFile(std::u16string_view(path), digest)) return false;
  if (before.size() == 1 && !(before[0].dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    u.plan.checked[key] = {*digest, SizeOf(before[0]), before[0].ftLastWriteTime};
  return true;
}

bool InstallAgentModules(UpdaterRun& u, uint32_t build) {
  constexpr char16_t kFunc[] = u"InstallAgentModules";
  const std::u16string& installFolder = u.folders().install;
  const std::u16string& moduleFolder = u.folders().module;
  const bool haveFolder = PathExists(moduleFolder);
  if (!haveFolder && u.plan.removals.empty()) return true;

  InstallJournal journal;
  journal.build = build;
  for (const WIN32_FIND_DATAW& e : ListFolder(Fmt(u"%s\\*", moduleFolder))) {
    const std::u16string& name = e.cFileName;
    if (Hidden(name) || (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    const auto planned = u.plan.files.find(FoldCase(name));
    const std::u16string prepared = Fmt(u"%s\\%s", moduleFolder, name);
    // Only what this definition names, exactly as it names it: a file left by an earlier run for
    // another build, or damaged since, is not installed.
    if (planned == u.plan.files.end() ||
        !(CheckedUnchanged(u, e, planned->second) || HasDigest(prepared, planned->second))) {
      Log(u, kFunc, kLogWarning, u"%s: prepared file dropped", name);
      DeleteFileNowOrAtRestart(prepared);
      continue;
    }
    InstallStep s;
    s.name = name;
    s.digest = planned->second;
    s.replaces = PathExists(Fmt(u"%s\\%s", installFolder, name));
    journal.steps.push_back(std::move(s));
  }
  for (const std::u16string& name : u.plan.removals) {
    if (!PathExists(Fmt(u"%s\\%s", installFolder, name))) continue;
    InstallStep s;
    s.kind = InstallStep::Kind::Remove;
    s.name = name;
    journal.steps.push_back(std::move(s));
  }
  if (journal.steps.empty()) {
    DeleteBackupFile(u, build);
    return true;
  }

  if (!WriteJournal(u, journal)) {
    Log(u, kFunc, kLogWarning, u"%u - install journal not written", GetLastError());
    DeleteFileNowOrAtRestart(JournalPath(u));
    return false;
  }
  size_t attempted = 0;
  bool result = true;
  for (const InstallStep& s : journal.steps) {
    ++attempted;
    if (!DoStep(u, journal, s, kFunc)) {
      result = false;
      break;
    }
  }
  if (result) {
    Commit(u, journal);
  } else if (RollBack(u, journal, attempted)) {
    DeleteFileNowOrAtRestart(JournalPath(u));
  }
  return result;
}

void RecoverInterruptedInstall(UpdaterRun& u) {
  constexpr char16_t kFunc[] = u"RecoverInterruptedInstall";
  const std::u16string& installFolder = u.folders().install;
  const std::u16string& moduleFolder = u.folders().module;
  if (installFolder.empty() || !PathExists(installFolder)) return;
  bool pending = false;
  ResolveJournal(u, &pending);
  if (pending) return;

  // Backups no installation needs any more. One whose file is missing is the only copy left of it
  // (a run cut short before journals were kept): it goes back under its name.
  for (const std::u16string& name : ListNames(Fmt(u"%s\\*.r*", installFolder))) {
    if (!IsBackupName(name)) continue;
    const std::u16string backup = Fmt(u"%s\\%s", installFolder, name);
    const std::u16string target = backup.substr(0, backup.rfind(u'.'));
    if (!PathExists(target) && Files().MoveFileExW(backup, target, 0)) {
      Log(u, kFunc, kLogSystem, u"%s: backup restored", name);
    } else {
      DeleteFileNowOrAtRestart(backup);
      Log(u, kFunc, kLogInfo, u"%s: stale backup removed", name);
    }
  }
  // Prepared files of no pending installation; partial downloads stay for the download's own rule.
  for (const WIN32_FIND_DATAW& e : ListFolder(Fmt(u"%s\\*", moduleFolder))) {
    const std::u16string& name = e.cFileName;
    if (Hidden(name) || (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    if (WildcardMatch(u"*.tmp", name)) continue;
    DeleteFileNowOrAtRestart(Fmt(u"%s\\%s", moduleFolder, name));
    Log(u, kFunc, kLogInfo, u"%s: prepared file removed", name);
  }
}

void DeleteBackupFile(UpdaterRun& u, uint32_t build) {
  const std::u16string& installFolder = u.folders().install;
  const std::vector<std::u16string> backups = ListNames(Fmt(u"%s\\*.r%u", installFolder, build));
  if (backups.empty()) {
    Log(u, u"DeleteBackupFile", kLogInfo, u"Backup 파일이 없음");
    return;
  }
  for (const std::u16string& name : backups) DeleteFileNowOrAtRestart(Fmt(u"%s\\%s", installFolder, name));
}

void ResotreAgentModules(UpdaterRun& u, uint32_t build) {
  constexpr char16_t kFunc[] = u"ResotreAgentModules";
  const std::u16string& installFolder = u.folders().install;
  const std::vector<std::u16string> backups = ListNames(Fmt(u"%s\\*.r%u", installFolder, build));
  if (backups.empty()) {
    Log(u, kFunc, kLogWarning, u"Backup 파일이 없음");
    return;
  }
  for (const std::u16string& name : backups) {
    const std::u16string backup = Fmt(u"%s\\%s", installFolder, name);
    const std::u16string target = backup.substr(0, backup.rfind(u'.'));
    if (!Files().MoveFileExW(backup, target, MOVEFILE_REPLACE_EXISTING))
      Log(u, kFunc, kLogWarning, u"%u - %s: 모듈 복원 실패", GetLastError(), name);
  }
}

void DeleteDownloadesAgentFile(UpdaterRun& u, std::u16string_view pattern) {
  constexpr char16_t kFunc[] = u"DeleteDownloadesAgentFile";
  const std::u16string& moduleFolder = u.folders().module;
  const std::vector<std::u16string> matches = ListNames(Fmt(u"%s\\%s", moduleFolder, pattern));
  if (matches.empty()) {
    Log(u, kFunc, kLogInfo, u"해당 파일이 없음: %s", pattern);
    return;
  }
  Log(u, kFunc, kLogSystem, u"이전 파일 삭제 시도: %s", pattern);
  for (const std::u16string& name : matches) {
    if (!Hidden(name)) DeleteFileNowOrAtRestart(Fmt(u"%s\\%s", moduleFolder, name));
  }
}

}  // namespace qz
