#include "updater/update_flow.h"

#include "config/registry_layout.h"
#include "crypto/digest.h"
#include "platform/file_util.h"
#include "platform/platform.h"
#include "protocol/certificates.h"
#include "protocol/server_messages.h"
#include "protocol/server_queries.h"
#include "syscontrol/agent_service.h"
#include "syscontrol/agent_stop.h"
#include "updater/config_update.h"
#include "updater/file_placement.h"
#include "updater/install_transaction.h"
#include "updater/module_download.h"
#include "updater/release_stamp.h"
#include "updater/uninstall.h"

namespace qz {

using namespace win;

namespace {

constexpr char16_t kTag[] = u"TarlinUpdater";
constexpr char16_t kFunc[] = u"UpdateAgentModule";

// Install mode: the files the installer unpacked beside this program become the agent.
bool PlaceInstalledAgent(UpdaterRun& u) {
  std::u16string source = Files().GetModuleFileNameW();
  source = source.substr(0, source.rfind(u'\\'));
  // Staged in the module folder and moved into place by the journaled install step, so that an
  // install cut short over an existing agent is finished or undone by the next run of any mode,
  // never left half one build and half another.
  const std::u16string& module = u.folders().module;
  CreateFolderPath(module);
  CopyAgentFiles(u, source, module);
  u.plan = {};
  for (std::u16string_view name : kAgentFiles) {
    Digest d{};
    if (DigestPreparedFile(u, name, &d)) u.plan.files[FoldCase(name)] = d;
  }
  InstallAgentModules(u, 0);
  CopyMsDllToSystemFolder(u, source);
  RunOrletUninstallerIfPossible(u, source);
  return RunServiceCommand(u.sys, u"install");
}

// Update mode: fetch what changed since the installed build and put it in place.
bool FetchAndInstallUpdate(UpdaterRun& u, uint32_t* build) {
  const uint32_t old = ReadAgentBuildNumber(u);
  UpdateInfo info;
  QueryBuilder q;
  if (GetUpdateInfo(u.agent, &info, q)) {
    *build = info.build;
    u.logger->Log(kTag, kFunc, kLogSystem, u"Build number: %u --> %u", old, *build);
  } else {
    *build = 0;
    u.logger->Log(kTag, kFunc, kLogWarning, u"에이전트 새 빌드 번호 얻기 실패");
  }
  DeleteDownloadesAgentFile(u, u"*.qz");
  // Partial downloads of the very next build are resumed; anything else starts afresh.
  if (*build == 0 || *build - old != 1) DeleteDownloadesAgentFile(u, u"*.tmp");
  if (!DownloadAgentModeulDefinitionFile(u.agent)) return false;
  const bool prepared = DownloadAgentModules(u);
  // The signed build outranks the answer, which nothing vouches for.
  if (u.plan.signedBuild && *u.plan.signedBuild != *build) {
    u.logger->Log(kTag, kFunc, kLogWarning, u"Signed build %u differs from the server's answer %u: %u is recorded",
                  *u.plan.signedBuild, *build, *u.plan.signedBuild);
    *build = *u.plan.signedBuild;
  }
  if (!prepared || !InstallAgentModules(u, *build)) return false;
  if (u.plan.configChecksum) WriteServerConfigChecksum(u, *u.plan.configChecksum);
  if (u.plan.signedBuild && !RecordHighestBuild(u, *u.plan.signedBuild))
    u.logger->Log(kTag, kFunc, kLogInfo, u"Fail to write the highest build: %u", *u.plan.signedBuild);
  return true;
}

}  // namespace

uint32_t ReadAgentBuildNumber(UpdaterRun& u) {
  AgentRegKey agent;
  if (OpenAgentKey(KEY_READ, &agent) != 0) return 0;
  uint32_t build = 0;
  if (u.config.store.ReadAgentBuild(agent, &build) != 0) build = 0;
  return build;
}

bool WriteAgentBuildNumber(UpdaterRun& u, uint32_t build) {
  AgentRegKey agent;
  if (OpenOrCreateAgentKey(&agent) != 0) return false;
  return u.config.store.WriteAgentBuild(agent, build) == 0;
}

bool UpdateAgentModule(UpdaterRun& u) {
  const bool install = u.command.install;
  StopAllAgentProcess(u.sys);
  u.logger->Log(kTag, kFunc, kLogSystem, u"OS Code: %08X", u.os.osCode);

  bool success = false;
  uint32_t build = 0;
  const std::u16string& folder = u.folders().install;
  if (!u.workDirectory.Enter(folder)) {
    u.logger->Log(kTag, kFunc, kLogWarning, u"%u - 작업 폴더 변경 실패: %s", GetLastError(), folder);
  } else {
    success = install ? PlaceInstalledAgent(u) : FetchAndInstallUpdate(u, &build);
  }

  if (success) {
    if (install) {
      Report(u.agent, kMsgInstallSucceeded, kReportKindNotice);
      if (u.configRecord.showMsg) Ui().MessageBoxW(nullptr, kTextInstalled, kCaptionInstalled, MB_OK);
    } else {
      Report(u.agent, kMsgUpdateSucceeded, kReportKindNotice, build);
    }
    if (!WriteAgentBuildNumber(u, build))
      u.logger->Log(kTag, kFunc, kLogInfo, u"Fail to write build number: %u", build);
  } else if (install) {
    Report(u.agent, kMsgInstallFailed, kReportKindNotice);
  } else {
    Report(u.agent, kMsgUpdateFailed, kReportKindNotice, build);
  }

  if (u.command.restart) RunServiceCommand(u.sys, u"start");
  return success;
}

}  // namespace qz
