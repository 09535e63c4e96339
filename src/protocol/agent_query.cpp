#include "protocol/agent_query.h"

#include <tinyxml2.h>

#include <cinttypes>
#include <cstdio>

#include "config/agent_identity.h"
#include "crypto/machine_code.h"
#include "platform/text.h"
#include "protocol/response_fields.h"

namespace qz {

namespace {

// One part of an address: decimal, octal after a leading 0, hex after 0x.
bool ParsePart(std::string_view s, uint64_t* v) {
  if (s.empty()) return false;
  unsigned base = 10;
  if (s.size() > 1 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
    if (s.empty()) return false;
  } else if (s.size() > 1 && s[0] == '0') {
    base = 8;
    s.remove_prefix(1);
  }
  uint64_t n = 0;
  for (char c : s) {
    unsigned d;
    if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
    else return false;
    if (d >= base) return false;
    n = n * base + d;
    if (n > 0xFFFFFFFFull) return false;
  }
  *v = n;
  return true;
}

constexpr std::u16string_view kResultNames[] = {
    u"No Data",
    u"알 수 없는 오류가 발생함",
    u"웹 서버 연결 객체 생성에 실패함",
    u"웹 서버 요청 객체 생성에 실패함",
    u"비동기 콜백 함수 설정을 실패함",
    u"웹 서버 요청 전송을 실패함",
    u"웹 서버 응답 수신을 실패함",
    u"응답 HTTP 패킷의 헤더에 대한 쿼리 실패함",
    u"웹 서버에서 오류 페이지를 발송함",
    u"파일 다운로드 작업이 취소됨",
    u"웹 데이터 수신 중 오류가 발생함",
    u"데이터 수신 버퍼의 용량이 부족함",
    u"요청 헤더에 추가 정보의 삽입을 실패함",
    u"다운받을 파일의 생성을 실패함",
    u"파일에 데이터를 저장하는 데 실패함",
    u"임시 파일을 실제 파일로 이름을 변경할 수 없음",
    u"잘못된 URI 값",
    u"허용된 요청 시간 경과",
    u"허용된 응답 시간 경과",
    u"허용된 데이터 수신 시간 경과",
    u"",
};
constexpr std::u16string_view kUndefinedResult = u"정의되지 않은 에러 코드값";

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

constexpr size_t kMaxTextChars = 1024;
constexpr size_t kMaxTextUtf8 = 1024;
constexpr size_t kMaxErrorText = 256;

}  // namespace

uint32_t Ipv4HostOrder(std::string_view text) {
  constexpr uint32_t kInvalid = 0xFFFFFFFFu;
  std::vector<uint64_t> parts;
  while (true) {
    const size_t dot = text.find('.');
    uint64_t v = 0;
    if (!ParsePart(text.substr(0, dot), &v)) return kInvalid;
    parts.push_back(v);
    if (dot == std::string_view::npos) break;
    if (parts.size() == 4) return kInvalid;
    text.remove_prefix(dot + 1);
  }
  // The last part fills every byte the earlier ones leave.
  const size_t lead = parts.size() - 1;
  for (size_t i = 0; i < lead; ++i)
    if (parts[i] > 0xFF) return kInvalid;
  const uint64_t lastLimit = lead == 0 ? 0xFFFFFFFFull : (1ull << (8 * (4 - lead))) - 1;
  if (parts.back() > lastLimit) return kInvalid;
  uint32_t address = 0;
  for (size_t i = 0; i < lead; ++i) address |= static_cast<uint32_t>(parts[i]) << (24 - 8 * i);
  return address | static_cast<uint32_t>(parts.back());
}

bool IsCertificateCheckBypassed(AgentQuery& query) {
  std::lock_guard lock(query.SessionLock());
  return query.CertificateCheckBypassed();
}

uint32_t AgentContext::ClientId() {
  std::lock_guard lock(query->SessionLock());
  return config->settings.clientId;
}

std::string AgentContext::PublicIp() {
  std::lock_guard lock(query->SessionLock());
  return publicIp;
}

int64_t AgentContext::ClockOffset() {
  std::lock_guard lock(query->SessionLock());
  return clockOffset;
}

int QueryBuilder::Begin(AgentContext& ctx, std::string_view command, uint32_t clientId) {
  std::string digest;
  uint64_t t = 0;
  {
    std::lock_guard lock(ctx.query->SessionLock());
    t = ctx.stamps.Next() + static_cast<uint64_t>(ctx.clockOffset);
    ctx.signer->DigestA(&digest, 80, t);
  }
  char buf[512];
  const int n = std::snprintf(buf, sizeof buf, "_uuid=%*s&_t=%" PRIu64 "&_th=%s&_c=%.*s&id=%d", 32,
                              ctx.config->settings.agentGuid.c_str(), t, digest.c_str(),
                              static_cast<int>(command.size()), command.data(), static_cast<int32_t>(clientId));
  if (n < 0 || static_cast<size_t>(n) >= sizeof buf) {
    body_.clear();
    return kQueryOverflow;
  }
  body_.assign(buf, static_cast<size_t>(n));
  return 0;
}

// "&name=": needs 4 free bytes before the "&" and fails once fewer than 4 remain.
int QueryBuilder::AddName(std::string_view name) {
  if (Free() < 4) return kQueryOverflow;
  body_ += '&';
  for (char c : name) {
    body_ += c;
    if (Free() <= 3) return kQueryOverflow;
  }
  body_ += '=';
  return Free() <= 3 ? kQueryOverflow : 0;
}

int QueryBuilder::AddText(std::string_view name, std::u16string_view value) {
  if (value.size() >= kMaxTextChars) return kQueryOverflow;
  const std::string utf8 = win::WideToUtf8(value);
  if (utf8.size() > kMaxTextUtf8) return kQueryOverflow;
  if (int rc = AddName(name)) return rc;
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : utf8) {
    if (IsUnreserved(c) || c == ' ') {
      if (Free() < 2) return kQueryOverflow;
      body_ += c == ' ' ? '+' : static_cast<char>(c);
    } else {
      if (Free() < 4) return kQueryOverflow;
      body_ += '%';
      body_ += kHex[c >> 4];
      body_ += kHex[c & 15];
    }
  }
  return 0;
}

int QueryBuilder::AddPrinted(std::string_view name, const std::string& text) {
  if (int rc = AddName(name)) return rc;
  // The print needs room for its terminator as well.
  if (text.size() + 1 > Free()) return kQueryOverflow;
  body_ += text;
  return 0;
}

int QueryBuilder::AddNumber(std::string_view name, uint32_t value) {
  return AddPrinted(name, std::to_string(value));
}

int QueryBuilder::AddTime(uint64_t value) { return AddPrinted("time", std::to_string(value)); }

int32_t SendQuery(AgentContext& ctx, const QueryBuilder& q, std::span<char> answer, bool check) {
  return ctx.query->RequestSecure(kAgentRequestPath, q.Body(), answer, check);
}

bool IsAnswerForged(AgentContext& ctx, const tinyxml2::XMLElement* root) {
  std::lock_guard lock(ctx.query->SessionLock());
  return IsResponseStampInvalid(root, ctx.answerTimeFloor, *ctx.signer);
}

bool CheckDataIntegrity(AgentContext& ctx, const tinyxml2::XMLElement* root) {
  constexpr char16_t kTag[] = u"AgentUtil";
  constexpr char16_t kFunc[] = u"CheckDataIntegrity";
  if (!root || IsAnswerForged(ctx, root)) {
    ctx.Log(kTag, kFunc, kLogWarning, u"Invalid server in %s", u"QueryManagerServerSetting");
    return false;
  }
  uint32_t cid = 0;
  if (!root->FirstChildElement("cid")) {
    ProtocolError(ctx, u"QueryManagerServerSetting", root);
    return false;
  }
  ReadChildNumber(root, "cid", &cid, 10);
  if (cid == 0) {
    bool wasZero;
    {
      std::lock_guard lock(ctx.query->SessionLock());
      wasZero = ctx.config->settings.clientId == 0;
      SetClientID(*ctx.config);
    }
    ctx.Log(kTag, kFunc, kLogWarning, u"Server returns zero client ID");
    return wasZero;
  }
  if (cid == ctx.ClientId()) return true;
  ctx.Log(kTag, kFunc, kLogWarning, u"Server returns invalid client ID: %08X", cid);
  return false;
}

void ProtocolError(AgentContext& ctx, std::u16string_view func, const tinyxml2::XMLElement* root) {
  constexpr char16_t kTag[] = u"AgentUtil";
  if (!root) {
    ctx.Log(kTag, func, kLogFatal, u"Protocol error found");
    return;
  }
  const tinyxml2::XMLElement* error = root->FirstChildElement("error");
  const tinyxml2::XMLElement* chosen = error ? error : root;
  const char* text = chosen->GetText();
  if (!text) {
    ctx.Log(kTag, func, kLogFatal, u"Protocol error found");
    return;
  }
  std::u16string wide = win::Utf8ToWide(text);
  if (wide.size() > kMaxErrorText - 1) wide.resize(kMaxErrorText - 1);
  if (error) ctx.Log(kTag, func, kLogWarning, u"Server error: %s", wide);
  else ctx.Log(kTag, func, kLogFatal, u"Protocol error: %s", wide);
}

std::u16string_view ResultName(int32_t result) {
  if (result > 0 || result < -20) return kUndefinedResult;
  return kResultNames[static_cast<size_t>(-result)];
}

}  // namespace qz
