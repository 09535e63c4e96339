// The update mode's certificate step against qzserver: the CA and file-signing certificates are
// fetched only when the server's checksum differs, a fetched CA is taken only when the held CA
// cross-signed it (reported either way), and a held CA that does not load ends the run with -6. The journal shows the run's requests, alive included.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "config/configure.h"
#include "config/registry_layout.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "protocol/protocol_fixture.h"
#include "support/host_files.h"
#include "support/peers.h"
#include "support/test_machine.h"
#include "protocol/certificates.h"
#include "protocol/server_queries.h"
#include "updater/entry.h"

using namespace qz;
using namespace qztest;

namespace {

constexpr char16_t kSetup[] = u"C:\\bc8f992f5df34654945e6e32a5aa400c";
constexpr char16_t kUpdater[] = u"C:\\bc8f992f5df34654945e6e32a5aa400c\\qzUpdater.exe";
constexpr char16_t kInstall[] = u"C:\\Program Files (x86)\\varnholt\\KSM";

// A CA, a file-signing certificate and a release of one module, published in dir/release (a
// release of another CA stands in its way, so a fresh folder each time).
void Publish(const HostDir& dir, const std::string& pki) {
  const std::string qzpack = BuiltProgram("qzpack");
  std::filesystem::remove_all(dir / "release");
  std::filesystem::create_directories(dir / pki);
  std::filesystem::create_directories(dir / "agent");
  WriteHostFile(dir / "agent/qzAgentUtil.dll", "module");
  ASSERT_EQ(qztest::RunHost({qzpack, "ca", "--cert", dir / (pki + "/ca.pem"), "--key", dir / (pki + "/ca.key")}), 0);
  ASSERT_EQ(qztest::RunHost({qzpack, "cert", "--ca", dir / (pki + "/ca.pem"), "--ca-key", dir / (pki + "/ca.key"), "--cert",
                     dir / (pki + "/fs.crt"), "--key", dir / (pki + "/fs.key")}),
            0);
  ASSERT_EQ(qztest::RunHost({qzpack, "release", "--agent", dir / "agent", "--build", "330", "--ca", dir / (pki + "/ca.pem"),
                     "--fs-cert", dir / (pki + "/fs.crt"), "--fs-key", dir / (pki + "/fs.key"), "--out",
                     dir / "release"}),
            0);
}

std::string Command(const JournalEntry& e) { return e.path == "/CAgentRequest" ? ParseBody(e.body)["_c"] : e.path; }

class UpdateCertificates : public ::testing::Test {
 protected:
  void SetUp() override {
    // The alive cycle's waits and the stop sequences' pauses run a hundred times faster.
    setenv("WINSIM_TIME_SCALE", "0.01", 1);
    MakeCertificate(dir_);
    Publish(dir_, "pki");
    server_ = std::make_unique<QzServer>(dir_, std::vector<std::string>{"--set", "lang=1", "--set", "default_client=7"});
    ASSERT_GT(server_->httpsPort, 0);
    m_.Install("qzUpdater", kUpdater);
    WriteHostFile(m_.HostPath(kSetup) + "/server.cfg",
                  "<tarlinLMV><serial>VH-2024-0001</serial><server>127.0.0.1</server><port>" +
                      std::to_string(server_->httpPort) + "</port><ssl>" + std::to_string(server_->httpsPort) +
                      "</ssl></tarlinLMV>");
    m_.Enter(u"C:\\test\\probe.exe", 32);
    // Install mode builds the registry and the install folder.
    ASSERT_TRUE(m_.Run(Cmd(u"--install"), kSetup).has_value());
    installRequests_ = server_->Journal().size();
    // The client ID the server knows this agent by; the agent keeps it, the updater only reads it.
    ConfigContext site;
    ASSERT_EQ(ReadSiteSettings(site), 0);
    CommonRegKey common;
    ASSERT_EQ(OpenOrCreateKey(kCommonKey, common.put()), 0);
    ASSERT_EQ(site.store.WriteClientId(common, 7), 0);
  }
  void TearDown() override { unsetenv("WINSIM_TIME_SCALE"); }

  static std::u16string Cmd(std::u16string_view args) {
    return u"\"" + std::u16string(kUpdater) + u"\" " + std::u16string(args);
  }
  std::string Installed(const std::string& name) { return m_.HostPath(kInstall) + "/" + name; }
  void PlaceServerCertificates() {
    std::filesystem::copy_file(dir_ / "release/certs/qorv-ca.pem", Installed("qorv-ca.pem"),
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(dir_ / "release/certs/qorv-fs.crt", Installed("qorv-fs.crt"),
                               std::filesystem::copy_options::overwrite_existing);
  }
  // The update run's requests.
  std::vector<JournalEntry> Journal() {
    auto all = server_->Journal();
    return std::vector<JournalEntry>(all.begin() + static_cast<long>(std::min(installRequests_, all.size())), all.end());
  }
  std::vector<std::string> Commands() {
    std::vector<std::string> out;
    for (const auto& e : Journal()) {
      out.push_back(Command(e));
      if (e.path == "/CAgentRequest") {
        EXPECT_EQ(e.Header("Qz-Stamp"), "valid") << e.body;
      }
    }
    return out;
  }
  std::vector<std::string> Reports() {
    std::vector<std::string> out;
    for (const auto& e : Journal())
      if (Command(e) == "log") out.push_back(ParseBody(e.body)["msg"]);
    return out;
  }
  int Count(const std::string& command) {
    const auto c = Commands();
    return static_cast<int>(std::count(c.begin(), c.end(), command));
  }

  HostDir dir_;
  std::unique_ptr<QzServer> server_;
  size_t installRequests_ = 0;
  TestMachine m_{"win10-x64"};
};

TEST_F(UpdateCertificates, EqualChecksumsFetchNothingAndTheRunGoesOn) {
  PlaceServerCertificates();
  const auto exit = m_.Run(Cmd(u"--update"));
  ASSERT_TRUE(exit.has_value());
  EXPECT_NE(*exit, kExitCertificates);
  Commands();  // every agent request carries a valid stamp
  // The whole run, and nothing else: no certificate is fetched; the definition and the one module
  // that differs from the release come, each after its size.
  EXPECT_TRUE(qztest::RequestsAre(Journal(),
                                  {"public_ip", "chksum", "chksum", "agt_cfg", "agt_ver", "file_size", "/agent/qzAgent.xmd",
                                   "file_size", "/agent/qzAgentUtil.dll.qz", "log"},
                                  qztest::Alive::Allowed));
  // The alive cycle runs beside the module work, and the update of build 330 is reported.
  EXPECT_GE(Count("alive"), 1);
  EXPECT_EQ(Reports(), std::vector<std::string>{"Success updating agent modules (Build: 330)"});
}

TEST_F(UpdateCertificates, ChangedCertificatesOfAnotherCaAreRefusedAndTheHeldOnesKept) {
  // The install folder holds certificates of another CA, which never cross-signed the server's:
  // the offered CA is refused and reported, the file-signing certificate under it does not verify
  // under the held CA, and neither replaces what the agent holds.
  HostDir other;
  Publish(other, "pki");
  std::filesystem::copy_file(other / "release/certs/qorv-ca.pem", Installed("qorv-ca.pem"));
  std::filesystem::copy_file(other / "release/certs/qorv-fs.crt", Installed("qorv-fs.crt"));

  EXPECT_EQ(m_.Run(Cmd(u"--update")), kExitCertificates);
  EXPECT_EQ(Count("/certs/qorv-ca.pem"), 1);
  EXPECT_EQ(Count("/certs/qorv-fs.crt"), 1);
  EXPECT_EQ(Reports(), (std::vector<std::string>{"CA 인증서 갱신 거부", "유효하지 않은 패치 인증서 발견 : -6"}));
  EXPECT_EQ(ReadHostFile(Installed("qorv-ca.pem")), ReadHostFile(other / "release/certs/qorv-ca.pem"));
  EXPECT_EQ(ReadHostFile(Installed("qorv-fs.crt")), ReadHostFile(other / "release/certs/qorv-fs.crt"));
  EXPECT_FALSE(std::filesystem::exists(Installed("qorv-ca.pem.offer")));
  EXPECT_FALSE(std::filesystem::exists(Installed("qorv-fs.crt.offer")));
  EXPECT_EQ(Count("agt_cfg"), 0);
}

TEST_F(UpdateCertificates, ChangedCertificatesCrossSignedByTheHeldCaAreFetchedReportedAndLoaded) {
  // The install folder holds the previous CA; the server's release is signed under its successor.
  HostDir old;
  Publish(old, "pki");
  const std::string qzpack = BuiltProgram("qzpack");
  std::filesystem::create_directories(dir_ / "next");
  ASSERT_EQ(RunHost({qzpack, "ca", "--rotate", "--from", old / "pki/ca.pem", "--from-key", old / "pki/ca.key", "--cert",
                     dir_ / "next/ca.pem", "--key", dir_ / "next/ca.key"}),
            0);
  ASSERT_EQ(RunHost({qzpack, "cert", "--ca", dir_ / "next/ca.pem", "--ca-key", dir_ / "next/ca.key", "--cert",
                     dir_ / "next/fs.crt", "--key", dir_ / "next/fs.key"}),
            0);
  // The server's release is replaced by one under a CA unrelated to the set-up's, which qzpack
  // will not publish over it.
  std::filesystem::remove_all(dir_ / "release");
  ASSERT_EQ(RunHost({qzpack, "release", "--agent", dir_ / "agent", "--build", "330", "--ca", dir_ / "next/ca.pem",
                     "--fs-cert", dir_ / "next/fs.crt", "--fs-key", dir_ / "next/fs.key", "--out", dir_ / "release"}),
            0);
  std::filesystem::copy_file(old / "release/certs/qorv-ca.pem", Installed("qorv-ca.pem"));
  std::filesystem::copy_file(old / "release/certs/qorv-fs.crt", Installed("qorv-fs.crt"));

  const auto exit = m_.Run(Cmd(u"--update"));
  ASSERT_TRUE(exit.has_value());
  EXPECT_NE(*exit, kExitCertificates);
  EXPECT_EQ(Count("/certs/qorv-ca.pem"), 1);
  EXPECT_EQ(Count("/certs/qorv-fs.crt"), 1);
  const auto reports = Reports();
  EXPECT_NE(std::find(reports.begin(), reports.end(), "CA 인증서 갱신 성공"), reports.end());
  EXPECT_NE(std::find(reports.begin(), reports.end(), "패치 인증서 갱신 성공"), reports.end());
  EXPECT_EQ(ReadHostFile(Installed("qorv-ca.pem")), ReadHostFile(dir_ / "release/certs/qorv-ca.pem"));
  EXPECT_EQ(ReadHostFile(Installed("qorv-fs.crt")), ReadHostFile(dir_ / "release/certs/qorv-fs.crt"));
  EXPECT_EQ(Count("agt_cfg"), 1);
}

TEST_F(UpdateCertificates, ACaThatDoesNotLoadEndsTheRunWithMinusSix) {
  PlaceServerCertificates();
  const std::string damaged = "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n";
  // Offered by the server, it is refused: the held CA stays and the run goes on.
  server_->Publish("certs/qorv-ca.pem", damaged);
  const auto exit = m_.Run(Cmd(u"--update"));
  ASSERT_TRUE(exit.has_value());
  EXPECT_NE(*exit, kExitCertificates);
  ASSERT_FALSE(Reports().empty());
  EXPECT_EQ(Reports()[0], "CA 인증서 갱신 거부");
  EXPECT_EQ(ReadHostFile(Installed("qorv-ca.pem")), ReadHostFile(dir_ / "pki/ca.pem"));
  EXPECT_EQ(Count("agt_cfg"), 1);

  // Held, the server offering the same bytes: it does not load and the run ends.
  WriteHostFile(Installed("qorv-ca.pem"), damaged);
  installRequests_ = server_->Journal().size();
  EXPECT_EQ(m_.Run(Cmd(u"--update")), kExitCertificates);
  const auto reports = Reports();
  // Sent before the settings query tells the language: the Korean row.
  EXPECT_EQ(reports, std::vector<std::string>{"유효하지 않은 CA 인증서 발견"});
  EXPECT_EQ(Count("/certs/qorv-ca.pem"), 0);
  // Nothing after the certificates: no settings query.
  EXPECT_EQ(Count("agt_cfg"), 0);
}

TEST_F(UpdateCertificates, AMissingCertificateOnTheServerEndsTheRunWithMinusSix) {
  PlaceServerCertificates();
  std::filesystem::remove(dir_ / "release/certs/qorv-fs.crt");
  EXPECT_EQ(m_.Run(Cmd(u"--update")), kExitCertificates);
  EXPECT_EQ(Count("chksum"), 2);
  EXPECT_EQ(Count("/certs/qorv-fs.crt"), 0);
}

}  // namespace

namespace {

// The server-certificate test on a real TLS answer: a server certificate issued by the CA the
// agent holds passes, one of another CA refuses the answer.
TEST(ServerCertificateTest, ChecksTheServersCertificateAgainstTheHeldCa) {
  HostDir dir;
  Publish(dir, "pki");
  Publish(dir, "other");
  const std::string qzpack = BuiltProgram("qzpack");
  ASSERT_EQ(qztest::RunHost({qzpack, "cert", "--tls", "--ca", dir / "pki/ca.pem", "--ca-key", dir / "pki/ca.key", "--cert",
                     dir / "cert.pem", "--key", dir / "key.pem", "--ip", "127.0.0.1"}),
            0);
  QzServer server(dir);
  ASSERT_GT(server.httpsPort, 0);
  TestMachine m("win10-x64");
  m.Enter();

  ConfigContext config;
  config.settings.agentGuid = "00112233445566778899AABBCCDDEEFF";
  RecordingLogger log;
  AgentQuery query;
  qzCryptoUtil signer;
  AgentCertificates certs;
  AgentContext ctx;
  ctx.query = &query;
  ctx.signer = &signer;
  ctx.config = &config;
  ctx.logger = &log;
  ctx.certs = &certs;
  ASSERT_TRUE(query.Initialize(&log));
  ASSERT_TRUE(SetManagerServer(ctx, "127.0.0.1", static_cast<uint32_t>(server.httpPort),
                               static_cast<uint32_t>(server.httpsPort)));
  BindCertificateCheck(query, certs);

  struct Row {
    const char* ca;
    bool valid;
  } rows[] = {{"pki/ca.pem", true}, {"other/ca.pem", false}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.ca);
    WriteHostFile(m.HostPath(u"C:\\ca.pem"), ReadHostFile(dir / r.ca));
    ASSERT_EQ(certs.ca.Load("C:\\ca.pem", nullptr), 0);
    log.Clear();
    QueryBuilder q;
    q.Begin(ctx, "public_ip", 0);
    const int32_t result = SendQuery(ctx, q, ctx.answer, true);
    EXPECT_EQ(result > 0, r.valid) << result;
    EXPECT_EQ(log.Has("인증서 데이터 얻기 실패: "), !r.valid) << log.text();
  }
  // Once bypassed, the test answers valid without looking.
  {
    std::lock_guard lock(query.SessionLock());
    query.SetCertificateCheckBypass(true);
  }
  QueryBuilder q;
  q.Begin(ctx, "public_ip", 0);
  EXPECT_GT(SendQuery(ctx, q, ctx.answer, true), 0);
}

}  // namespace
