#include "support/peers.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "support/test_machine.h"

namespace qztest {

namespace fs = std::filesystem;

void MakeCertificate(const HostDir& dir, const std::string& san) {
  const std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=qz-test -addext "
                          "'subjectAltName=" + san + "' -keyout '" + dir / "key.pem" + "' -out '" + dir / "cert.pem" +
                          "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
}

std::string CertificateDer(const HostDir& dir) {
  const std::string der = dir / "cert.der";
  std::system(("openssl x509 -in '" + dir / "cert.pem" + "' -outform DER -out '" + der + "'").c_str());
  return ReadHostFile(der);
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& log) {
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

void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
}

bool PortOpen(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

int FreePort() {
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

void MakeSigningPki(const HostDir& dir) {
  const std::string qzpack = BuiltProgram("qzpack");
  fs::create_directories(dir / "pki");
  ASSERT_EQ(RunHost({qzpack, "ca", "--cert", dir / "pki/ca.pem", "--key", dir / "pki/ca.key"}), 0);
  ASSERT_EQ(RunHost({qzpack, "cert", "--ca", dir / "pki/ca.pem", "--ca-key", dir / "pki/ca.key", "--cert",
                     dir / "pki/fs.crt", "--key", dir / "pki/fs.key"}),
            0);
}

std::string JournalEntry::Header(const std::string& name) const {
  for (const auto& h : headers)
    if (h.rfind(name + ": ", 0) == 0) return h.substr(name.size() + 2);
  return {};
}

QzServer::QzServer(const HostDir& dir, std::vector<std::string> extra) : dir_(dir) {
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

QzServer::~QzServer() { Stop(pid_); }

void QzServer::Faults(const std::string& rules) const { WriteHostFile(dir_ / "faults.txt", rules); }

void QzServer::Publish(const std::string& rel, const std::string& data) const {
  WriteHostFile(dir_ / ("release/" + rel), data);
}

// Each entry: a line of name=value fields, its header lines, an empty line, the body (as long as
// its body= field says) and a line end.
std::vector<JournalEntry> QzServer::Journal() const {
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

Nginx::Nginx(const HostDir& dir) {
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

Nginx::~Nginx() { Stop(pid_); }

std::unique_ptr<QzServer> StartPublisher(const HostDir& dir) {
  MakeCertificate(dir);
  auto server = std::make_unique<QzServer>(dir, std::vector<std::string>{"--set", "lang=1", "--set", "default_client=7"});
  if (server->httpsPort <= 0) {
    ADD_FAILURE() << "qzserver did not start";
    return nullptr;
  }
  MakeSigningPki(dir);
  return server;
}

std::string RequestName(const JournalEntry& e) {
  if (e.path != "/CAgentRequest") return e.path;
  // "_c=name" as the first field or after an "&".
  for (size_t at = e.body.find("_c="); at != std::string::npos; at = e.body.find("_c=", at + 3)) {
    if (at != 0 && e.body[at - 1] != '&') continue;
    const size_t end = e.body.find('&', at);
    return e.body.substr(at + 3, end == std::string::npos ? std::string::npos : end - at - 3);
  }
  return e.path;
}

::testing::AssertionResult RequestsAre(const std::vector<JournalEntry>& journal, const std::vector<std::string>& expected,
                                       Alive alive) {
  std::vector<std::string> seen;
  for (const JournalEntry& e : journal) {
    std::string name = RequestName(e);
    if (alive == Alive::Allowed && name == "alive") continue;
    seen.push_back(std::move(name));
  }
  if (seen == expected) return ::testing::AssertionSuccess();
  auto list = [](const std::vector<std::string>& v) {
    std::string s;
    for (const auto& x : v) s += "\n    " + x;
    return s;
  };
  return ::testing::AssertionFailure() << "requests seen:" << list(seen) << "\n  expected (and nothing else):"
                                       << list(expected);
}

}  // namespace qztest
