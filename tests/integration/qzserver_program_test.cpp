// qzserver as a peer must follow HTTP where the agent meets it: Range headers it cannot honour are
// ignored (the whole file, journalled and counted like any request), and it refuses at start what
// it could not honour later (a missing uploads folder, a site setting it cannot take).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/host_files.h"
#include "support/peers.h"
#include "support/test_machine.h"

using namespace qztest;

namespace {

struct Answer {
  int status = 0;
  std::string head, body;
};

// One plain-HTTP request to 127.0.0.1:port on a connection of its own; the whole answer.
Answer Get(int port, const std::string& path, const std::string& range) {
  Answer a;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return a;
  }
  std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  if (!range.empty()) request += "Range: " + range + "\r\n";
  request += "\r\n";
  (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string raw;
  char buf[4096];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) raw.append(buf, static_cast<size_t>(n));
  ::close(fd);
  const size_t end = raw.find("\r\n\r\n");
  if (raw.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return a;
  a.status = std::atoi(raw.c_str() + 9);
  a.head = raw.substr(0, end + 2);
  a.body = raw.substr(end + 4);
  return a;
}

std::string FileBody() {
  std::string body;
  for (int i = 0; i < 100; ++i) body += static_cast<char>('A' + i % 26);
  return body;
}

TEST(QzserverRange, MalformedRangesAreIgnoredJournalledAndCounted) {
  HostDir dir;
  MakeCertificate(dir);
  QzServer server(dir);
  ASSERT_GT(server.httpPort, 0);
  const std::string body = FileBody();
  server.Publish("agent/a.bin", body);
  // The sixth request is answered by this rule: malformed-range requests count like the others.
  server.Faults("#6 status=503\n");

  struct Case {
    std::string range;
    int status;
    std::string expectBody, contentRange, note;
  };
  const std::vector<Case> cases = {
      {"bytes=abc", 200, body, "", "Qz-Range: ignored (malformed)"},
      {"items=0-5", 200, body, "", "Qz-Range: ignored (not a bytes range)"},
      {"bytes=5-3", 200, body, "", "Qz-Range: ignored (malformed)"},
      {"bytes=123456789012345678901234567890-", 200, body, "", "Qz-Range: ignored (malformed)"},
      {"bytes=0-123456789012345678901234567890", 200, body, "", "Qz-Range: ignored (malformed)"},
      {"bytes=-123456789012345678901234567890", 503, "status 503", "", ""},
      {"bytes=0-1,5-6", 200, body, "", "Qz-Range: ignored (several ranges)"},
      // Well-formed ranges are still honoured, and one past the end still refused with its size.
      {"bytes=2-4", 206, body.substr(2, 3), "Content-Range: bytes 2-4/100", ""},
      {"bytes=95-", 206, body.substr(95), "Content-Range: bytes 95-99/100", ""},
      {"bytes=-3", 206, body.substr(97), "Content-Range: bytes 97-99/100", ""},
      {"bytes=100-", 416, "", "Content-Range: bytes */100", ""},
  };
  for (const auto& c : cases) {
    const Answer a = Get(server.httpPort, "/agent/a.bin", c.range);
    EXPECT_EQ(a.status, c.status) << c.range << "\n" << a.head;
    EXPECT_EQ(a.body, c.expectBody) << c.range;
    if (!c.contentRange.empty()) {
      EXPECT_NE(a.head.find(c.contentRange + "\r\n"), std::string::npos) << c.range << "\n" << a.head;
    } else {
      EXPECT_EQ(a.head.find("Content-Range"), std::string::npos) << c.range << "\n" << a.head;
    }
    EXPECT_EQ(a.head.find("X-Qzserver"), std::string::npos) << a.head;
  }
  // An error answer of the server's own is left as it is (not taken for a refused range).
  EXPECT_EQ(Get(server.httpPort, "/agent/missing.bin", "bytes=abc").status, 404);

  const auto journal = server.Journal();
  ASSERT_EQ(journal.size(), cases.size() + 1);
  for (size_t i = 0; i < cases.size(); ++i) {
    const JournalEntry& e = journal[i];
    EXPECT_EQ(e.n, static_cast<long>(i + 1)) << cases[i].range;
    EXPECT_EQ(e.status, cases[i].status) << cases[i].range;
    EXPECT_EQ(e.Header("Range"), cases[i].range);
    const bool noted = std::find(e.headers.begin(), e.headers.end(), cases[i].note) != e.headers.end();
    EXPECT_TRUE(cases[i].note.empty() || noted) << cases[i].range;
  }
  EXPECT_EQ(journal.back().status, 404);
}

// Runs qzserver with the peer's usual options and more; it must end by itself.
int RunServer(const HostDir& dir, const std::string& more, std::string* err) {
  int status = -1;
  const std::string errFile = dir / "err.txt";
  HostOutput("timeout 20 " + ShellQuote(BuiltProgram("qzserver")) + " --root " + ShellQuote(dir / "release") +
                 " --journal " + ShellQuote(dir / "journal.txt") + " --http-port 0 --port-file " +
                 ShellQuote(dir / "ports.txt") + " " + more + " 2>" + ShellQuote(errFile),
             &status);
  *err = ReadHostFile(errFile);
  return status;
}

TEST(QzserverStart, AMissingUploadsFolderIsRefused) {
  HostDir dir;
  std::filesystem::create_directories(dir / "release");
  std::string err;
  EXPECT_EQ(RunServer(dir, "--uploads " + ShellQuote(dir / "no-such-folder"), &err), 2);
  EXPECT_NE(err.find("uploads folder " + (dir / "no-such-folder") + " does not exist"), std::string::npos) << err;
  EXPECT_FALSE(std::filesystem::exists(dir / "ports.txt"));
}

TEST(QzserverStart, EverySiteSettingIsChecked) {
  HostDir dir;
  std::filesystem::create_directories(dir / "release");
  const std::vector<std::string> bad = {
      "build=abc",         "build=-5",         "build=4294967296", "build=12abc",       "build=",
      "default_client=x",  "client.=5",        "client.AB=0x",     "lang=1.5",          "menu=0xFFFFFFFFF",
      "mir_plc=-1",        "patch_timeout=1e3", "clock_offset_ms=--5", "stamp_window_ms=5s", "indent=2",
      "public_ip=1.2.3",   "public_ip=1.2.3.256", "updater=../x.exe", "client_key=short",  "nonsense=1",
      "no-equals-sign"};
  for (const auto& setting : bad) {
    std::string err;
    EXPECT_EQ(RunServer(dir, "--set " + ShellQuote(setting), &err), 2) << setting;
    EXPECT_NE(err.find("qzserver: "), std::string::npos) << setting;
    const std::string name = setting.substr(0, setting.find('='));
    EXPECT_NE(err.find(name), std::string::npos) << setting << ": " << err;
  }
  // The same checks hold for a site file, every bad line named.
  WriteHostFile(dir / "site.txt", "# comment\nbuild=7\nlang=x\nmenu=0xF0\nindent=yes\n");
  std::string err;
  EXPECT_EQ(RunServer(dir, "--site " + ShellQuote(dir / "site.txt"), &err), 2);
  EXPECT_NE(err.find("lang"), std::string::npos) << err;
  EXPECT_NE(err.find("indent"), std::string::npos) << err;
  EXPECT_EQ(err.find("build"), std::string::npos) << err;

  // Good values start the server.
  HostDir ok;
  MakeCertificate(ok);
  QzServer server(ok, {"--set", "build=4294967295", "--set", "menu=0xF0", "--set", "clock_offset_ms=-5000", "--set",
                       "public_ip=203.0.113.7", "--set", "client.00112233445566778899AABBCCDDEEFF=42", "--set",
                       "indent=1", "--set", "lang=2"});
  EXPECT_GT(server.httpsPort, 0);
}

}  // namespace
