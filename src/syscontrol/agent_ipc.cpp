#include "syscontrol/agent_ipc.h"

#include <string>
#include <vector>

namespace qz {

using namespace win;

RPC_STATUS CreateBinding(std::string_view endpoint, RPC_BINDING_HANDLE* binding) {
  *binding = nullptr;
  std::string text;
  RPC_STATUS rc = Rpc().RpcStringBindingComposeA("", "ncalrpc", "", endpoint, "", &text);
  if (rc != RPC_S_OK) return rc;
  rc = Rpc().RpcBindingFromStringBindingA(text, binding);
  Rpc().RpcStringFreeA(&text);
  return rc;
}

void AgentBindings::Create(ILogger& log) {
  struct Binding {
    const char* endpoint;
    RPC_BINDING_HANDLE* handle;
    std::u16string_view failure;
  };
  const Binding all[] = {
      {kServiceEndpoint, &service, u"서비스 프로세스 통신 초기화 실패: %ld"},
      {kAgentEndpoint, &agent, u"에이전트 프로세스 통신 초기화 실패: %ld"},
      {kAssistantEndpoint, &assistant, u"보조 에이전트 프로세스 통신 초기화 실패: %ld"},
  };
  for (const auto& b : all) {
    RPC_STATUS rc = CreateBinding(b.endpoint, b.handle);
    if (rc != RPC_S_OK) log.Log(u"TarlinUpdater", u"Initialize", kLogInfo, b.failure, rc);
  }
}

void AgentBindings::Free() {
  for (RPC_BINDING_HANDLE* h : {&assistant, &agent, &service}) {
    if (*h) Rpc().RpcBindingFree(h);
    *h = nullptr;
  }
}

RPC_STATUS CallStopService(RPC_BINDING_HANDLE binding, int32_t* result) {
  std::vector<BYTE> out;
  RPC_STATUS rc = Rpc().NdrClientCall(binding, kServiceInterface, kProcStopService, {}, &out);
  if (rc != RPC_S_OK) return rc;
  if (out.size() != 4) return RPC_X_BAD_STUB_DATA;
  *result = static_cast<int32_t>(static_cast<uint32_t>(out[0]) | static_cast<uint32_t>(out[1]) << 8 |
                                 static_cast<uint32_t>(out[2]) << 16 | static_cast<uint32_t>(out[3]) << 24);
  return RPC_S_OK;
}

RPC_STATUS CallQuitAgent(RPC_BINDING_HANDLE binding) {
  std::vector<BYTE> out;
  return Rpc().NdrClientCall(binding, kAgentInterface, kProcQuitAgent, {}, &out);
}

RPC_STATUS CallQuitAssistant(RPC_BINDING_HANDLE binding) {
  std::vector<BYTE> out;
  return Rpc().NdrClientCall(binding, kAssistantInterface, kProcQuitAssistant, {}, &out);
}

RPC_STATUS CallUninstallMenuAndLink(RPC_BINDING_HANDLE binding) {
  std::vector<BYTE> out;
  return Rpc().NdrClientCall(binding, kAssistantInterface, kProcUninstallMenuAndLink, {}, &out);
}

bool UninstallMenuAndLink(ILogger& log, const AgentBindings& bindings) {
  RPC_STATUS rc = CallUninstallMenuAndLink(bindings.assistant);
  if (rc == RPC_S_OK) return true;
  if (rc != static_cast<RPC_STATUS>(RPC_S_SERVER_UNAVAILABLE)) {
    log.Log(u"AgentUtil", u"UninstallMenuAndLink", kLogWarning, u"프로세스 통신 오류 발생: %d", rc);
  }
  return false;
}

}  // namespace qz
