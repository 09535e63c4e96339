#include "updater/session_steps.h"

#include "platform/platform.h"
#include "protocol/alive_cycle.h"
#include "protocol/server_queries.h"

namespace qz {

void RunServerSessionSteps(UpdaterContext& u) {
  const bool install = u.command.mode == UpdaterMode::Install;
  BindPublicIp(u.agent);
  if (install) RequestTemporaryWebUsage(u.agent);
  win::Files().SetCurrentDirectoryW(u.config.settings.installFolder);
  // Update mode: the server certificates are opened here once the certificate work exists.
  QueryBuilder q;
  if (const int32_t r = QueryManagerServerSetting(u.agent, q); r < 0)
    u.logger->Log(u"", u"Main", kLogWarning, u"언어 설정 요청 실패: %d", r);
  if (install) return;
  if (!TheAliveCycle().CreateWakeEvent()) {
    u.logger->Log(u"", u"Main", kLogWarning, u"alive 쓰레드 시작 실패: %d", 9);
    return;
  }
  if (const int r = TheAliveCycle().Start(u.agent))
    u.logger->Log(u"", u"Main", kLogWarning, u"alive 쓰레드 시작 실패: %d", r);
}

}  // namespace qz
