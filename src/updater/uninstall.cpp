#include "updater/uninstall.h"

#include "config/registry_layout.h"
#include "platform/file_util.h"
#include "platform/platform.h"
#include "syscontrol/agent_ipc.h"
#include "syscontrol/agent_service.h"
#include "syscontrol/agent_stop.h"
#include "syscontrol/driver_service.h"
#include "syscontrol/media_control.h"
#include "syscontrol/update_list.h"
#include "updater/file_placement.h"

namespace qz {

using namespace win;

namespace {

constexpr char16_t kTag[] = u"TarlinUpdater";
constexpr DWORD kUsersNameChars = 260;
// Longest registry value name, terminator included.
constexpr DWORD kValueNameChars = 16384;

void WaitUntilServiceIsGone() {
  for (int i = 0; i < 10; ++i) {
    Time().Sleep(1000);
    if (!IsAgentServiceInstalled()) return;
  }
}

}  // namespace

int RunUninstallMode(UpdaterRun& u) {
  ILogger& log = *u.logger;
  const bool expunge = u.command.expunge;
  log.Log(u"", u"Main", kLogSystem, u"== 에이전트 삭제 시도 (%c) ===", expunge ? u'A' : u'U');

  SetEnablePatchUninstallable(log);
  if (!expunge) RefreshExplorer(log);
  log.Log(u"", u"Main", kLogWarning, u"패치 목록 활성화 완료");

  if (DeleteAgentTaskSchedule(log)) {
    log.Log(u"", u"Main", kLogWarning, u"작업 스케줄 삭제 성공");
  } else {
    log.Log(u"", u"Main", kLogWarning, u"작업 스케줄 삭제 실패");
  }

  UninstallAgent(u);
  RemoveUninstallFolder(u);
  return kExitDone;
}

void UninstallAgent(UpdaterRun& u) {
  ILogger& log = *u.logger;
  const SysContext& sys = u.sys;

  UninstallMenuAndLink(log, u.bindings);
  StopAllAgentProcess(sys);
  if (!RunServiceCommand(sys, u"uninstall")) log.Log(kTag, u"UninstallAgent", kLogWarning, u"에이전트 서비스 삭제 실패");
  WaitUntilServiceIsGone();

  // The devices are unblocked through the agent's own library, so before its folder goes.
  MediaController media(log);
  // From here on the install folder is current, as the programs started below expect.
  u.workDirectory.Enter(u.folders().install);
  media.LoadComDrvFunction(u.folders().install);
  if (media.IsLoaded()) {
    log.Log(kTag, u"UninstallAgent", kLogSystem, u"매체 제어 복원");
    media.SetUSBStorageBlock();
    media.SetWifiBlock();
    media.SetBluetoothBlock();
  }

  RemoveRunningDrivers(u.drivers);

  // The folders go before the registry that names them: a removal cut short in the middle of the
  // files is finished by the next run, which needs the registry to find them.
  const std::u16string assistantFolder = Files().ExpandEnvironmentStringsW(kAssistantFolderTemplate);
  if (!DeleteFolderTree(u, assistantFolder, false)) {
    log.Log(kTag, u"UninstallAgent", kLogWarning, u"%u - 보조 에이전트 폴더 삭제 실패", GetLastError());
  }
  if (!DeleteFolderTree(u, u.folders().install, false)) {
    log.Log(kTag, u"UninstallAgent", kLogWarning, u"%u - 작업 폴더 삭제 실패", GetLastError());
  }

  RemoveAgentRegistry(u);
  if (u.os.osCode & kOsMaskXpOr2003) RemovePostPlatformMark(u);
  log.Log(kTag, u"UninstallAgent", kLogInfo, u"에이전트 삭제 완료");
}

void RemoveAgentRegistry(UpdaterRun& u) {
  ILogger& log = *u.logger;
  IRegistry& reg = Registry();

  // Registry calls return their error rather than setting the thread's last error.
  if (const LONG rc = DeleteProductTree(HKEY_LOCAL_MACHINE)) {
    log.Log(kTag, u"RemoveAgentRegistry", kLogWarning, u"%u - 레지스트리 삭제 실패", static_cast<DWORD>(rc));
  }

  for (DWORD i = 0;; ++i) {
    char16_t name[kUsersNameChars];
    DWORD n = kUsersNameChars;
    const LONG rc = reg.RegEnumKeyExW(HKEY_USERS, i, name, &n);
    if (rc == ERROR_MORE_DATA) continue;  // a name longer than the buffer: the next one
    if (rc != ERROR_SUCCESS) break;       // the end, or an enumeration that cannot go on
    HKEY user = nullptr;
    if (reg.RegOpenKeyExW(HKEY_USERS, std::u16string_view(name, n), 0, KEY_READ, &user) != ERROR_SUCCESS) continue;
    DeleteProductTree(user);
    reg.RegCloseKey(user);
  }

  HKEY safeBoot = nullptr;
  if (reg.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSafeBootNetworkKey, 0, KEY_ALL_ACCESS, &safeBoot) == ERROR_SUCCESS) {
    const LONG rc = reg.RegDeleteKeyW(safeBoot, kAgentServiceName);
    reg.RegCloseKey(safeBoot);
    if (rc != ERROR_SUCCESS && rc != static_cast<LONG>(ERROR_FILE_NOT_FOUND)) {
      log.Log(kTag, u"RemoveAgentRegistry", kLogWarning, u"%u - 안전모드 정보 삭제 실패", static_cast<DWORD>(rc));
    }
  }

  auto gone = [](LONG rc) { return rc == ERROR_SUCCESS || rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND); };
  LONG rc = reg.SHDeleteKeyW(HKEY_CLASSES_ROOT, kAppwizClassKey);
  if (gone(rc)) rc = reg.SHDeleteKeyW(HKEY_CLASSES_ROOT, kAppwizEdgeClassKey);
  if (!gone(rc)) log.Log(kTag, u"RemoveAgentRegistry", kLogWarning, u"%u - Appwiz 정보 삭제 실패", static_cast<DWORD>(rc));
}

void RemovePostPlatformMark(UpdaterRun&) {
  IRegistry& reg = Registry();
  HKEY key = nullptr;
  if (reg.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPostPlatformKey, 0, KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE,
                        &key) != ERROR_SUCCESS) {
    return;
  }
  std::u16string name(kValueNameChars, u'\0');
  for (DWORD i = 0;; ++i) {
    DWORD n = kValueNameChars;
    if (reg.RegEnumValueW(key, i, name.data(), &n, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    const std::u16string_view valueName(name.data(), n);
    if (valueName.substr(0, 4) == u"Q-T$") {
      reg.RegDeleteValueW(key, valueName);
      break;
    }
  }
  reg.RegCloseKey(key);
}

bool DeleteFolderTree(UpdaterRun&, std::u16string_view path, bool listFailure) {
  return win::DeleteFolderTree(path, listFailure);
}

void RemoveSetupFolder(UpdaterRun& u) {
  // The fixed folder itself, whatever the run's initialisation recorded: never an empty path.
  const std::u16string folder = Files().ExpandEnvironmentStringsW(kSetupFolderTemplate);
  if (!DeleteFolderTree(u, folder, false)) {
    u.logger->Log(kTag, u"RemoveSetupFolder", kLogWarning, u"%u - 설치 폴더 삭제 실패", GetLastError());
  }
}

void RemoveUninstallFolder(UpdaterRun& u) {
  const std::u16string folder = Files().ExpandEnvironmentStringsW(kUninstallFolderTemplate);
  if (!PathExists(folder)) return;
  if (!DeleteFolderTree(u, folder, false)) {
    u.logger->Log(kTag, u"RemoveUninstallFolder", kLogWarning, u"%u - 설치 제거 폴더 삭제 실패", GetLastError());
  }
}

void RunOrletUninstallerIfPossible(UpdaterRun& u, std::u16string_view folder) {
  std::u16string program;
  if (!BuildPath(folder, kOrletUninstaller, &program)) return;
  if (!PathExists(program)) return;
  SHELLEXECUTEINFOW info;
  info.cbSize = sizeof(info);
  info.lpFile = program;
  info.nShow = 0;
  if (Processes().ShellExecuteExW(&info)) {
    u.logger->Log(kTag, u"RunOrletUninstallerIfPossible", kLogSystem, u"오를렛 에이전트 삭제");
  } else {
    u.logger->Log(kTag, u"RunOrletUninstallerIfPossible", kLogWarning, u"오를렛 에이전트 삭제 시도 실패");
  }
}

}  // namespace qz
