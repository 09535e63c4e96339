// Local RPC through the Win32-shaped calls: string bindings, calls, the status of each failure.
// These cases run on both backends; machines kept apart are winsim's (rpc_winsim_test.cpp).
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "support/conformance_host.h"

namespace {

using namespace win;

RPC_IF_ID Interface(const char* uuid) {
  RPC_IF_ID id;
  EXPECT_EQ(UuidFromStringA(uuid, &id.Uuid), RPC_S_OK);
  return id;
}

RPC_BINDING_HANDLE Bind(const std::string& endpoint) {
  std::string text;
  EXPECT_EQ(Rpc().RpcStringBindingComposeA("", "ncalrpc", "", endpoint, "", &text), RPC_S_OK);
  EXPECT_EQ(text, "ncalrpc:[" + endpoint + "]");
  RPC_BINDING_HANDLE b = nullptr;
  EXPECT_EQ(Rpc().RpcBindingFromStringBindingA(text, &b), RPC_S_OK);
  return b;
}

// An endpoint of this run only: on a real machine other programs share the namespace.
std::string Endpoint(const char* base) {
  GUID g;
  EXPECT_EQ(Com().CoCreateGuid(&g), S_OK);
  return base + UuidToStringA(g).substr(0, 8);
}

TEST(Rpc, StringBindingsAndUuids) {
  StringBindingParts p;
  ASSERT_EQ(ParseStringBinding("8288B946-380C-491B-B15D-501EC98B2926@ncalrpc:[ep_1,Security=x]", &p), RPC_S_OK);
  EXPECT_EQ(p.protSeq, "ncalrpc");
  EXPECT_EQ(p.endpoint, "ep_1");
  EXPECT_EQ(p.options, "Security=x");
  EXPECT_EQ(ParseStringBinding("ncalrpc", &p), RPC_S_INVALID_STRING_BINDING);
  GUID g;
  ASSERT_EQ(UuidFromStringA("{d2c60d21-5381-4a4a-b7f7-3f9479813cbd}", &g), RPC_S_OK);
  EXPECT_EQ(UuidToStringA(g), "D2C60D21-5381-4A4A-B7F7-3F9479813CBD");
  EXPECT_EQ(UuidFromStringA("D2C60D21-5381-4A4A-B7F7", &g), RPC_S_INVALID_STRING_UUID);
}

TEST(Rpc, CallsReachTheServerAndEachFailureHasItsStatus) {
  qztest::ConformanceHost host;
  const std::string endpoint = Endpoint("tarlin_test_"), nobody = Endpoint("tarlin_nobody_");
  const RPC_IF_ID iface = Interface("8288B946-380C-491B-B15D-501EC98B2926");
  RPC_SERVER_INTERFACE server;
  server.InterfaceId = iface;
  server.Dispatch = [](UINT proc, const std::vector<BYTE>& in, std::vector<BYTE>* out) -> RPC_STATUS {
    if (proc == 30 && in.size() == 1) return static_cast<RPC_STATUS>(in[0]) << 8;  // the manager raises
    if (proc != 7) return RPC_S_PROCNUM_OUT_OF_RANGE;
    *out = in;
    out->push_back(0x7F);
    return RPC_S_OK;
  };
  ASSERT_EQ(Rpc().RpcServerUseProtseqEpA("ncalrpc", 10, endpoint), RPC_S_OK);
  EXPECT_EQ(Rpc().RpcServerUseProtseqEpA("ncacn_ip_tcp", 10, "80"), RPC_S_PROTSEQ_NOT_SUPPORTED);
  ASSERT_EQ(Rpc().RpcServerRegisterIf(server), RPC_S_OK);
  EXPECT_EQ(Rpc().RpcServerRegisterIf(server), RPC_S_ALREADY_REGISTERED);
  ASSERT_EQ(Rpc().RpcServerListen(1, 10, TRUE), RPC_S_OK);

  RPC_BINDING_HANDLE h = Bind(endpoint);
  std::vector<BYTE> out;
  EXPECT_EQ(Rpc().NdrClientCall(h, iface, 7, {1, 2}, &out), RPC_S_OK);
  EXPECT_EQ(out, (std::vector<BYTE>{1, 2, 0x7F}));
  // A large message goes whole both ways.
  std::vector<BYTE> big(100000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<BYTE>(i * 7);
  EXPECT_EQ(Rpc().NdrClientCall(h, iface, 7, big, &out), RPC_S_OK);
  big.push_back(0x7F);
  EXPECT_EQ(out, big);
  // Unknown procedure numbers, small and large, and the next call on the same connection.
  for (UINT proc : {8u, 300u, 65535u}) {
    EXPECT_EQ(Rpc().NdrClientCall(h, iface, proc, {}, &out), RPC_S_PROCNUM_OUT_OF_RANGE) << proc;
    EXPECT_EQ(Rpc().NdrClientCall(h, iface, 7, {5}, &out), RPC_S_OK) << proc;
    EXPECT_EQ(out, (std::vector<BYTE>{5, 0x7F})) << proc;
  }
  EXPECT_EQ(Rpc().NdrClientCall(h, iface, 30, {0x12}, &out), 0x1200);
  EXPECT_EQ(Rpc().NdrClientCall(h, iface, 7, {}, &out), RPC_S_OK);
  EXPECT_EQ(out, std::vector<BYTE>{0x7F});
  EXPECT_EQ(Rpc().NdrClientCall(h, Interface("C2BA4A81-011D-4CC3-BFCF-B59DAEDF6BDE"), 0, {}, &out), RPC_S_UNKNOWN_IF);
  RPC_IF_ID v2 = iface;
  v2.VersMajor = 2;
  EXPECT_EQ(Rpc().NdrClientCall(h, v2, 7, {}, &out), RPC_S_UNKNOWN_IF);
  RPC_BINDING_HANDLE none = Bind(nobody);
  EXPECT_EQ(Rpc().NdrClientCall(none, iface, 7, {}, &out), static_cast<RPC_STATUS>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(Rpc().RpcBindingFree(&none), RPC_S_OK);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(Rpc().NdrClientCall(none, iface, 7, {}, &out), RPC_S_INVALID_BINDING);
  RPC_BINDING_HANDLE tcp = nullptr;
  EXPECT_EQ(Rpc().RpcBindingFromStringBindingA("ncacn_ip_tcp:host[80]", &tcp), RPC_S_PROTSEQ_NOT_SUPPORTED);

  // The client lets its connection go first: Wine's wait also waits for idle connections.
  EXPECT_EQ(Rpc().RpcBindingFree(&h), RPC_S_OK);
  EXPECT_EQ(Rpc().RpcMgmtStopServerListening(), RPC_S_OK);
  EXPECT_EQ(Rpc().RpcMgmtWaitServerListen(), RPC_S_OK);
  RPC_BINDING_HANDLE late = Bind(endpoint);
  EXPECT_EQ(Rpc().NdrClientCall(late, iface, 7, {}, &out), static_cast<RPC_STATUS>(RPC_S_SERVER_UNAVAILABLE));
  Rpc().RpcBindingFree(&late);
  EXPECT_EQ(Rpc().RpcServerUnregisterIf(iface), RPC_S_OK);
  EXPECT_EQ(Rpc().RpcServerUnregisterIf(iface), RPC_S_UNKNOWN_IF);
}

}  // namespace
