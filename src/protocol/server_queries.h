// Session set-up and the server's settings and update queries: the server address, the public IP
// with the clock and key texts, the message language and policy values, the current build, and
// the install mode's temporary web usage request.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "protocol/agent_query.h"

namespace qz {

struct UpdateInfo {
  uint32_t build = 0;       // agb
  std::string updaterName;  // qzu
  std::string checksum;     // chk
  uint32_t upc = 1;
};

bool SetManagerServer(AgentContext& ctx, std::string_view address, uint32_t httpPort, uint32_t httpsPort);
// answer: the buffer the request fills; the alive thread passes its own so the main thread's
// answer is never overwritten while it is parsed.
bool BindPublicIp(AgentContext& ctx, std::span<char> answer);
inline bool BindPublicIp(AgentContext& ctx) { return BindPublicIp(ctx, ctx.answer); }
bool GetPublicIp(AgentContext& ctx, std::span<const char> answer);
int32_t QueryManagerServerSetting(AgentContext& ctx, QueryBuilder& q);
bool GetUpdateInfo(AgentContext& ctx, UpdateInfo* info, QueryBuilder& q);
bool GetAgentUpdate(AgentContext& ctx, UpdateInfo* info, std::span<const char> answer);
// Install mode: tells the server the public address; the answer is not examined.
void RequestTemporaryWebUsage(AgentContext& ctx);

}  // namespace qz
