// How other processes reach a process's windows: an abstract Unix socket named from the machine and
// the pid, one line per request, answered with an exit code line and text. `winsim ui` and
// PostMessageW from another process use it.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "platform/winsim/sockets.h"
#include "platform/winsim/windows_internal.h"

namespace winsim {

namespace {

constexpr size_t kMaxRequest = 64 * 1024;

// The same machine can be named by different spellings of its folder.
std::string CanonicalRoot(const std::string& root) {
  std::error_code ec;
  auto p = std::filesystem::weakly_canonical(std::filesystem::absolute(root, ec), ec);
  std::string s = ec ? root : p.string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

bool Address(const std::string& root, int pid, sockaddr_un* addr, socklen_t* len) {
  char name[96];
  int n = std::snprintf(name, sizeof name, "winsim-ui:%016llx:%d",
                        static_cast<unsigned long long>(Fnv1a(CanonicalRoot(root))), pid);
  return n > 0 && AbstractAddress(std::string_view(name, static_cast<size_t>(n)), addr, len);
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads to the end (or up to limit bytes); false on time-out or error.
bool ReadAll(int fd, std::string* out, size_t limit, int timeoutMs, bool untilNewline) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buf[4096];
  for (;;) {
    if (untilNewline && out->find('\n') != std::string::npos) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out->append(buf, static_cast<size_t>(n));
    if (out->size() > limit) return false;
  }
}

}  // namespace

UiServer::UiServer(const std::string& root, int pid, Handler handler)
    : root_(root), pid_(pid), handler_(std::move(handler)) {}

UiServer::~UiServer() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) ::close(fd_);
}

bool UiServer::Start() {
  sockaddr_un addr;
  socklen_t len;
  if (!Address(root_, pid_, &addr, &len)) return false;
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd_, 16) != 0) {
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

void UiServer::Run() {
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<Worker> workers;
  for (;;) {
    int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      break;  // shut down
    }
    // Abstract sockets have no file permissions: only processes of the same user may drive the
    // windows or have a picture written with this process's rights.
    ucred peer{};
    socklen_t peerLen = sizeof peer;
    if (::getsockopt(c, SOL_SOCKET, SO_PEERCRED, &peer, &peerLen) != 0 || peer.uid != ::getuid()) {
      ::close(c);
      continue;
    }
    // One thread per request: an input request may wait for the window's thread while a message
    // posted from elsewhere must still get through.
    // Finished requests are joined as new ones come, so a long-lived window keeps no dead threads.
    std::erase_if(workers, [](Worker& w) {
      if (!w.done->load()) return false;
      w.thread.join();
      return true;
    });
    auto done = std::make_shared<std::atomic<bool>>(false);
    workers.push_back({std::thread([this, c, done] {
      std::string request;
      if (ReadAll(c, &request, kMaxRequest, 5000, true)) {
        request = request.substr(0, request.find('\n'));
        int code = 1;
        std::string answer;
        try {
          answer = handler_(request, &code);
        } catch (const std::exception& e) {
          code = 1;
          answer = std::string("failed: ") + e.what() + "\n";
        }
        WriteAll(c, std::to_string(code) + "\n" + answer);
      }
      ::close(c);
      done->store(true);
    }), done});
  }
  for (auto& w : workers) w.thread.join();
}

int UiRequest(const std::string& root, int pid, const std::string& request, std::string* answer, int timeoutMs) {
  sockaddr_un addr;
  socklen_t len;
  if (!Address(root, pid, &addr, &len)) return -1;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    ::close(fd);
    return -1;
  }
  bool ok = WriteAll(fd, request + "\n") && ReadAll(fd, &reply, 64u << 20, timeoutMs, false);
  ::close(fd);
  size_t nl = reply.find('\n');
  if (!ok || nl == std::string::npos) return -2;
  if (answer) *answer = reply.substr(nl + 1);
  return std::atoi(reply.substr(0, nl).c_str());
}

bool PostToWindowProcess(const std::string& root, int pid, win::HWND window, win::UINT msg, win::WPARAM wParam,
                         win::LPARAM lParam) {
  char request[128];
  std::snprintf(request, sizeof request, "post %llu %llu %llu %lld",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window)),
                static_cast<unsigned long long>(msg), static_cast<unsigned long long>(wParam),
                static_cast<long long>(lParam));
  return UiRequest(root, pid, request, nullptr, 5000) == 0;
}

int RunUiCommand(const std::string& root, const std::vector<std::string>& args) {
  std::vector<std::string> a = args;
  int pid = 0;
  if (a.size() >= 2 && a[0] == "--pid") {
    pid = std::atoi(a[1].c_str());
    a.erase(a.begin(), a.begin() + 2);
  }
  if (a.empty()) {
    std::fprintf(stderr, "winsim ui: layout, screenshot FILE, click|hover|leave ID or key NAME\n");
    return 2;
  }
  const std::string& cmd = a[0];
  for (const auto& arg : a) {
    if (arg.find('\n') != std::string::npos) {
      std::fprintf(stderr, "winsim ui: an argument holds a line break\n");
      return 2;
    }
  }
  std::string request;
  if (cmd == "layout" && a.size() == 1) {
    request = "layout";
  } else if (cmd == "screenshot" && a.size() == 2) {
    std::error_code ec;
    request = "screenshot " + std::filesystem::absolute(a[1], ec).string();
  } else if ((cmd == "click" || cmd == "hover" || cmd == "leave" || cmd == "key") && a.size() == 2) {
    request = cmd + " " + a[1];
  } else {
    std::fprintf(stderr, "winsim ui: unknown command\n");
    return 2;
  }
  if (pid == 0) {
    // The newest live process with a visible dialog, else the newest with any dialog.
    ProcessIdentity id;
    id.imagePath = u"C:\\Windows\\explorer.exe";
    Machine m(root, id);
    std::vector<int> pids;
    m.WithState([&](Db& db) {
      db.Exec(
          "CREATE TABLE IF NOT EXISTS windows(hwnd INTEGER PRIMARY KEY, pid INTEGER, start INTEGER, class TEXT,"
          " title TEXT, minimized INTEGER DEFAULT 0, redraw INTEGER DEFAULT 1)");
      auto st = db.Prepare("SELECT pid, start FROM windows WHERE class='#32770' ORDER BY start DESC, hwnd DESC");
      while (st.Step()) {
        int p = static_cast<int>(st.Int(0));
        auto start = ProcessStartTime(p);
        if (start && *start == static_cast<uint64_t>(st.Int(1)) && std::find(pids.begin(), pids.end(), p) == pids.end()) {
          pids.push_back(p);
        }
      }
      return 0;
    });
    int any = 0;
    for (int p : pids) {
      std::string info;
      if (UiRequest(root, p, "info", &info, 5000) != 0) continue;
      if (info.rfind("dialog visible", 0) == 0) {
        pid = p;
        break;
      }
      if (!any && info.rfind("dialog", 0) == 0) any = p;
    }
    if (!pid) pid = any;
    if (!pid) {
      std::fprintf(stderr, "winsim ui: no process with a dialog\n");
      return 1;
    }
  }
  std::string answer;
  int code = UiRequest(root, pid, request, &answer, 15000);
  // Input that ends the program (a click on its last window's Quit) has done what it should.
  if (code == -2 && cmd != "layout" && cmd != "screenshot" && !ProcessStartTime(pid)) return 0;
  if (code < 0) {
    std::fprintf(stderr, "winsim ui: process %d has no windows\n", pid);
    return 1;
  }
  std::fputs(answer.c_str(), code == 0 ? stdout : stderr);
  return code;
}

}  // namespace winsim
