// The alive cycle: a thread that tells the server once a minute that the updater is at work, and
// binds the session again (every 10 s, three times at most) when the server asks for it.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "platform/types.h"
#include "protocol/agent_query.h"

namespace qz {

inline constexpr win::DWORD kAlivePeriodMs = 60000;
inline constexpr win::DWORD kAliveRetryMs = 10000;
inline constexpr int kAliveMaxBinds = 3;
inline constexpr size_t kAliveAnswerSize = 4096;
inline constexpr int kAliveStartFailed = 2001;

class AliveCycle {
 public:
  AliveCycle() = default;
  ~AliveCycle() { Stop(); }
  AliveCycle(const AliveCycle&) = delete;
  AliveCycle& operator=(const AliveCycle&) = delete;

  // The auto-reset wake event, unsignalled; must exist before Start.
  bool CreateWakeEvent();
  // 0, or 2001 when the thread cannot be made. Nothing happens while it is already running.
  int Start(AgentContext& ctx);
  // Ends the thread (after the request in progress at most) and returns once it ended.
  void Stop();

 private:
  void Run(AgentContext* ctx);
  void Wait(win::DWORD ms);

  std::atomic<uint8_t> running_{0};
  std::atomic<uint8_t> stopAfterCycle_{0};
  win::HANDLE wake_ = nullptr;
  std::thread thread_;
};

}  // namespace qz
