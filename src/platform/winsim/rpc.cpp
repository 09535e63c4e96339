// Local RPC of a simulated machine over Unix sockets in the abstract namespace, one per endpoint,
// named from the machine root and the endpoint so machines never meet. A call is one connection:
// the request frame (interface, version, procedure, NDR bytes) and the reply frame (status, bytes).
// Nothing listening gives RPC_S_SERVER_UNAVAILABLE; a connection that drops before the reply,
// RPC_S_CALL_FAILED.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/platform.h"
#include "platform/winsim/sockets.h"
#include "platform/winsim/services.h"

namespace winsim {

using namespace win;

namespace {

constexpr char kMagic[4] = {'Q', 'Z', 'R', 'P'};
constexpr uint32_t kMaxFrame = 16u << 20;

std::string Hex64(uint64_t v) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

// The abstract socket address of an endpoint of a machine.
bool EndpointAddress(const std::string& root, std::string_view endpoint, sockaddr_un* addr, socklen_t* len) {
  std::string ep(endpoint);
  if (ep.size() > 64) ep = "h" + Hex64(Fnv1a(ep));
  return AbstractAddress("winsim-rpc:" + Hex64(Fnv1a(root)) + ":" + ep, addr, len);
}

}  // namespace

bool AbstractAddress(std::string_view name, sockaddr_un* addr, socklen_t* len) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (name.size() + 1 > sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path + 1, name.data(), name.size());
  *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return true;
}

namespace {

bool WriteAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, void* data, size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = ::recv(fd, p, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void PutU32(std::vector<BYTE>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<BYTE>(v >> (8 * i)));
}
void PutU16(std::vector<BYTE>& b, uint16_t v) {
  b.push_back(static_cast<BYTE>(v));
  b.push_back(static_cast<BYTE>(v >> 8));
}
uint32_t GetU32(const BYTE* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint16_t GetU16(const BYTE* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

class BindingObject : public KernelObject {
 public:
  explicit BindingObject(std::string endpoint) : endpoint(std::move(endpoint)) {}
  std::string endpoint;
};

// What a server process shares with the threads that serve its calls.
struct ServerState {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<RPC_SERVER_INTERFACE> interfaces;
  std::vector<int> endpoints;  // bound sockets
  bool listening = false;
  bool everListened = false;
  int inFlight = 0;  // calls being served
  std::vector<std::thread> acceptors;
};

void Serve(std::shared_ptr<ServerState> s, int fd);

void ServeConnection(std::shared_ptr<ServerState> s, int fd) {
  Serve(s, fd);
  std::lock_guard lock(s->mutex);
  --s->inFlight;
  s->cv.notify_all();
}

void Serve(std::shared_ptr<ServerState> s, int fd) {
  char magic[4];
  uint32_t len = 0;
  BYTE lenBytes[4];
  if (!ReadAll(fd, magic, 4) || std::memcmp(magic, kMagic, 4) != 0 || !ReadAll(fd, lenBytes, 4)) {
    ::close(fd);
    return;
  }
  len = GetU32(lenBytes);
  if (len < 24 || len > kMaxFrame) {
    ::close(fd);
    return;
  }
  std::vector<BYTE> frame(len);
  if (!ReadAll(fd, frame.data(), len)) {
    ::close(fd);
    return;
  }
  RPC_IF_ID id;
  id.Uuid.Data1 = GetU32(&frame[0]);
  id.Uuid.Data2 = GetU16(&frame[4]);
  id.Uuid.Data3 = GetU16(&frame[6]);
  for (int i = 0; i < 8; ++i) id.Uuid.Data4[i] = frame[8 + i];
  id.VersMajor = GetU16(&frame[16]);
  id.VersMinor = GetU16(&frame[18]);
  UINT proc = GetU32(&frame[20]);
  std::vector<BYTE> in(frame.begin() + 24, frame.end());

  std::function<RPC_STATUS(UINT, const std::vector<BYTE>&, std::vector<BYTE>*)> dispatch;
  {
    std::lock_guard lock(s->mutex);
    for (const auto& i : s->interfaces) {
      if (IsEqualGUID(i.InterfaceId.Uuid, id.Uuid) && i.InterfaceId.VersMajor == id.VersMajor &&
          id.VersMinor <= i.InterfaceId.VersMinor) {
        dispatch = i.Dispatch;
      }
    }
  }
  std::vector<BYTE> out;
  RPC_STATUS status = RPC_S_UNKNOWN_IF;
  if (dispatch) {
    try {
      status = dispatch(proc, in, &out);
    } catch (...) {
      status = RPC_X_BAD_STUB_DATA;
    }
  }
  std::vector<BYTE> reply;
  PutU32(reply, static_cast<uint32_t>(status));
  PutU32(reply, static_cast<uint32_t>(status == RPC_S_OK ? out.size() : 0));
  if (status == RPC_S_OK) reply.insert(reply.end(), out.begin(), out.end());
  WriteAll(fd, reply.data(), reply.size());
  ::close(fd);
}

void AcceptLoop(std::shared_ptr<ServerState> s, int listenFd) {
  while (true) {
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // shut down
    }
    {
      std::lock_guard lock(s->mutex);
      ++s->inFlight;
    }
    std::thread(ServeConnection, s, fd).detach();
  }
}

class WinsimRpc : public IRpc {
 public:
  explicit WinsimRpc(std::shared_ptr<Machine> m) : m_(std::move(m)), server_(std::make_shared<ServerState>()) {}

  ~WinsimRpc() override { RpcMgmtStopServerListening(); }

  RPC_STATUS RpcStringBindingComposeA(std::string_view objUuid, std::string_view protSeq, std::string_view networkAddr,
                                      std::string_view endpoint, std::string_view options,
                                      std::string* stringBinding) override {
    if (!objUuid.empty()) {
      GUID g;
      if (UuidFromStringA(objUuid, &g) != RPC_S_OK) return RPC_S_INVALID_STRING_UUID;
    }
    *stringBinding = ComposeStringBinding(objUuid, protSeq, networkAddr, endpoint, options);
    return RPC_S_OK;
  }

  RPC_STATUS RpcStringFreeA(std::string* s) override {
    if (s) {
      s->clear();
      s->shrink_to_fit();
    }
    return RPC_S_OK;
  }

  RPC_STATUS RpcBindingFromStringBindingA(std::string_view text, RPC_BINDING_HANDLE* binding) override {
    *binding = nullptr;
    StringBindingParts parts;
    RPC_STATUS rc = ParseStringBinding(text, &parts);
    if (rc != RPC_S_OK) return rc;
    if (parts.protSeq != "ncalrpc") return RPC_S_PROTSEQ_NOT_SUPPORTED;
    if (!parts.networkAddr.empty()) return RPC_S_INVALID_STRING_BINDING;
    try {
      *binding = reinterpret_cast<RPC_BINDING_HANDLE>(Handles().Add(std::make_shared<BindingObject>(parts.endpoint)));
    } catch (...) {
      return 14;  // RPC_S_OUT_OF_MEMORY
    }
    return RPC_S_OK;
  }

  RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* binding) override {
    if (!binding || !Handles().GetAs<BindingObject>(reinterpret_cast<HANDLE>(*binding))) return RPC_S_INVALID_BINDING;
    Handles().Close(reinterpret_cast<HANDLE>(*binding));
    *binding = nullptr;
    return RPC_S_OK;
  }

  RPC_STATUS NdrClientCall(RPC_BINDING_HANDLE binding, const RPC_IF_ID& iface, UINT procNum,
                           const std::vector<BYTE>& in, std::vector<BYTE>* out) override {
    auto b = Handles().GetAs<BindingObject>(reinterpret_cast<HANDLE>(binding));
    if (!b) return RPC_S_INVALID_BINDING;
    if (b->endpoint.empty()) return RPC_S_SERVER_UNAVAILABLE;  // no endpoint mapper on winsim
    sockaddr_un addr;
    socklen_t len = 0;
    if (!EndpointAddress(m_->root(), b->endpoint, &addr, &len)) return RPC_S_INVALID_ENDPOINT_FORMAT;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return RPC_S_SERVER_UNAVAILABLE;
    int rc;
    do {
      rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
      ::close(fd);
      return RPC_S_SERVER_UNAVAILABLE;
    }
    std::vector<BYTE> frame(kMagic, kMagic + 4);
    PutU32(frame, static_cast<uint32_t>(24 + in.size()));
    PutU32(frame, iface.Uuid.Data1);
    PutU16(frame, iface.Uuid.Data2);
    PutU16(frame, iface.Uuid.Data3);
    frame.insert(frame.end(), iface.Uuid.Data4, iface.Uuid.Data4 + 8);
    PutU16(frame, iface.VersMajor);
    PutU16(frame, iface.VersMinor);
    PutU32(frame, procNum);
    frame.insert(frame.end(), in.begin(), in.end());
    BYTE head[8];
    if (!WriteAll(fd, frame.data(), frame.size()) || !ReadAll(fd, head, 8)) {
      ::close(fd);
      return RPC_S_CALL_FAILED;
    }
    uint32_t status = GetU32(head), size = GetU32(head + 4);
    if (size > kMaxFrame) {
      ::close(fd);
      return RPC_S_CALL_FAILED;
    }
    std::vector<BYTE> body(size);
    if (size && !ReadAll(fd, body.data(), size)) {
      ::close(fd);
      return RPC_S_CALL_FAILED;
    }
    ::close(fd);
    if (status != RPC_S_OK) return static_cast<RPC_STATUS>(status);
    if (out) *out = std::move(body);
    return RPC_S_OK;
  }

  RPC_STATUS RpcServerUseProtseqEpA(std::string_view protSeq, UINT, std::string_view endpoint) override {
    if (protSeq != "ncalrpc") return RPC_S_PROTSEQ_NOT_SUPPORTED;
    sockaddr_un addr;
    socklen_t len = 0;
    if (endpoint.empty() || !EndpointAddress(m_->root(), endpoint, &addr, &len)) return RPC_S_INVALID_ENDPOINT_FORMAT;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 14;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
      int e = errno;
      ::close(fd);
      return e == EADDRINUSE ? RPC_S_DUPLICATE_ENDPOINT : RPC_S_INVALID_ENDPOINT_FORMAT;
    }
    std::lock_guard lock(server_->mutex);
    server_->endpoints.push_back(fd);
    return RPC_S_OK;
  }

  RPC_STATUS RpcServerRegisterIf(const RPC_SERVER_INTERFACE& iface) override {
    std::lock_guard lock(server_->mutex);
    for (const auto& i : server_->interfaces) {
      if (IsEqualGUID(i.InterfaceId.Uuid, iface.InterfaceId.Uuid)) return RPC_S_ALREADY_REGISTERED;
    }
    server_->interfaces.push_back(iface);
    return RPC_S_OK;
  }

  RPC_STATUS RpcServerUnregisterIf(const RPC_IF_ID& iface) override {
    std::lock_guard lock(server_->mutex);
    auto& v = server_->interfaces;
    for (auto it = v.begin(); it != v.end(); ++it) {
      if (IsEqualGUID(it->InterfaceId.Uuid, iface.Uuid)) {
        v.erase(it);
        return RPC_S_OK;
      }
    }
    return RPC_S_UNKNOWN_IF;
  }

  RPC_STATUS RpcServerListen(UINT, UINT, BOOL dontWait) override {
    {
      std::lock_guard lock(server_->mutex);
      if (server_->listening) return RPC_S_ALREADY_LISTENING;
      if (server_->endpoints.empty()) return RPC_S_NO_PROTSEQS_REGISTERED;
      for (int fd : server_->endpoints) {
        if (::listen(fd, 64) != 0) return RPC_S_INVALID_ENDPOINT_FORMAT;
        server_->acceptors.emplace_back(AcceptLoop, server_, fd);
      }
      server_->listening = true;
      server_->everListened = true;
    }
    return dontWait ? RPC_S_OK : RpcMgmtWaitServerListen();
  }

  RPC_STATUS RpcMgmtStopServerListening() override {
    std::vector<std::thread> acceptors;
    std::vector<int> fds;
    {
      std::lock_guard lock(server_->mutex);
      if (!server_->listening) return RPC_S_NOT_LISTENING;
      server_->listening = false;
      acceptors.swap(server_->acceptors);
      fds.swap(server_->endpoints);
    }
    for (int fd : fds) ::shutdown(fd, SHUT_RDWR);
    for (auto& t : acceptors) {
      if (t.get_id() == std::this_thread::get_id()) {
        t.detach();
      } else {
        t.join();
      }
    }
    for (int fd : fds) ::close(fd);
    server_->cv.notify_all();
    return RPC_S_OK;
  }

  // Returns when listening has stopped and the calls in progress are answered.
  RPC_STATUS RpcMgmtWaitServerListen() override {
    std::unique_lock lock(server_->mutex);
    if (!server_->everListened) return RPC_S_NOT_LISTENING;
    server_->cv.wait(lock, [&] { return !server_->listening && server_->inFlight == 0; });
    return RPC_S_OK;
  }

 private:
  std::shared_ptr<Machine> m_;
  std::shared_ptr<ServerState> server_;
};

}  // namespace

std::unique_ptr<IRpc> MakeRpc(std::shared_ptr<Machine> m) { return std::make_unique<WinsimRpc>(std::move(m)); }

}  // namespace winsim
