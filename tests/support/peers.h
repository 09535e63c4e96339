// Host programs that tests talk to: qzserver and nginx on loopback with a certificate made by the
// openssl command, a reader of qzserver's journal, and the start and end of a host process.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/host_files.h"

namespace qztest {

// A self-signed certificate for the given subjectAltName, as cert.pem/key.pem in dir.
void MakeCertificate(const HostDir& dir, const std::string& san = "IP:127.0.0.1,DNS:localhost");
// The certificate of dir/cert.pem in DER form.
std::string CertificateDer(const HostDir& dir);

// Starts a host program (found on PATH) with its output and errors in log; its pid.
pid_t Spawn(const std::vector<std::string>& args, const std::string& log);
// Asks a spawned program to end and waits for it.
void Stop(pid_t pid);
// True when something accepts connections on the loopback port.
bool PortOpen(int port);
// A loopback port that nothing listens on now.
int FreePort();

// A publisher's CA (pki/ca.pem, ca.key) and file-signing certificate (pki/fs.crt, fs.key) made
// by qzpack, for releases that the agent must accept.
void MakeSigningPki(const HostDir& dir);

// One request as qzserver's journal records it.
struct JournalEntry {
  long n = 0;
  std::string method, path, tls;
  int status = 0;
  std::vector<std::string> headers;  // "Name: value"
  std::string body;
  std::string Header(const std::string& name) const;
};

// The name of a journalled request: the command ("_c") of an agent request, the path of any other.
std::string RequestName(const JournalEntry& e);

// Whether a run's requests were exactly the expected ones, in order, and nothing else. Alive
// requests come at moments that depend on timing: with Alive::Allowed they are left out before the
// comparison (the expected list then names none).
enum class Alive { Refused, Allowed };
::testing::AssertionResult RequestsAre(const std::vector<JournalEntry>& journal, const std::vector<std::string>& expected,
                                       Alive alive = Alive::Refused);

// qzserver with a release folder (files under agent/ and certs/), an upload folder and a journal;
// its ports are 0 when it did not start.
class QzServer {
 public:
  explicit QzServer(const HostDir& dir, std::vector<std::string> extra = {});
  ~QzServer();
  QzServer(const QzServer&) = delete;
  QzServer& operator=(const QzServer&) = delete;

  void Faults(const std::string& rules) const;
  void Publish(const std::string& rel, const std::string& data) const;
  std::vector<JournalEntry> Journal() const;

  int httpsPort = 0, httpPort = 0;

 private:
  const HostDir& dir_;
  pid_t pid_ = -1;
};

// nginx serving dir/www over HTTPS on a free loopback port.
class Nginx {
 public:
  explicit Nginx(const HostDir& dir);
  ~Nginx();
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

  int port = 0;

 private:
  pid_t pid_ = -1;
};

// The server of a publisher's release: its TLS certificate, qzserver on loopback (English
// messages, client ID 7 for new agents) and the signing certificates under pki/; null when the
// server did not start.
std::unique_ptr<QzServer> StartPublisher(const HostDir& dir);

}  // namespace qztest
