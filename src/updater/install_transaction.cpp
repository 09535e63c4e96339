#include "updater/install_transaction.h"

#include <string>
#include <vector>

#include "platform/file_util.h"
#include "platform/platform.h"
#include "updater/module_download.h"
#include "updater/workflow_log.h"

namespace qz {

namespace {

using namespace win;


bool Hidden(std::u16string_view name) { return name.empty() || name[0] == u'.'; }

}  // namespace

bool InstallAgentModules(UpdaterRun& u, uint32_t build) {
  constexpr char16_t kFunc[] = u"InstallAgentModules";
  const std::u16string& installFolder = u.folders().install;
  const std::u16string& moduleFolder = u.folders().module;
  if (!PathExists(moduleFolder)) return true;

  bool result = true;
  for (const std::u16string& name : ListNames(Fmt(u"%s\\*", moduleFolder))) {
    if (Hidden(name)) continue;
    const std::u16string installed = Fmt(u"%s\\%s", installFolder, name);
    if (PathExists(installed)) {
      const std::u16string backup = Fmt(u"%s\\%s.r%u", installFolder, name, build);
      if (!Files().MoveFileExW(installed, backup, MOVEFILE_REPLACE_EXISTING)) {
        Log(u, kFunc, kLogWarning, u"%u - %s: 모듈 백업 실패", GetLastError(), name);
        result = false;
        break;
      }
    }
    const std::u16string source = Fmt(u"%s\\%s", moduleFolder, name);
    if (!Files().MoveFileExW(source, installed, MOVEFILE_REPLACE_EXISTING)) {
      Log(u, kFunc, kLogWarning, u"모듈 설치 실패(%u): [%s] -> [%s]", GetLastError(), source, installed);
      result = false;
      break;
    }
    Log(u, kFunc, kLogSystem, u"%s: 모듈을 업데이트 함", name);
  }

  if (result) {
    DeleteBackupFile(u, build);
  } else {
    ResotreAgentModules(u, build);
  }
  return result;
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
