#include "syscontrol/agent_stop.h"

#include <vector>

#include "syscontrol/agent_service.h"

namespace qz {

using namespace win;

namespace {

constexpr char16_t kTag[] = u"TarlinUpdater";

const AgentBindings& BindingsOf(const SysContext& ctx) {
  static const AgentBindings none;
  return ctx.bindings ? *ctx.bindings : none;
}

DWORD ServiceState(SC_HANDLE scm) {
  SC_HANDLE s = Services().OpenServiceW(scm, kAgentServiceName, SERVICE_QUERY_STATUS);
  if (!s) return SERVICE_STOPPED;
  SERVICE_STATUS st;
  DWORD state = Services().QueryServiceStatus(s, &st) ? st.dwCurrentState : SERVICE_STOPPED;
  Services().CloseServiceHandle(s);
  return state;
}

}  // namespace

DWORD GetProcessID(std::u16string_view name) {
  std::vector<PROCESSENTRY32W> entries;
  if (!Processes().SnapshotProcesses(TH32CS_SNAPPROCESS, &entries)) return 0;
  for (const auto& e : entries) {
    DWORD session = 0;
    if (EqualsNoCase(e.szExeFile, name) && Processes().ProcessIdToSessionId(e.th32ProcessID, &session)) {
      return e.th32ProcessID;
    }
  }
  return 0;
}

bool WaitForProcessExit(std::u16string_view name, DWORD ms) {
  int64_t remaining = ms;
  while (true) {
    if (GetProcessID(name) == 0) return true;
    Time().Sleep(1000);
    remaining -= 1000;
    if (remaining <= 0) return false;
  }
}

bool KillProcessByName(std::u16string_view name) {
  std::vector<PROCESSENTRY32W> entries;
  if (!Processes().SnapshotProcesses(TH32CS_SNAPPROCESS, &entries)) return true;
  // Every process of the name: a second copy must not survive because the first was ended.
  bool ended = true;
  DWORD firstError = 0;
  for (const auto& e : entries) {
    if (!EqualsNoCase(e.szExeFile, name)) continue;
    HANDLE h = Processes().OpenProcess(PROCESS_TERMINATE, FALSE, e.th32ProcessID);
    if (!h) {
      // Gone since the snapshot: nothing left to end.
      if (GetLastError() == ERROR_INVALID_PARAMETER) continue;
    } else if (Processes().TerminateProcess(h, 0)) {
      CloseHandle(h);
      continue;
    }
    if (ended) firstError = GetLastError();
    ended = false;
    if (h) CloseHandle(h);
  }
  SetLastError(firstError);
  return ended;
}

bool IsServiceProcessRunning() {
  std::vector<PROCESSENTRY32W> entries;
  if (!Processes().SnapshotProcesses(TH32CS_SNAPPROCESS, &entries)) return false;
  for (const auto& e : entries) {
    if (EqualsNoCase(e.szExeFile, kServiceProcess)) return true;
  }
  return false;
}

bool IsAgentServiceInstalled() {
  SC_HANDLE scm = Services().OpenSCManagerW(u"", u"", SC_MANAGER_CREATE_SERVICE);
  if (!scm) return false;
  bool installed = false;
  if (SC_HANDLE s = Services().OpenServiceA(scm, "VH-KSM Agent Service", SERVICE_ALL_ACCESS)) {
    SERVICE_STATUS st;
    installed = Services().QueryServiceStatus(s, &st) != FALSE;
    Services().CloseServiceHandle(s);
  }
  Services().CloseServiceHandle(scm);
  return installed;
}

bool EnableDebugPrivilege() {
  HANDLE token = nullptr;
  if (!Security().OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
  TOKEN_PRIVILEGES tp;
  LUID luid;
  BOOL ok = FALSE;
  if (Security().LookupPrivilegeValueW(u"", SE_DEBUG_NAME, &luid)) {
    tp.Privileges.push_back({luid, SE_PRIVILEGE_ENABLED});
    ok = Security().AdjustTokenPrivileges(token, FALSE, &tp);
  }
  CloseHandle(token);
  return ok != FALSE;
}

void RequestToStopService(const SysContext& ctx) {
  int32_t result = 0;
  RPC_STATUS rc = CallStopService(BindingsOf(ctx).service, &result);
  if (rc != RPC_S_OK) {
    ctx.logger->Log(kTag, u"RequestToStopService", kLogInfo, u"프로세스 통신 오류 발생: %d", rc);
  } else if (result != 0) {
    ctx.logger->Log(kTag, u"RequestToStopService", kLogInfo, u"Fail to request stopping: %u",
                    static_cast<uint32_t>(result));
  }
}

bool QuitAgent(const SysContext& ctx) {
  ctx.logger->Log(kTag, u"QuitAgent", kLogSystem, u"에이전트 프로그램 종료 시도");
  RPC_STATUS rc = CallQuitAgent(BindingsOf(ctx).agent);
  if (rc == static_cast<RPC_STATUS>(RPC_S_SERVER_UNAVAILABLE)) return true;
  if (rc != RPC_S_OK) {
    ctx.logger->Log(u"AgentUtil", u"QuitAgent", kLogWarning, u"에이전트 종료 요청 실패: %d", rc);
    return false;
  }
  if (WaitForProcessExit(kAgentProcess, 5000)) return true;
  ctx.logger->Log(u"AgentUtil", u"QuitAgent", kLogWarning, u"에이전트 종료 대기 실패");
  return false;
}

bool QuitAssistant(const SysContext& ctx) {
  ctx.logger->Log(u"AgentUtil", u"QuitAssistant", kLogSystem, u"보조 에이전트 프로그램 종료 시도");
  RPC_STATUS rc = CallQuitAssistant(BindingsOf(ctx).assistant);
  if (rc == static_cast<RPC_STATUS>(RPC_S_SERVER_UNAVAILABLE) || rc == static_cast<RPC_STATUS>(RPC_S_CALL_FAILED)) {
    return true;
  }
  if (rc != RPC_S_OK) {
    ctx.logger->Log(u"AgentUtil", u"QuitAssistant", kLogWarning, u"보조 에이전트 종료 요청 실패: %d", rc);
    return false;
  }
  if (WaitForProcessExit(kAssistantProcess, 5000)) return true;
  ctx.logger->Log(u"AgentUtil", u"QuitAssistant", kLogWarning, u"보조 에이전트 종료 대기 실패");
  return false;
}

void StopAllAgentProcess(const SysContext& ctx) {
  ILogger& log = *ctx.logger;
  const std::u16string_view fn = u"StopAllAgentProcess";
  log.Log(kTag, fn, kLogSystem, u"에이전트 모듈 종료 시도");

  if (IsAgentServiceInstalled()) {
    for (int poll = 0; poll < 10; ++poll) {
      Time().Sleep(1000);
      SC_HANDLE scm = Services().OpenSCManagerW(u"", u"", SC_MANAGER_CONNECT);
      if (!scm) break;
      DWORD state = ServiceState(scm);
      Services().CloseServiceHandle(scm);
      if (state != SERVICE_START_PENDING && state != SERVICE_STOP_PENDING) break;
    }
    if (IsServiceProcessRunning()) {
      RequestToStopService(ctx);
      Time().Sleep(2000);
      if (RunServiceCommand(ctx, u"stop")) {
        Time().Sleep(3000);
      } else {
        log.Log(kTag, fn, kLogWarning, u"메인 에이전트 종료 실패");
      }
    }
  }

  if (!EnableDebugPrivilege()) log.Log(kTag, fn, kLogWarning, u"프로세스 권한 설정 실패");

  // A quit call that "succeeded" (1722 and 1726 included) proves nothing about the process: one
  // that is still there is ended by force.
  if (!WaitForProcessExit(kAgentProcess, 30000)) {
    const bool quit = QuitAgent(ctx);
    if (quit) log.Log(kTag, fn, kLogWarning, u"에이전트 종료 함수 호출 성공");
    if (!quit || GetProcessID(kAgentProcess) != 0) {
      if (KillProcessByName(kAgentProcess)) {
        log.Log(kTag, fn, kLogWarning, u"에이전트를 강제적으로 종료함");
      } else {
        log.Log(kTag, fn, kLogWarning, u"%u - 에이전트 강제 종료 실패", GetLastError());
      }
    }
  }

  if (!WaitForProcessExit(kAssistantProcess, 2000)) {
    const bool quit = QuitAssistant(ctx);
    if (quit) log.Log(kTag, fn, kLogWarning, u"보조 에이전트 종료 함수 호출 성공");
    if (!quit || GetProcessID(kAssistantProcess) != 0) {
      if (KillProcessByName(kAssistantProcess)) {
        log.Log(kTag, fn, kLogWarning, u"보조 에이전트를 강제 종료함");
      } else {
        log.Log(kTag, fn, kLogWarning, u"%u - 보조 에이전트 강제 종료 실패", GetLastError());
      }
    }
  }

  if (!WaitForProcessExit(kServiceProcess, 20000)) {
    if (KillProcessByName(kServiceProcess)) {
      log.Log(kTag, fn, kLogWarning, u"서비스를 강제 종료함");
    } else {
      log.Log(kTag, fn, kLogWarning, u"%u - 서비스 강제 종료 실패", GetLastError());
    }
  }

  Time().Sleep(3000);
}

void CheckService(const SysContext& ctx) {
  if (!IsAgentServiceInstalled()) {
    ctx.logger->Log(kTag, u"CheckService", kLogSystem, u"서비스가 삭제되어 재설치를 시도함");
    RunServiceCommand(ctx, u"install");
  }
  if (!IsServiceProcessRunning()) {
    ctx.logger->Log(kTag, u"CheckService", kLogSystem, u"서비스가 종료되어 재시작을 시도함");
    RunServiceCommand(ctx, u"start");
  }
}

void RunDriverStopMode(DriverRecords& drivers) {
  if (DetectPrtProc(drivers.prtProc) == kProbeRunning) {
    drivers.prtProc.started = true;
    drivers.prtProc.StopAndDelete();
  }
}

void RunStopMode(const SysContext& ctx, DriverRecords& drivers) {
  StopAllAgentProcess(ctx);
  RunDriverStopMode(drivers);
}

void RunRestartMode(const SysContext& ctx) {
  StopAllAgentProcess(ctx);
  RunServiceCommand(ctx, u"start");
}

void RunServiceCheckMode(const SysContext& ctx) { CheckService(ctx); }

}  // namespace qz
