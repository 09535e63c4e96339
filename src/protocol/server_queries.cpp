#include "protocol/server_queries.h"

#include <tinyxml2.h>

#include <cstring>

#include "crypto/machine_code.h"
#include "platform/platform.h"
#include "protocol/response_fields.h"

namespace qz {

namespace {

constexpr char16_t kTagEx[] = u"AgentUtilEx";
constexpr size_t kServerChars = 80;
constexpr size_t kKeyField = 80;
constexpr size_t kPublicIpField = 80;

void LogConnectFailure(AgentContext& ctx, std::u16string_view func, int32_t result) {
  ctx.Log(kTagEx, func, kLogWarning, u"정책서버 연결 실패: %s(%ld, %ld)", ResultName(result), result,
          win::GetLastError());
}

// Takes a key text (its first 64 bytes) when it differs from the one held; true when it changed.
bool TakeKey(const tinyxml2::XMLElement* root, const char* name, std::string* held) {
  std::string text;
  if (!ReadChildTextA(root, name, &text, kKeyField)) return false;
  if (text.size() > qzCryptoUtil::kKeyLength) text.resize(qzCryptoUtil::kKeyLength);
  if (text == *held) return false;
  *held = text;
  return true;
}

}  // namespace

bool SetManagerServer(AgentContext& ctx, std::string_view address, uint32_t httpPort, uint32_t httpsPort) {
  std::u16string host = win::AnsiToWide(address);
  if (host.size() > kServerChars) host.resize(kServerChars);
  if (!ctx.query->SetHost(host)) {
    ctx.Log(u"AgentQuery", u"SetManagerServer", kLogFatal, u"정책서버 설정 실패: %s", host);
    return false;
  }
  ctx.query->SetHttpPort(httpPort);
  ctx.query->SetHttpsPort(httpsPort);
  ctx.query->SetServerAddress(Ipv4HostOrder(address));
  return true;
}

bool BindPublicIp(AgentContext& ctx, std::span<char> answer) {
  QueryBuilder q;
  q.Begin(ctx, "public_ip", 0);
  // This request runs no check, so the bypass is never cleared around it: the alive thread's
  // re-bind must not turn the check on in the middle of the main thread's request. One decision,
  // taken under the session lock: from here on the server-certificate test answers valid.
  const int32_t result = SendQuery(ctx, q, answer, false);
  {
    std::lock_guard lock(ctx.query->SessionLock());
    ctx.query->SetCertificateCheckBypass(true);
  }
  if (result <= 0) {
    ctx.Log(kTagEx, u"BindPublicIp", kLogWarning, u"IP 정보 요청 실패: %s(%ld, %ld)", ResultName(result), result,
            win::GetLastError());
    return false;
  }
  if (answer.empty() || answer[0] == '\0') return false;
  return GetPublicIp(ctx, answer);
}

bool GetPublicIp(AgentContext& ctx, std::span<const char> answer) {
  tinyxml2::XMLDocument doc(true, tinyxml2::COLLAPSE_WHITESPACE);
  const tinyxml2::XMLElement* root = ParseAnswer(doc, answer);
  if (!root) return false;
  if (!root->FirstChildElement("ip")) {
    ProtocolError(ctx, u"GetPublicIp", root);
    std::lock_guard lock(ctx.query->SessionLock());
    ctx.publicIp.clear();
    return false;
  }
  std::string ip;
  ReadChildTextA(root, "ip", &ip, kPublicIpField);
  uint64_t serverTime = 0;
  const bool hasTime = ReadTimeAttribute(root, &serverTime);

  std::lock_guard lock(ctx.query->SessionLock());
  if (ip != ctx.publicIp) ctx.publicIp = ip;
  if (TakeKey(root, "client", &ctx.clientKey)) ctx.signer->SetKeyA(ctx.clientKey);
  if (TakeKey(root, "server", &ctx.serverKey)) ctx.signer->SetKeyB(ctx.serverKey);
  // Without a server time the offset stays as it was.
  if (hasTime) ctx.clockOffset = static_cast<int64_t>(serverTime - ctx.stamps.Next());
  return true;
}

int32_t QueryManagerServerSetting(AgentContext& ctx, QueryBuilder& q) {
  q.Begin(ctx, "agt_cfg", ctx.ClientId());
  const int32_t result = SendQuery(ctx, q, ctx.answer, true);
  if (result < 1) {
    LogConnectFailure(ctx, u"QueryManagerServerSetting", result);
    ctx.langType = 0;
    return result;
  }
  tinyxml2::XMLDocument doc(true, tinyxml2::COLLAPSE_WHITESPACE);
  const tinyxml2::XMLElement* root = ParseAnswer(doc, ctx.answer);
  if (!CheckDataIntegrity(ctx, root)) {
    ctx.langType = 0;
    return result;
  }
  int32_t lang = 0;
  ReadChildNumber(root, "langType", &lang);
  ctx.langType = lang == 1 ? 1 : 0;
  uint32_t menu = kDefaultServerMenu;
  if (!ReadChildNumber(root, "menu", &menu, 10)) menu = kDefaultServerMenu;
  ctx.menu = menu;
  int32_t v = 0;
  ctx.mirPlc = ReadChildNumber(root, "mir_plc", &v) ? static_cast<uint32_t>(v) : 0;
  v = 0;
  ctx.mirPlc2 = ReadChildNumber(root, "mir_plc2", &v) ? static_cast<uint32_t>(v) : 0;
  v = 0;
  ReadChildNumber(root, "patchTimeOut", &v);
  ctx.patchTimeOut = v == 0 ? kDefaultPatchTimeOut : static_cast<uint32_t>(v);
  ctx.Log(kTagEx, u"QueryManagerServerSetting", kLogInfo, u"policy: %08x, %08x, menu: %08x", ctx.mirPlc,
          ctx.mirPlc2, ctx.menu);
  return result;
}

bool GetUpdateInfo(AgentContext& ctx, UpdateInfo* info, QueryBuilder& q) {
  ctx.Log(kTagEx, u"GetUpdateInfo", kLogDebug, u"에이전트 모듈 업데이트 확인");
  q.Begin(ctx, "agt_ver", ctx.ClientId());
  const int32_t result = SendQuery(ctx, q, ctx.answer, true);
  if (result > 0) return GetAgentUpdate(ctx, info, ctx.answer);
  LogConnectFailure(ctx, u"GetUpdateInfo", result);
  return false;
}

bool GetAgentUpdate(AgentContext& ctx, UpdateInfo* info, std::span<const char> answer) {
  tinyxml2::XMLDocument doc(true, tinyxml2::COLLAPSE_WHITESPACE);
  const tinyxml2::XMLElement* root = ParseAnswer(doc, answer);
  if (!root || IsAnswerForged(ctx, root)) return false;
  if (!root->FirstChildElement("qzu")) {
    ProtocolError(ctx, u"GetAgentUpdate", root);
    return false;
  }
  if (!root->FirstChildElement("chk")) {
    ctx.Log(kTagEx, u"GetAgentUpdate", kLogWarning, u"업데이터 파일의 체크섬 값이 없음");
    return false;
  }
  if (!root->FirstChildElement("agb")) {
    ctx.Log(kTagEx, u"GetAgentUpdate", kLogWarning, u"에이전트 버전 정보가 없음");
    return false;
  }
  ReadChildTextA(root, "qzu", &info->updaterName, 260);
  ReadChildTextA(root, "chk", &info->checksum, 80);
  ReadChildNumber(root, "agb", &info->build, 10);
  if (!ReadChildNumber(root, "upc", &info->upc, 10)) info->upc = 1;
  return true;
}

void RequestTemporaryWebUsage(AgentContext& ctx) {
  QueryBuilder q;
  q.Begin(ctx, "tmp_web", 0);
  q.AddNumber("ip_p", Ipv4HostOrder(ctx.PublicIp()));
  std::vector<char> answer(kAnswerBufferSize);
  const int32_t result = SendQuery(ctx, q, answer, false);
  if (result < 0)
    ctx.Log(u"TarlinUpdater", u"RequestTemporaryWebUsage", kLogWarning, u"임시 웹 사용 요청 실패: %ld", result);
}

}  // namespace qz
