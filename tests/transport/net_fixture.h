// Peers for transport tests: qzserver and nginx on loopback with a certificate made by the openssl
// command, a reader of qzserver's journal, and a clock that counts pauses but really waits for I/O.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/fake_time.h"
#include "support/test_machine.h"

namespace qztest {

namespace fs = std::filesystem;

inline std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteHostFile(const std::string& path, const std::string& data) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

// Deterministic content, so a resumed file can be compared with the whole.
inline std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

class HostDir {
 public:
  HostDir() {
    std::string tmpl = (fs::temp_directory_path() / "qznet-XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~HostDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A self-signed certificate for the given subjectAltName, as cert.pem/key.pem in dir.
inline void MakeCertificate(const HostDir& dir, const std::string& san = "IP:127.0.0.1,DNS:localhost") {
  const std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=qz-test -addext "
                          "'subjectAltName=" + san + "' -keyout '" + dir / "key.pem" + "' -out '" + dir / "cert.pem" +
                          "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
}

inline std::string CertificateDer(const HostDir& dir) {
  const std::string der = dir / "cert.der";
  std::system(("openssl x509 -in '" + dir / "cert.pem" + "' -outform DER -out '" + der + "'").c_str());
  return ReadHostFile(der);
}

inline pid_t Spawn(const std::vector<std::string>& args, const std::string& log) {
  pid_t pid = fork();
  if (pid == 0) {
    FILE* f = std::freopen(log.c_str(), "w", stdout);
    if (f) dup2(fileno(f), 2);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

inline void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
}

inline bool PortOpen(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

inline int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

struct JournalEntry {
  long n = 0;
  std::string method, path, tls;
  int status = 0;
  std::vector<std::string> headers;  // "Name: value"
  std::string body;
  std::string Header(const std::string& name) const {
    for (const auto& h : headers)
      if (h.rfind(name + ": ", 0) == 0) return h.substr(name.size() + 2);
    return {};
  }
};

// qzserver with a release folder (files under agent/ and certs/), an upload folder and a journal.
// A publisher's CA (pki/ca.pem, ca.key) and file-signing certificate (pki/fs.crt, fs.key) made
// by qzpack, for releases that the agent must accept.
inline void MakeSigningPki(const HostDir& dir) {
  const std::string qzpack = BuiltProgram("qzpack");
  fs::create_directories(dir / "pki");
  ASSERT_EQ(RunHost({qzpack, "ca", "--cert", dir / "pki/ca.pem", "--key", dir / "pki/ca.key"}), 0);
  ASSERT_EQ(RunHost({qzpack, "cert", "--ca", dir / "pki/ca.pem", "--ca-key", dir / "pki/ca.key", "--cert",
                     dir / "pki/fs.crt", "--key", dir / "pki/fs.key"}),
            0);
}

class QzServer {
 public:
  QzServer(const HostDir& dir, std::vector<std::string> extra = {}) : dir_(dir) {
    std::vector<std::string> args = {BuiltProgram("qzserver"), "--root", dir / "release", "--uploads",
                                     dir / "uploads", "--journal", dir / "journal.txt", "--faults",
                                     dir / "faults.txt", "--cert", dir / "cert.pem", "--key", dir / "key.pem",
                                     "--https-port", "0", "--http-port", "0", "--port-file", dir / "ports.txt"};
    args.insert(args.end(), extra.begin(), extra.end());
    fs::create_directories(dir / "release/agent");
    fs::create_directories(dir / "uploads");
    pid_ = Spawn(args, dir / "qzserver.log");
    for (int i = 0; i < 500 && !fs::exists(dir / "ports.txt"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::istringstream in(ReadHostFile(dir / "ports.txt"));
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("https=", 0) == 0) httpsPort = std::atoi(line.c_str() + 6);
      if (line.rfind("http=", 0) == 0) httpPort = std::atoi(line.c_str() + 5);
    }
  }
  ~QzServer() { Stop(pid_); }

  void Faults(const std::string& rules) const { WriteHostFile(dir_ / "faults.txt", rules); }
  void Publish(const std::string& rel, const std::string& data) const { WriteHostFile(dir_ / ("release/" + rel), data); }

  std::vector<JournalEntry> Journal() const {
    std::vector<JournalEntry> out;
    const std::string text = ReadHostFile(dir_ / "journal.txt");
    size_t pos = 0;
    while (pos < text.size()) {
      size_t eol = text.find('\n', pos);
      if (eol == std::string::npos) break;
      std::istringstream head(text.substr(pos, eol - pos));
      JournalEntry e;
      size_t bodyLen = 0;
      for (std::string f; head >> f;) {
        auto v = f.substr(f.find('=') + 1);
        if (f.rfind("n=", 0) == 0) e.n = std::atol(v.c_str());
        if (f.rfind("method=", 0) == 0) e.method = v;
        if (f.rfind("path=", 0) == 0) e.path = v;
        if (f.rfind("status=", 0) == 0) e.status = std::atoi(v.c_str());
        if (f.rfind("tls=", 0) == 0) e.tls = v;
        if (f.rfind("body=", 0) == 0) bodyLen = std::stoul(v);
      }
      pos = eol + 1;
      while (pos < text.size() && text[pos] != '\n') {
        eol = text.find('\n', pos);
        e.headers.push_back(text.substr(pos, eol - pos));
        pos = eol + 1;
      }
      pos += 1;
      e.body = text.substr(pos, bodyLen);
      pos += bodyLen + 1;
      out.push_back(std::move(e));
    }
    return out;
  }

  int httpsPort = 0, httpPort = 0;

 private:
  const HostDir& dir_;
  pid_t pid_ = -1;
};

// nginx serving dir/www over HTTPS on a free loopback port.
class Nginx {
 public:
  explicit Nginx(const HostDir& dir) {
    port = FreePort();
    fs::create_directories(dir / "www");
    fs::create_directories(dir / "nginx");
    const std::string conf = "master_process off;\npid " + dir / "nginx/nginx.pid" + ";\nerror_log " +
                             dir / "nginx/error.log" + ";\nevents {}\nhttp {\n access_log off;\n client_body_temp_path " +
                             dir / "nginx" + ";\n proxy_temp_path " + dir / "nginx" + ";\n fastcgi_temp_path " +
                             dir / "nginx" + ";\n uwsgi_temp_path " + dir / "nginx" + ";\n scgi_temp_path " +
                             dir / "nginx" + ";\n server {\n  listen 127.0.0.1:" + std::to_string(port) +
                             " ssl;\n  ssl_certificate " + dir / "cert.pem" + ";\n  ssl_certificate_key " +
                             dir / "key.pem" + ";\n  root " + dir / "www" + ";\n }\n}\n";
    WriteHostFile(dir / "nginx/nginx.conf", conf);
    const std::string program = fs::exists("/usr/sbin/nginx") ? "/usr/sbin/nginx" : "nginx";
    pid_ = Spawn({program, "-p", dir / "nginx", "-c", dir / "nginx/nginx.conf", "-g", "daemon off;"},
                 dir / "nginx/out.log");
    for (int i = 0; i < 500 && !PortOpen(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~Nginx() { Stop(pid_); }
  int port = 0;

 private:
  pid_t pid_ = -1;
};

// Pauses are counted and take no time; waits for I/O completions really wait.
class PauseCountingTime : public FakeTime {
 public:
  win::DWORD WaitForSingleObject(win::HANDLE object, win::DWORD ms, win::WaitKind kind) override {
    if (kind == win::WaitKind::Pause) return FakeTime::WaitForSingleObject(object, ms, kind);
    auto o = win::Handles().Get(object);
    if (!o || !o->IsWaitable()) return win::WAIT_FAILED;
    return o->Wait(ms) ? win::WAIT_OBJECT_0 : win::WAIT_TIMEOUT;
  }
};

// The server of a publisher's release: its TLS certificate, qzserver on loopback (English
// messages, client ID 7 for new agents) and the signing certificates under pki/; null when the
// server did not start.
inline std::unique_ptr<QzServer> StartPublisher(const HostDir& dir) {
  MakeCertificate(dir);
  auto server = std::make_unique<QzServer>(dir, std::vector<std::string>{"--set", "lang=1", "--set", "default_client=7"});
  if (server->httpsPort <= 0) {
    ADD_FAILURE() << "qzserver did not start";
    return nullptr;
  }
  MakeSigningPki(dir);
  return server;
}

}  // namespace qztest
