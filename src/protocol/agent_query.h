// The updater's server session: the one AgentQuery, the AgentContext every command works on, the
// request body builder with its envelope, and the checks of the server's answers.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_context.h"
#include "crypto/crypto_util.h"
#include "crypto/machine_code.h"
#include "logging/ilogger.h"
#include "transport/web_query.h"

namespace tinyxml2 {
class XMLElement;
}

namespace qz {

inline constexpr char16_t kAgentRequestPath[] = u"/CAgentRequest";
inline constexpr uint32_t kAgentQueryTimeout = 30000;
inline constexpr size_t kAnswerBufferSize = 655350;
inline constexpr size_t kQueryBodySize = 102400;
inline constexpr int32_t kQueryOverflow = -11;
// Server error numbers after which the session is bound again.
inline constexpr int32_t kServerErrorRebind1 = -1003;
inline constexpr int32_t kServerErrorRebind2 = -1007;
inline constexpr uint32_t kDefaultServerMenu = 0xFFFF0;
inline constexpr uint32_t kDefaultPatchTimeOut = 120;

// inet_addr then ntohl: dotted IPv4 forms (parts in decimal, octal or hex); 0xFFFFFFFF otherwise.
uint32_t Ipv4HostOrder(std::string_view text);

class AgentQuery : public WebQuery {
 public:
  explicit AgentQuery(uint32_t timeoutMs = kAgentQueryTimeout) : WebQuery(timeoutMs) {}

  // Guards the session: clock offset, key texts, public IP, the signer's key templates and the
  // certificate-check bypass. Never held while a request is made (the certificate check takes it
  // inside one).
  std::mutex& SessionLock() { return session_; }

  // Callers hold SessionLock.
  bool CertificateCheckBypassed() const { return bypass_; }
  void SetCertificateCheckBypass(bool on) { bypass_ = on; }

  // The management server as an IPv4 number in host byte order, as SetManagerServer stored it.
  void SetServerAddress(uint32_t address) { serverAddress_ = address; }
  uint32_t ServerAddress() const { return serverAddress_; }

  // The last report that could not be sent.
  struct UnsentReport {
    std::u16string text;
    uint32_t kind = 0;
    uint64_t time = 0;
  };
  UnsentReport lastUnsent;

 private:
  std::mutex session_;
  bool bypass_ = false;
  uint32_t serverAddress_ = 0xFFFFFFFFu;
};

// True when query's certificate check is bypassed, read under its session lock.
bool IsCertificateCheckBypassed(AgentQuery& query);

struct AgentCertificates;

struct AgentContext {
  ILogger* logger = nullptr;
  AgentQuery* query = nullptr;
  int32_t langType = 0;  // 0 Korean, 1 English
  // Session values, under query->SessionLock().
  int64_t clockOffset = 0;
  uint64_t answerTimeFloor = 0;
  std::string clientKey;
  std::string serverKey;
  std::string publicIp;
  // The main thread's answers; the alive thread brings its own buffer.
  std::vector<char> answer = std::vector<char>(kAnswerBufferSize);
  uint32_t mirPlc = 0;
  uint32_t mirPlc2 = 0;
  uint32_t menu = kDefaultServerMenu;
  uint32_t patchTimeOut = kDefaultPatchTimeOut;
  ICryptoUtil* signer = nullptr;
  // The agent GUID, the client ID and the registry cipher.
  ConfigContext* config = nullptr;
  // The run's CA and file-signing certificates (the file services and the update mode).
  AgentCertificates* certs = nullptr;
  // The run's restart flag, which the certificate downloads pass on.
  bool restart = true;
  // The request time stamps of this session.
  StampClock stamps;

  // The client ID, read under the session lock (the alive thread reads it too).
  uint32_t ClientId();
  std::string PublicIp();
  int64_t ClockOffset();

  template <class... A>
  void Log(std::u16string_view tag, std::u16string_view func, int level, std::u16string_view fmt,
           const A&... a) {
    if (logger) logger->Log(tag, func, level, fmt, a...);
  }
};

// A request body: at most 102,400 bytes, sent with its length. Operations return 0 or -11.
class QueryBuilder {
 public:
  int Begin(AgentContext& ctx, std::string_view command, uint32_t clientId);
  int AddText(std::string_view name, std::u16string_view value);
  int AddNumber(std::string_view name, uint32_t value);
  int AddTime(uint64_t value);

  std::string_view Body() const { return body_; }
  size_t Free() const { return kQueryBodySize - body_.size(); }

 private:
  int AddName(std::string_view name);
  int AddPrinted(std::string_view name, const std::string& text);
  std::string body_;
};

// POST of the body to /CAgentRequest into answer: length, server number or transport code.
int32_t SendQuery(AgentContext& ctx, const QueryBuilder& q, std::span<char> answer, bool check);

// The answer stamp test under the session lock: true when the answer is not authentic.
bool IsAnswerForged(AgentContext& ctx, const tinyxml2::XMLElement* root);
bool CheckDataIntegrity(AgentContext& ctx, const tinyxml2::XMLElement* root);
void ProtocolError(AgentContext& ctx, std::u16string_view func, const tinyxml2::XMLElement* root);
// Name of a request result for the log.
std::u16string_view ResultName(int32_t result);

}  // namespace qz
