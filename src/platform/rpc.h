// Local RPC, shaped like the RPC run time: string bindings over "ncalrpc", binding handles, a
// client call per interface and procedure (NdrClientCall2's role: the status it returns is the
// exception code the Windows stub would raise), and the server side (endpoints, interfaces,
// listening). Marshalled arguments and results travel as NDR bytes.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace win {

using RPC_STATUS = LONG;
struct RPC_BINDING__;
using RPC_BINDING_HANDLE = RPC_BINDING__*;

constexpr RPC_STATUS RPC_S_OK = 0;
constexpr RPC_STATUS RPC_S_INVALID_STRING_BINDING = 1700;
constexpr RPC_STATUS RPC_S_WRONG_KIND_OF_BINDING = 1701;
constexpr RPC_STATUS RPC_S_INVALID_BINDING = 1702;
constexpr RPC_STATUS RPC_S_PROTSEQ_NOT_SUPPORTED = 1703;
constexpr RPC_STATUS RPC_S_INVALID_STRING_UUID = 1705;
constexpr RPC_STATUS RPC_S_INVALID_ENDPOINT_FORMAT = 1706;
constexpr RPC_STATUS RPC_S_ALREADY_REGISTERED = 1711;
constexpr RPC_STATUS RPC_S_ALREADY_LISTENING = 1713;
constexpr RPC_STATUS RPC_S_NO_PROTSEQS_REGISTERED = 1714;
constexpr RPC_STATUS RPC_S_NOT_LISTENING = 1715;
constexpr RPC_STATUS RPC_S_UNKNOWN_IF = 1717;
// RPC_S_SERVER_UNAVAILABLE (1722) and RPC_S_CALL_FAILED (1726) are in types.h.
constexpr RPC_STATUS RPC_S_SERVER_TOO_BUSY = 1723;
constexpr RPC_STATUS RPC_S_DUPLICATE_ENDPOINT = 1740;
constexpr RPC_STATUS RPC_S_PROCNUM_OUT_OF_RANGE = 1745;
constexpr RPC_STATUS RPC_X_BAD_STUB_DATA = 1783;

// Interface identity: UUID and version.
struct RPC_IF_ID {
  GUID Uuid;
  WORD VersMajor = 1;
  WORD VersMinor = 0;
};

inline bool IsEqualGUID(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) return false;
  }
  return true;
}

// "{8288B946-380C-491B-B15D-501EC98B2926}" or without braces; RPC_S_INVALID_STRING_UUID otherwise.
RPC_STATUS UuidFromStringA(std::string_view text, GUID* uuid);
std::string UuidToStringA(const GUID& uuid);  // upper-case, no braces

// A server's manager code for one interface: procedure number and marshalled input → status
// (RPC_S_OK, or the exception the client is to see) and marshalled output.
struct RPC_SERVER_INTERFACE {
  RPC_IF_ID InterfaceId;
  std::function<RPC_STATUS(UINT procNum, const std::vector<BYTE>& in, std::vector<BYTE>* out)> Dispatch;
};

class IRpc {
 public:
  virtual ~IRpc() = default;

  // "[uuid@]protseq:[address][endpoint,options]" as Windows composes it.
  virtual RPC_STATUS RpcStringBindingComposeA(std::string_view objUuid, std::string_view protSeq,
                                              std::string_view networkAddr, std::string_view endpoint,
                                              std::string_view options, std::string* stringBinding) = 0;
  virtual RPC_STATUS RpcStringFreeA(std::string* stringBinding) = 0;
  // Makes a binding without contacting the server; only "ncalrpc" is supported.
  virtual RPC_STATUS RpcBindingFromStringBindingA(std::string_view stringBinding, RPC_BINDING_HANDLE* binding) = 0;
  virtual RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* binding) = 0;
  // One synchronous call. RPC_S_SERVER_UNAVAILABLE when nothing listens on the endpoint,
  // RPC_S_CALL_FAILED when the connection breaks during the call, RPC_S_INVALID_BINDING for an
  // absent or freed binding, or the status the server's manager code raised.
  virtual RPC_STATUS NdrClientCall(RPC_BINDING_HANDLE binding, const RPC_IF_ID& iface, UINT procNum,
                                   const std::vector<BYTE>& in, std::vector<BYTE>* out) = 0;

  // Server side.
  virtual RPC_STATUS RpcServerUseProtseqEpA(std::string_view protSeq, UINT maxCalls, std::string_view endpoint) = 0;
  virtual RPC_STATUS RpcServerRegisterIf(const RPC_SERVER_INTERFACE& iface) = 0;
  virtual RPC_STATUS RpcServerUnregisterIf(const RPC_IF_ID& iface) = 0;
  // dontWait false: returns when listening stops.
  virtual RPC_STATUS RpcServerListen(UINT minThreads, UINT maxCalls, BOOL dontWait) = 0;
  virtual RPC_STATUS RpcMgmtStopServerListening() = 0;
  virtual RPC_STATUS RpcMgmtWaitServerListen() = 0;
};

// String bindings without any backend: composing and taking apart.
std::string ComposeStringBinding(std::string_view objUuid, std::string_view protSeq, std::string_view networkAddr,
                                 std::string_view endpoint, std::string_view options);
struct StringBindingParts {
  std::string objUuid, protSeq, networkAddr, endpoint, options;
};
RPC_STATUS ParseStringBinding(std::string_view stringBinding, StringBindingParts* parts);

}  // namespace win
