#include "standin.h"

#include <cstdlib>

#include "platform/text.h"

using namespace win;

namespace standin {

Options ParseOptions(std::u16string_view cmdLine) {
  Options o;
  auto argv = CommandLineToArgv(u"x " + std::u16string(cmdLine));
  for (size_t i = 1; i < argv.size(); ++i) {
    const auto& a = argv[i];
    if (a == u"-ignore") o.ignoreQuit = true;
    else if (a == u"-break") o.breakCall = true;
    else if (a == u"-slow" && i + 1 < argv.size()) o.slowMs = static_cast<DWORD>(std::strtoul(WideToUtf8(argv[++i]).c_str(), nullptr, 10));
    else if (a == u"-exitafter" && i + 1 < argv.size()) o.exitAfterMs = static_cast<DWORD>(std::strtoul(WideToUtf8(argv[++i]).c_str(), nullptr, 10));
  }
  return o;
}

void Note(std::u16string_view program, std::u16string_view text) {
  Desktop().OutputDebugStringW(std::u16string(program) + u": " + std::u16string(text));
}

int ServeUntilQuit(std::u16string_view program, std::string_view endpoint, std::string_view uuid, UINT quitProc,
                   const std::vector<UINT>& otherProcs, const Options& options) {
  HANDLE quit = Time().CreateEventW(TRUE, FALSE);
  RPC_SERVER_INTERFACE iface;
  UuidFromStringA(uuid, &iface.InterfaceId.Uuid);
  const std::u16string name(program);
  iface.Dispatch = [&, name](UINT proc, const std::vector<BYTE>&, std::vector<BYTE>*) -> RPC_STATUS {
    if (proc == quitProc) {
      Note(name, u"quit requested");
      if (options.breakCall) Processes().ExitProcess(0);
      if (!options.ignoreQuit) Time().SetEvent(quit);
      return RPC_S_OK;
    }
    for (UINT p : otherProcs) {
      if (p == proc) {
        Note(name, Fmt(u"procedure %u", proc));
        return RPC_S_OK;
      }
    }
    return RPC_S_PROCNUM_OUT_OF_RANGE;
  };
  if (Rpc().RpcServerUseProtseqEpA("ncalrpc", 10, endpoint) != RPC_S_OK ||
      Rpc().RpcServerRegisterIf(iface) != RPC_S_OK || Rpc().RpcServerListen(1, 10, TRUE) != RPC_S_OK) {
    Note(name, u"cannot listen");
    return 1;
  }
  Note(name, u"listening");
  Time().WaitForSingleObject(quit, options.exitAfterMs, WaitKind::Pause);
  if (options.slowMs) Time().Sleep(options.slowMs);
  Rpc().RpcMgmtStopServerListening();
  Rpc().RpcMgmtWaitServerListen();  // the quit call's answer goes out first
  Note(name, u"ended");
  return 0;
}

int Idle(const Options& options) {
  HANDLE never = Time().CreateEventW(TRUE, FALSE);
  Time().WaitForSingleObject(never, options.exitAfterMs, WaitKind::Pause);
  return 0;
}

}  // namespace standin
