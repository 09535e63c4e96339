// Reports to the server's log: numbered bilingual message formats, sent with the `log` command in
// the language the server chose; a report that cannot be sent is kept in the registry.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/text.h"
#include "protocol/agent_query.h"

namespace qz {

inline constexpr size_t kServerMessageCount = 73;
inline constexpr size_t kReportChars = 256;  // terminator included

struct ServerMessage {
  std::u16string_view korean;
  std::u16string_view english;
};
extern const ServerMessage ServerMessageTable[kServerMessageCount];

// Message numbers this program sends.
enum ServerMessageId : uint32_t {
  kMsgPatchCertFailed = 4,
  kMsgPatchCertUpdated = 5,
  kMsgPatchCertInvalid = 6,
  kMsgCaCertFailed = 10,
  kMsgCaCertUpdated = 11,
  kMsgCaCertInvalid = 12,
  kMsgInstallSucceeded = 14,
  kMsgUpdateSucceeded = 15,
  kMsgUpdateFailed = 16,
  kMsgInstallFailed = 67,
  kMsgLackOfSpace = 70,
  // An offered CA that the held CA has not cross-signed; the held CA stays.
  kMsgCaCertRefused = 72,
};

inline constexpr uint32_t kReportKindNotice = 1;
inline constexpr uint32_t kReportKindDiskSpace = 2048;
inline constexpr uint32_t kReportKindBadCertificate = 4096;

bool SendLogMsgToServer(AgentContext& ctx, uint32_t kind, std::u16string_view text, size_t length);
bool VReport(AgentContext& ctx, uint32_t number, uint32_t kind, win::FmtArgs args);

template <class... A>
bool Report(AgentContext& ctx, uint32_t number, uint32_t kind, const A&... a) {
  const win::FmtArg args[] = {win::FmtArg(a)..., win::FmtArg()};
  return VReport(ctx, number, kind, win::FmtArgs(args, sizeof...(A)));
}

}  // namespace qz
