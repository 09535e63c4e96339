#include "protocol/alive_cycle.h"

#include <system_error>
#include <vector>

#include "platform/platform.h"
#include "protocol/server_queries.h"

namespace qz {

namespace {
constexpr char16_t kTag[] = u"AliveCycle";
constexpr char16_t kFunc[] = u"AliveCycleThread";
}  // namespace

bool AliveCycle::CreateWakeEvent() {
  if (wake_) return true;
  wake_ = win::Time().CreateEventW(win::FALSE, win::FALSE);
  return wake_ != nullptr;
}

int AliveCycle::Start(AgentContext& ctx) {
  if (running_.load()) return 0;
  running_ = 1;
  stopAfterCycle_ = 0;
  try {
    thread_ = std::thread(&AliveCycle::Run, this, &ctx);
  } catch (const std::system_error&) {
    running_ = 0;
    return kAliveStartFailed;
  }
  return 0;
}

void AliveCycle::Stop() {
  if (!wake_) return;
  if (!stopAfterCycle_.load()) {
    // The flags go first: a wake-up that came before them could let the thread start a full
    // period's wait that nothing would end.
    running_ = 0;
    stopAfterCycle_ = 1;
    win::Time().SetEvent(wake_);
    if (thread_.joinable()) thread_.join();
  }
  win::CloseHandle(wake_);
  wake_ = nullptr;
}

void AliveCycle::Wait(win::DWORD ms) { win::Time().WaitForSingleObject(wake_, ms, win::WaitKind::Pause); }

void AliveCycle::Run(AgentContext* ctx) {
  ctx->Log(kTag, kFunc, kLogSystem, u"@@@@@ Start alive cycle thread @@@@@");
  // Its own buffers, so the main thread's answer is never overwritten.
  std::vector<char> answer(kAliveAnswerSize);
  std::vector<char> bindAnswer(kAnswerBufferSize);
  int retries = 0;
  while (running_.load()) {
    const uint32_t clientId = ctx->ClientId();
    if (clientId == 0) {
      ctx->Log(kTag, kFunc, kLogInfo, u"No client ID");
    } else {
      QueryBuilder q;
      q.Begin(*ctx, "alive", clientId);
      const int32_t result = SendQuery(*ctx, q, answer, true);
      if (result > 0) {
        ctx->Log(kTag, kFunc, kLogInfo, u"Sent alive request");
      } else if (result == kServerErrorRebind1 || result == kServerErrorRebind2) {
        ctx->Log(kTag, kFunc, kLogWarning, u"Fail to connect server - try to bind public IP (%d, %ld)", result,
                 win::GetLastError());
        BindPublicIp(*ctx, bindAnswer);
        if (++retries < kAliveMaxBinds) {
          Wait(kAliveRetryMs);
          continue;
        }
      } else {
        ctx->Log(kTag, kFunc, kLogWarning, u"Fail to connect server: %s(%ld, %ld)", ResultName(result), result,
                 win::GetLastError());
      }
    }
    if (stopAfterCycle_.load()) break;
    retries = 0;
    Wait(kAlivePeriodMs);
  }
  ctx->Log(kTag, kFunc, kLogSystem, u"@@@@@ Stop alive cycle thread @@@@@");
}

}  // namespace qz
