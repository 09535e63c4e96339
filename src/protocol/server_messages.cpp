#include "protocol/server_messages.h"

#include "config/registry_layout.h"
#include "crypto/machine_code.h"
#include "platform/platform.h"

namespace qz {

const ServerMessage ServerMessageTable[kServerMessageCount] = {
    {u"다운로드 시작: %s[%s]", u"Start downloading: %s[%s]"},
    {u"다운로드 실패: %s", u"Fail to download: %s"},
    {u"%s: 잘못된 체크섬 발견", u"%s: Found invalid checksum"},
    {u"다운로드 성공: %s[%s]", u"Downloading success: %s[%s]"},
    {u"패치 인증서 갱신 실패", u"Fail to update a patch certificate"},
    {u"패치 인증서 갱신 성공", u"Success updating a patch certificate"},
    {u"유효하지 않은 패치 인증서 발견 : %d", u"Found an invalid patch certificate : %d"},
    {u"로컬 인증서 갱신 실패", u"Fail to update a local certificate"},
    {u"로컬 인증서 갱신 성공", u"Success updating a local certificate"},
    {u"유효하지 않은 로컬 인증서 발견", u"Found an invalid local certificate"},
    {u"CA 인증서 갱신 실패", u"Fail to update a CA certificate"},
    {u"CA 인증서 갱신 성공", u"Success updating a CA certificate"},
    {u"유효하지 않은 CA 인증서 발견", u"Found an invalid CA certificate"},
    {u"디스크 용량 제한으로 패치 지연: %uMB", u"Patch delayed owing to HDD capacity limits: %uMB"},
    {u"에이전트 모듈 설치 성공", u"Success installing agent modules"},
    {u"에이전트 모듈 업데이트 성공 (Build: %u)", u"Success updating agent modules (Build: %u)"},
    {u"에이전트 모듈 업데이트 실패 (Build: %u)", u"Fail to update agent modules (Build: %u)"},
    {u"손상된 패치 정책 파일 복구 성공", u"Success restoring the damaged patch policy file"},
    {u"패치 정책 파일 등록 실패", u"Fail to register the patch policy file"},
    {u"손상된 패치 정책 파일 복구 실패", u"Fail to restore the damaged patch policy file"},
    {u"패치 정책 파일 다운로드 실패", u"Fail to download a patch policy file"},
    {u"손상된 설정 파일 복구 실패", u"Fail to restore the damaged config file"},
    {u"손상된 설정 파일 복구 성공", u"Success restoring the damaged config file"},
    {u"에이전트 DLL 손상 또는 업데이트 필요로 에이전트 모듈 업데이트 시도",
     u"Try updating agent modules because an agent dll is damaged or needs to update"},
    {u"에이전트 서비스 중지됨", u"The agent service is stopped"},
    {u"에이전트 무결성 검사 실패", u"Fail to check the agent integrity"},
    {u"에이전트 무결성 검사 성공", u"Success checking the agent integrity"},
    {u"PC 보안 경고 메시지 창 표시", u"Show the PC security warning message box"},
    {u"예외 사용자에 대한 에이전트 모듈 제거", u"Uninstall Agent moule for an exception user"},
    {u"파일 배포 정책 파일 오류 발견: %s", u"Found an error in the file distribution policy file: %s"},
    {u"파일 배포 실패", u"Fail To distribute a file"},
    {u"파일 배포 성공", u"Success distributing a file"},
    {u"소프트웨어 배포 정책 파일 오류 발견: %s", u"Found an error in the softwate distribution policy file: %s"},
    {u"%s: 이미 설치됨", u"%s: already installed"},
    {u"%s: 설치 성공", u"%s: installed sucessfully"},
    {u"%s: 소프트웨어 설치 확인 보류", u"%s: Checking softwate Installation on hold"},
    {u"%s: 설치 실패", u"%s: Fail to install it"},
    {u"%s: 설치 확인됨", u"%s: Installation checked"},
    {u"%s: 제거 확인됨", u"%s: Uninstallation checked"},
    {u"업데이터 업그레이드 성공", u"Success upgrading the updater"},
    {u"업데이터 설치 성공", u"Success installing the updater"},
    {u"업데이터 업그레이드 실패", u"Fail to upgrade the updater"},
    {u"업데이터 설치 실패", u"Fail to install the updater"},
    {u"새 사용자 등록", u"Register a new user"},
    {u"사용자 동의 전까지 패치 지연", u"Delay patching until user agreement accepted"},
    {u"재부팅 메시지 전송", u"Sent a reboot message"},
    {u"재부팅 메시지 전송 실패", u"Fail to send a reboot message"},
    {u"소프트웨어 설치 요청 전송", u"Sent request to install softwate"},
    {u"소프트웨어 설치 요청 전송 실패", u"Fail to send request to install softwate"},
    {u"소프트웨어 제거 요청 전송", u"Sent request to remove softwate"},
    {u"소프트웨어 제거 요청 전송 실패", u"Fail to send request to remove softwate"},
    {u"글꼴 제거 요청 전송", u"Sent request to remove a font"},
    {u"글꼴 제거 요청 전송 실패", u"Fail to send request to remove a font"},
    {u"PC 보안 경고 전송", u"Sent PC security warning"},
    {u"PC 보안 경고 전송 실패", u"Fail to send PC security warning"},
    {u"관리자 메시지 전송", u"Sent a manager message"},
    {u"관리자 메시지 전송 실패", u"Fail to send a manager message"},
    {u"일반 메시지 전송", u"Sent a general message"},
    {u"일반 메시지 전송 실패", u"Fail to send a general message"},
    {u"패치 성공:%s", u"Success to Patch:%s"},
    {u"패치 실패:%s", u"Fail to patch:%s"},
    {u"패치 지연:%s", u"Delay to patch:%s"},
    {u"롤백 성공:%s", u"Success to rollback:%s"},
    {u"NPD 파일 확인:%d[%s]", u"Check NPD file:%d[%s]"},
    {u"다운로드 성공:%s[%ldMB]", u"Success Download:%s[%ldMB]"},
    {u"다운로드 성공:%s[%ldKB]", u"Success Download:%s[%ldKB]"},
    {u"설치 성공:%s", u"Success Install:%s"},
    {u"에이전트 모듈 설치 실패", u"Fail to install agent modules"},
    {u"디스크 용량 제한으로 소프트웨어 설치 지연: %uMB",
     u"Software Installation delayed owing to HDD capacity limits: %uMB"},
    {u"디스크 용량 제한으로 파일 배포 지연: %uMB", u"File Distribution delayed owing to HDD capacity limits: %uMB"},
    {u"시스템용량부족(%uMb) : %s, %uMb, %uMb", u"Lack of system drive(%uMb) : %s, %uMb, %uMb"},
    {u"사용자 정보 갱신됨", u"User Info's Renewed"},
    {u"CA 인증서 갱신 거부", u"Refuse to update a CA certificate"},
};

namespace {

// Kept for the agent, which sends it later; a key that does not open skips the copy.
void StoreUnsent(AgentContext& ctx, const AgentQuery::UnsentReport& r) {
  AgentRegKey agent;
  if (OpenOrCreateAgentKey(&agent) != 0) return;
  const SealedStore& store = ctx.config->store;
  store.WriteUnsentText(agent, r.text);
  store.WriteUnsentKind(agent, r.kind);
  store.WriteUnsentTime(agent, r.time);
}

}  // namespace

bool SendLogMsgToServer(AgentContext& ctx, uint32_t kind, std::u16string_view text, size_t length) {
  text = text.substr(0, length);
  QueryBuilder q;
  q.Begin(ctx, "log", ctx.ClientId());
  q.AddNumber("server", ctx.query->ServerAddress());
  q.AddNumber("kind", kind);
  // Not the envelope's _t: a stamp of its own.
  const uint64_t time = ctx.stamps.Next() + static_cast<uint64_t>(ctx.ClockOffset());
  q.AddTime(time);
  q.AddText("msg", text);
  const int32_t result = ctx.query->SimpleRequestSecure(kAgentRequestPath, q.Body(), true);
  if (result == 0) return true;

  AgentQuery::UnsentReport& r = ctx.query->lastUnsent;
  r.text = std::u16string(text.substr(0, kReportChars - 1));
  r.kind = kind;
  r.time = time;
  StoreUnsent(ctx, r);
  ctx.Log(u"AgentQuery", u"SendLogMsgToServer", kLogWarning, u"Fail to send log: %s (%ld)", r.text, result);
  return false;
}

bool VReport(AgentContext& ctx, uint32_t number, uint32_t kind, win::FmtArgs args) {
  if (number >= kServerMessageCount) return false;
  const ServerMessage& row = ServerMessageTable[number];
  std::u16string text = win::FormatW(ctx.langType == 1 ? row.english : row.korean, args);
  if (text.size() > kReportChars - 1) text.resize(kReportChars - 1);
  return SendLogMsgToServer(ctx, kind, text, text.size());
}

}  // namespace qz
