// Local RPC on the real run time. Calls are raw NDR messages: the client fills an RPC message for
// the interface and procedure and sends it with I_RpcSendReceive, and the server registers one
// generic stub for every procedure number that hands the request bytes to the manager code. On the
// wire this is what MIDL stubs exchange, so either side talks to MIDL-built peers.
#include <cstring>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/rpc.h"
#include "platform/win32/services.h"
#include "platform/win32/win_api.h"

#include <rpc.h>
#include <rpcndr.h>

namespace win32 {

namespace {

// Every procedure number a request can carry (16 bits on the wire), so the manager code judges
// each one: Wine's run time answers a number past the table with a fault and then still sends a
// reply, which the connection's next call would read as its own.
constexpr unsigned kMaxProcs = 0x10000;

const ::RPC_SYNTAX_IDENTIFIER kNdr = {
    {0x8A885D04, 0x1CEB, 0x11C9, {0x9F, 0xE8, 0x08, 0x00, 0x2B, 0x10, 0x48, 0x60}}, {2, 0}};

::RPC_SYNTAX_IDENTIFIER Syntax(const win::RPC_IF_ID& id) {
  ::RPC_SYNTAX_IDENTIFIER s{};
  s.SyntaxGUID.Data1 = id.Uuid.Data1;
  s.SyntaxGUID.Data2 = id.Uuid.Data2;
  s.SyntaxGUID.Data3 = id.Uuid.Data3;
  std::memcpy(s.SyntaxGUID.Data4, id.Uuid.Data4, 8);
  s.SyntaxVersion.MajorVersion = id.VersMajor;
  s.SyntaxVersion.MinorVersion = id.VersMinor;
  return s;
}

bool SameInterface(const win::RPC_IF_ID& a, const win::RPC_IF_ID& b) {
  return win::IsEqualGUID(a.Uuid, b.Uuid) && a.VersMajor == b.VersMajor && a.VersMinor == b.VersMinor;
}

// The run time may keep pointers to interface descriptions for as long as the process lives, so
// they are kept until exit and reused per interface.
struct ClientInterface {
  win::RPC_IF_ID id;
  ::RPC_CLIENT_INTERFACE desc;
};

struct ServerInterface {
  win::RPC_IF_ID id;
  ::RPC_SERVER_INTERFACE desc;
  ::RPC_DISPATCH_TABLE table;
  std::function<win::RPC_STATUS(win::UINT, const std::vector<win::BYTE>&, std::vector<win::BYTE>*)> dispatch;
  bool registered = false;
};

struct Interfaces {
  std::mutex m;
  std::list<ClientInterface> clients;
  std::list<ServerInterface> servers;
};

// Never destroyed: the run time's threads may still read the descriptions while the process ends.
Interfaces& Shared() {
  static Interfaces* shared = new Interfaces;
  return *shared;
}

void __RPC_STUB GenericStub(PRPC_MESSAGE msg);

RPC_DISPATCH_FUNCTION* DispatchFunctions() {
  static RPC_DISPATCH_FUNCTION* table = [] {
    auto* t = new RPC_DISPATCH_FUNCTION[kMaxProcs];  // kept for the process's life
    for (unsigned i = 0; i < kMaxProcs; ++i) t[i] = GenericStub;
    return t;
  }();
  return table;
}

::RPC_CLIENT_INTERFACE* ClientDesc(const win::RPC_IF_ID& id) {
  Interfaces& all = Shared();
  std::lock_guard lock(all.m);
  for (auto& c : all.clients) {
    if (SameInterface(c.id, id)) return &c.desc;
  }
  auto& c = all.clients.emplace_back();
  c.id = id;
  std::memset(&c.desc, 0, sizeof c.desc);
  c.desc.Length = sizeof c.desc;
  c.desc.InterfaceId = Syntax(id);
  c.desc.TransferSyntax = kNdr;
  return &c.desc;
}

// The request's manager code, run with no C++ object left alive when the stub raises the fault
// (the raise unwinds through this frame without running destructors).
RPC_STATUS Serve(PRPC_MESSAGE msg) {
  std::function<win::RPC_STATUS(win::UINT, const std::vector<win::BYTE>&, std::vector<win::BYTE>*)> dispatch;
  {
    Interfaces& all = Shared();
    std::lock_guard lock(all.m);
    for (auto& s : all.servers) {
      if (&s.desc == msg->RpcInterfaceInformation && s.registered) dispatch = s.dispatch;
    }
  }
  if (!dispatch) return RPC_S_UNKNOWN_IF;
  std::vector<win::BYTE> out;
  RPC_STATUS status;
  try {
    const auto* p = static_cast<const win::BYTE*>(msg->Buffer);
    std::vector<win::BYTE> in(p, p + (p ? msg->BufferLength : 0));
    status = dispatch(msg->ProcNum & ~RPC_FLAGS_VALID_BIT, in, &out);
  } catch (...) {
    status = RPC_X_BAD_STUB_DATA;
  }
  if (status != RPC_S_OK) return status;
  msg->BufferLength = static_cast<unsigned>(out.size());
  status = I_RpcGetBuffer(msg);
  if (status != RPC_S_OK) return status;
  if (!out.empty()) std::memcpy(msg->Buffer, out.data(), out.size());
  return RPC_S_OK;
}

void __RPC_STUB GenericStub(PRPC_MESSAGE msg) {
  const RPC_STATUS status = Serve(msg);
  if (status != RPC_S_OK) RpcRaiseException(status);
}

class Win32Rpc : public win::IRpc {
 public:
  win::RPC_STATUS RpcStringBindingComposeA(std::string_view objUuid, std::string_view protSeq,
                                           std::string_view networkAddr, std::string_view endpoint,
                                           std::string_view options, std::string* stringBinding) override {
    std::string parts[5] = {std::string(objUuid), std::string(protSeq), std::string(networkAddr),
                            std::string(endpoint), std::string(options)};
    auto arg = [&](int i) {
      return parts[i].empty() ? nullptr : reinterpret_cast<RPC_CSTR>(parts[i].data());
    };
    RPC_CSTR text = nullptr;
    RPC_STATUS rc = ::RpcStringBindingComposeA(arg(0), arg(1), arg(2), arg(3), arg(4), &text);
    if (rc != RPC_S_OK) return rc;
    *stringBinding = reinterpret_cast<const char*>(text);
    ::RpcStringFreeA(&text);
    return RPC_S_OK;
  }

  win::RPC_STATUS RpcStringFreeA(std::string* s) override {
    if (s) {
      s->clear();
      s->shrink_to_fit();
    }
    return RPC_S_OK;
  }

  win::RPC_STATUS RpcBindingFromStringBindingA(std::string_view text, win::RPC_BINDING_HANDLE* binding) override {
    *binding = nullptr;
    win::StringBindingParts parts;
    RPC_STATUS rc = win::ParseStringBinding(text, &parts);
    if (rc != RPC_S_OK) return rc;
    if (parts.protSeq != "ncalrpc") return RPC_S_PROTSEQ_NOT_SUPPORTED;
    if (!parts.networkAddr.empty()) return RPC_S_INVALID_STRING_BINDING;
    std::string copy(text);
    ::RPC_BINDING_HANDLE h = nullptr;
    rc = ::RpcBindingFromStringBindingA(reinterpret_cast<RPC_CSTR>(copy.data()), &h);
    if (rc != RPC_S_OK) return rc;
    *binding = reinterpret_cast<win::RPC_BINDING_HANDLE>(h);
    return RPC_S_OK;
  }

  win::RPC_STATUS RpcBindingFree(win::RPC_BINDING_HANDLE* binding) override {
    if (!binding || !*binding) return RPC_S_INVALID_BINDING;
    ::RPC_BINDING_HANDLE h = reinterpret_cast<::RPC_BINDING_HANDLE>(*binding);
    RPC_STATUS rc = ::RpcBindingFree(&h);
    if (rc == RPC_S_OK) *binding = nullptr;
    return rc;
  }

  win::RPC_STATUS NdrClientCall(win::RPC_BINDING_HANDLE binding, const win::RPC_IF_ID& iface, win::UINT procNum,
                                const std::vector<win::BYTE>& in, std::vector<win::BYTE>* out) override {
    if (!binding) return RPC_S_INVALID_BINDING;
    RPC_MESSAGE msg;
    std::memset(&msg, 0, sizeof msg);
    msg.Handle = reinterpret_cast<::RPC_BINDING_HANDLE>(binding);
    msg.DataRepresentation = NDR_LOCAL_DATA_REPRESENTATION;
    msg.RpcInterfaceInformation = ClientDesc(iface);
    // As MIDL's stubs send it: the flags word is valid (and empty, a plain synchronous call).
    msg.ProcNum = procNum | RPC_FLAGS_VALID_BIT;
    msg.RpcFlags = 0;
    msg.BufferLength = static_cast<unsigned>(in.size());
    RPC_STATUS rc = I_RpcGetBuffer(&msg);
    if (rc != RPC_S_OK) return rc;
    if (!in.empty()) std::memcpy(msg.Buffer, in.data(), in.size());
    rc = I_RpcSendReceive(&msg);
    if (rc == RPC_S_OK && out) {
      const auto* p = static_cast<const win::BYTE*>(msg.Buffer);
      out->assign(p, p + (p ? msg.BufferLength : 0));
    }
    // Also after a failure, as the stubs do: a fault leaves the connection with the message, and
    // this gives it back to the binding.
    I_RpcFreeBuffer(&msg);
    return rc;
  }

  win::RPC_STATUS RpcServerUseProtseqEpA(std::string_view protSeq, win::UINT maxCalls,
                                         std::string_view endpoint) override {
    if (protSeq != "ncalrpc") return RPC_S_PROTSEQ_NOT_SUPPORTED;
    if (endpoint.empty()) return RPC_S_INVALID_ENDPOINT_FORMAT;
    std::string p(protSeq), e(endpoint);
    return ::RpcServerUseProtseqEpA(reinterpret_cast<RPC_CSTR>(p.data()), maxCalls,
                                    reinterpret_cast<RPC_CSTR>(e.data()), nullptr);
  }

  win::RPC_STATUS RpcServerRegisterIf(const win::RPC_SERVER_INTERFACE& iface) override {
    Interfaces& all = Shared();
    ServerInterface* s = nullptr;
    {
      std::lock_guard lock(all.m);
      for (auto& r : all.servers) {
        if (r.registered && win::IsEqualGUID(r.id.Uuid, iface.InterfaceId.Uuid)) return RPC_S_ALREADY_REGISTERED;
      }
      s = &all.servers.emplace_back();
      s->id = iface.InterfaceId;
      s->dispatch = iface.Dispatch;
      s->table.DispatchTableCount = kMaxProcs;
      s->table.DispatchTable = DispatchFunctions();
      s->table.Reserved = 0;
      std::memset(&s->desc, 0, sizeof s->desc);
      s->desc.Length = sizeof s->desc;
      s->desc.InterfaceId = Syntax(iface.InterfaceId);
      s->desc.TransferSyntax = kNdr;
      s->desc.DispatchTable = &s->table;
      s->registered = true;
    }
    RPC_STATUS rc = ::RpcServerRegisterIf(&s->desc, nullptr, nullptr);
    if (rc != RPC_S_OK) {
      std::lock_guard lock(all.m);
      s->registered = false;
    }
    return rc;
  }

  win::RPC_STATUS RpcServerUnregisterIf(const win::RPC_IF_ID& iface) override {
    Interfaces& all = Shared();
    ServerInterface* s = nullptr;
    {
      std::lock_guard lock(all.m);
      for (auto& r : all.servers) {
        if (r.registered && win::IsEqualGUID(r.id.Uuid, iface.Uuid)) s = &r;
      }
      if (!s) return RPC_S_UNKNOWN_IF;
    }
    RPC_STATUS rc = ::RpcServerUnregisterIf(&s->desc, nullptr, TRUE);
    if (rc == RPC_S_OK) {
      std::lock_guard lock(all.m);
      s->registered = false;
    }
    return rc;
  }

  win::RPC_STATUS RpcServerListen(win::UINT minThreads, win::UINT maxCalls, win::BOOL dontWait) override {
    return ::RpcServerListen(minThreads, maxCalls, dontWait);
  }

  win::RPC_STATUS RpcMgmtStopServerListening() override { return ::RpcMgmtStopServerListening(nullptr); }

  win::RPC_STATUS RpcMgmtWaitServerListen() override { return ::RpcMgmtWaitServerListen(); }
};

}  // namespace

std::unique_ptr<win::IRpc> MakeRpc() { return std::make_unique<Win32Rpc>(); }

}  // namespace win32
