// Local RPC of simulated machines: the same endpoint on two machines is two endpoints. The cases
// both backends share are in rpc_test.cpp.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/test_machine.h"

namespace {

using namespace win;

TEST(RpcWinsim, CallsReachTheServerOfTheirMachineOnly) {
  qztest::TestMachine a, b;
  a.Enter(u"C:\\srv.exe", 32);
  RPC_IF_ID iface;
  ASSERT_EQ(UuidFromStringA("8288B946-380C-491B-B15D-501EC98B2926", &iface.Uuid), RPC_S_OK);
  RPC_SERVER_INTERFACE server;
  server.InterfaceId = iface;
  server.Dispatch = [](UINT, const std::vector<BYTE>&, std::vector<BYTE>* out) -> RPC_STATUS {
    *out = {0x7F};
    return RPC_S_OK;
  };
  ASSERT_EQ(Rpc().RpcServerUseProtseqEpA("ncalrpc", 10, "tarlin_test"), RPC_S_OK);
  ASSERT_EQ(Rpc().RpcServerRegisterIf(server), RPC_S_OK);
  ASSERT_EQ(Rpc().RpcServerListen(1, 10, TRUE), RPC_S_OK);
  std::vector<BYTE> out;
  RPC_BINDING_HANDLE h = nullptr;
  ASSERT_EQ(Rpc().RpcBindingFromStringBindingA("ncalrpc:[tarlin_test]", &h), RPC_S_OK);
  EXPECT_EQ(Rpc().NdrClientCall(h, iface, 7, {}, &out), RPC_S_OK);
  EXPECT_EQ(out, std::vector<BYTE>{0x7F});
  {
    win::Platform* serverSide = &Platform::Current();
    b.Enter(u"C:\\client.exe", 32);
    RPC_BINDING_HANDLE other = nullptr;
    ASSERT_EQ(Rpc().RpcBindingFromStringBindingA("ncalrpc:[tarlin_test]", &other), RPC_S_OK);
    EXPECT_EQ(Rpc().NdrClientCall(other, iface, 7, {}, &out), static_cast<RPC_STATUS>(RPC_S_SERVER_UNAVAILABLE));
    Rpc().RpcBindingFree(&other);
    b.Leave();
    Platform::SetCurrent(serverSide);
  }
  EXPECT_EQ(Rpc().RpcMgmtStopServerListening(), RPC_S_OK);
  EXPECT_EQ(Rpc().RpcMgmtWaitServerListen(), RPC_S_OK);
  // A binding that has called before finds nobody either.
  EXPECT_EQ(Rpc().NdrClientCall(h, iface, 7, {}, &out), static_cast<RPC_STATUS>(RPC_S_SERVER_UNAVAILABLE));
  Rpc().RpcBindingFree(&h);
}

}  // namespace
