#include "updater/session_steps.h"


#include "platform/platform.h"
#include "protocol/alive_cycle.h"
#include "protocol/certificates.h"
#include "protocol/server_queries.h"
#include "syscontrol/agent_service.h"
#include "syscontrol/agent_stop.h"
#include "updater/uninstall.h"
#include "updater/update_flow.h"

namespace qz {

bool RunServerSessionSteps(UpdaterRun& u) {
  const bool install = u.command.mode == UpdaterMode::Install;
  BindPublicIp(u.agent);
  if (install) RequestTemporaryWebUsage(u.agent);
  // Its result is tested where the module work begins.
  u.workDirectory.Enter(u.folders().install);
  if (!install && !(OpenCACertificate(u.agent, true) && LoadCertificates(u.agent, true))) {
    u.logger->Log(u"", u"Main", kLogSystem, u"인증서 열기 실패");
    return false;
  }
  QueryBuilder q;
  if (const int32_t r = QueryManagerServerSetting(u.agent, q); r < 0)
    u.logger->Log(u"", u"Main", kLogWarning, u"언어 설정 요청 실패: %d", r);
  if (install) return true;
  if (!u.alive.CreateWakeEvent()) {
    u.logger->Log(u"", u"Main", kLogWarning, u"alive 쓰레드 시작 실패: %d", 9);
    return true;
  }
  if (const int r = u.alive.Start(u.agent))
    u.logger->Log(u"", u"Main", kLogWarning, u"alive 쓰레드 시작 실패: %d", r);
  return true;
}

int RunInstallAndUpdate(UpdaterRun& u) {
  if (!RunServerSessionSteps(u)) {
    // Whatever failed, an installed agent is not left stopped (an earlier run may have stopped it).
    if (u.command.restart && IsAgentServiceInstalled()) RunServiceCommand(u.sys, u"start");
    return kExitCertificates;
  }
  u.logger->LogText(kLogSystem, u"========================= 에이전트 모듈 설치 시작 ======================");
  u.success = UpdateAgentModule(u);
  u.logger->Log(u"", u"Main", kLogSystem, u.success ? u"에이전트 모듈 설치 성공" : u"에이전트 모듈 설치 실패");
  if (u.command.install) RemoveSetupFolder(u);
  return kExitDone;
}

}  // namespace qz
