// The RPC client towards the agent's three processes: the bindings (made without contacting a
// server), the interfaces and the four procedures the updater calls. Each call returns the
// exception code the RPC stub would raise (0: none), so callers keep the Windows try-except logic.
#pragma once

#include <cstdint>
#include <string_view>

#include "logging/ilogger.h"
#include "platform/platform.h"

namespace qz {

inline constexpr char kServiceEndpoint[] = "tarlin_{1D3018D9-65E9-4C3B-BD92-AF56AC427C39}";
inline constexpr char kAgentEndpoint[] = "tarlin_{79B68938-56D0-4B5B-9067-62ECE871808D}";
inline constexpr char kAssistantEndpoint[] = "tarlin_{E6D5DEA8-A525-477C-9B38-B2B59683F3F9}";

// {C2BA4A81-011D-4CC3-BFCF-B59DAEDF6BDE} 1.0
inline constexpr win::RPC_IF_ID kServiceInterface = {
    {0xC2BA4A81, 0x011D, 0x4CC3, {0xBF, 0xCF, 0xB5, 0x9D, 0xAE, 0xDF, 0x6B, 0xDE}}, 1, 0};
// {8288B946-380C-491B-B15D-501EC98B2926} 1.0
inline constexpr win::RPC_IF_ID kAgentInterface = {
    {0x8288B946, 0x380C, 0x491B, {0xB1, 0x5D, 0x50, 0x1E, 0xC9, 0x8B, 0x29, 0x26}}, 1, 0};
// {D2C60D21-5381-4A4A-B7F7-3F9479813CBD} 1.0
inline constexpr win::RPC_IF_ID kAssistantInterface = {
    {0xD2C60D21, 0x5381, 0x4A4A, {0xB7, 0xF7, 0x3F, 0x94, 0x79, 0x81, 0x3C, 0xBD}}, 1, 0};

constexpr win::UINT kProcStopService = 0;
constexpr win::UINT kProcQuitAgent = 3;
constexpr win::UINT kProcQuitAssistant = 15;
constexpr win::UINT kProcUninstallMenuAndLink = 30;

// RpcStringBindingComposeA ("ncalrpc", no object, no address, the endpoint) then
// RpcBindingFromStringBindingA; the first non-zero status.
win::RPC_STATUS CreateBinding(std::string_view endpoint, win::RPC_BINDING_HANDLE* binding);

// The three process-wide bindings; absent ones stay null (install mode), and calls over them take
// the exception path.
struct AgentBindings {
  win::RPC_BINDING_HANDLE service = nullptr;
  win::RPC_BINDING_HANDLE agent = nullptr;
  win::RPC_BINDING_HANDLE assistant = nullptr;

  // In the order service, agent, assistant; a failure is logged and that binding stays absent.
  void Create(ILogger& log);
  // In the order assistant, agent, service; only those that exist.
  void Free();
};

// The calls. *result is the service's answer to the stop request.
win::RPC_STATUS CallStopService(win::RPC_BINDING_HANDLE binding, int32_t* result);
win::RPC_STATUS CallQuitAgent(win::RPC_BINDING_HANDLE binding);
win::RPC_STATUS CallQuitAssistant(win::RPC_BINDING_HANDLE binding);
win::RPC_STATUS CallUninstallMenuAndLink(win::RPC_BINDING_HANDLE binding);

// The assistant's menu and shortcut removal: true when the call went through; every exception
// but 1722 is logged.
bool UninstallMenuAndLink(ILogger& log, const AgentBindings& bindings);

}  // namespace qz
