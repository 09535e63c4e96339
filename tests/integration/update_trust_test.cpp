// Whom the agent trusts during the update 330 -> 331: a server on the network path with a CA of its
// own gets nothing installed, a CA the held CA cross-signed is taken, a replayed older release, a
// frozen (expired) one and one with a malformed build are refused before anything is fetched, and
// endless certificate or definition downloads stop at their caps. Real TLS on loopback.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <regex>

#include "integration/agent_release_fixture.h"
#include "updater/entry.h"
#include "updater/updater_fixture.h"

namespace {

using namespace qztest;
namespace fs = std::filesystem;

constexpr char kRefusedCa[] = "CA 인증서 갱신 거부";

// What one update run left: its exit code, its reports, its requests and its log.
struct Outcome {
  std::optional<int> exit;
  std::vector<std::string> reports;
  std::vector<std::string> requests;
  std::string log;
  // Requests for a path beginning with prefix.
  int Fetched(const std::string& prefix) const {
    int n = 0;
    for (const auto& r : requests) n += r.rfind(prefix, 0) == 0;
    return n;
  }
};

std::string Output(const std::string& command) {
  int status = 0;
  return HostOutput(command, &status);
}

uint32_t HighestBuild() {
  qz::ConfigContext site;
  if (qz::ReadSiteSettings(site) != 0) return 0;
  qz::CommonRegKey common;
  uint32_t build = 0;
  if (qz::OpenOrCreateKey(qz::kCommonKey, common.put()) != 0 || site.store.ReadHighestBuild(common, &build) != 0)
    return 0;
  return build;
}

void SetHighestBuild(uint32_t build) {
  qz::ConfigContext site;
  ASSERT_EQ(qz::ReadSiteSettings(site), 0);
  qz::CommonRegKey common;
  ASSERT_EQ(qz::OpenOrCreateKey(qz::kCommonKey, common.put()), 0);
  ASSERT_EQ(site.store.WriteHighestBuild(common, build), 0);
}

uint32_t AgentBuild() {
  qz::ConfigContext site;
  if (qz::ReadSiteSettings(site) != 0) return 0;
  qz::AgentRegKey agent;
  uint32_t build = 0;
  if (qz::OpenOrCreateKey(qz::kAgentKey, agent.put()) != 0 || site.store.ReadAgentBuild(agent, &build) != 0) return 0;
  return build;
}

class UpdateTrust : public InstalledReleaseTest {
 protected:
  static void SetUpTestSuite() {
    StartRelease("0.01", [](AgentRelease& r) {
      fs::copy(r.dir / "release", r.dir / "pristine", fs::copy_options::recursive);
    });
  }
  static void TearDownTestSuite() { StopRelease(); }

  void SetUp() override {
    InstalledReleaseTest::SetUp();
    Restore();
  }
  void TearDown() override { Restore(); }

  // The release as published, and no faults.
  static void Restore() {
    if (!release_) return;
    fs::remove_all(release_->dir / "release");
    fs::copy(release_->dir / "pristine", release_->dir / "release", fs::copy_options::recursive);
    release_->server->Faults("");
  }

  // A fresh copy of the machine with build 330, entered, its service running.
  static void Fresh(TestMachine& m) {
    CopyMachine(installed_->root(), m);
    m.Enter(u"C:\\test\\probe.exe", 32);
    ASSERT_TRUE(StartService());
  }

  static std::string Installed(const TestMachine& m, const std::string& name) {
    return m.HostPath(std::u16string(kReleaseInstall) + u"\\" + win::Utf8ToWide(name));
  }

  // The agent's own update (empty command line), against server.
  static Outcome Update(TestMachine& m, const QzServer& server) {
    const auto before = server.Journal().size();
    Outcome o;
    o.exit = m.Run(UpdaterCommand(u""));
    const auto journal = server.Journal();
    for (size_t i = before; i < journal.size(); ++i) {
      o.requests.push_back(RequestName(journal[i]));
      if (o.requests.back() == "log") o.reports.push_back(ParseBody(journal[i].body)["msg"]);
    }
    o.log = uptest::ReadLogs(m.HostPath(std::u16string(kReleaseInstall) + u"\\logs"));
    fs::remove_all(m.HostPath(std::u16string(kReleaseInstall) + u"\\logs"));
    return o;
  }
  static Outcome Update(TestMachine& m) { return Update(m, *release_->server); }

  // The published definition made again from its document with the root's attributes changed,
  // signed with the release's key.
  static void PublishDefinition(const std::function<std::string(std::string)>& edit) {
    const auto& dir = release_->dir;
    WriteHostFile(dir / "edited.xml", edit(ReadHostFile(dir / "pristine/qzAgent.xml")));
    ASSERT_EQ(RunHost({BuiltProgram("qzpack"), "sign", "--key", dir / "pki/fs.key", "--definition", dir / "edited.xml",
                       "--out", dir / "release/agent/qzAgent.xmd"}),
              0);
  }
  static std::string SetRootAttributes(std::string xml, const std::string& attributes) {
    return std::regex_replace(xml, std::regex("<qzAgent build=\"331\""), "<qzAgent" + attributes);
  }
};

// A server on the network path with a CA, a file-signing certificate and a TLS certificate of its
// own, every other answer correct: the held CA stays byte for byte, the refusal is reported, nothing
// is installed, the service runs build 330, and a second run goes the same way. Serving the genuine
// file-signing certificate does not help it: its definition fails as any foreign signature does.
TEST_F(UpdateTrust, AManInTheMiddleWithItsOwnCaInstallsNothing) {
  const std::string qzpack = BuiltProgram("qzpack");
  HostDir mitm;
  fs::create_directories(mitm / "pki");
  ASSERT_EQ(RunHost({qzpack, "ca", "--cert", mitm / "pki/ca.pem", "--key", mitm / "pki/ca.key"}), 0);
  ASSERT_EQ(RunHost({qzpack, "cert", "--ca", mitm / "pki/ca.pem", "--ca-key", mitm / "pki/ca.key", "--cert",
                     mitm / "pki/fs.crt", "--key", mitm / "pki/fs.key"}),
            0);
  ASSERT_EQ(RunHost({qzpack, "cert", "--tls", "--ca", mitm / "pki/ca.pem", "--ca-key", mitm / "pki/ca.key", "--cert",
                     mitm / "cert.pem", "--key", mitm / "key.pem", "--ip", "127.0.0.1"}),
            0);
  ASSERT_EQ(RunHost({qzpack, "release", "--agent", release_->dir / "agent331", "--build", "332", "--ca",
                     mitm / "pki/ca.pem", "--fs-cert", mitm / "pki/fs.crt", "--fs-key", mitm / "pki/fs.key", "--out",
                     mitm / "release"}),
            0);
  QzServer server(mitm, {"--set", "lang=1", "--set", "default_client=7"});
  ASSERT_GT(server.httpsPort, 0);

  const struct {
    const char* name;
    bool genuineFileSigning;
    int exit;
    std::vector<std::string> reports;
  } rows[] = {
      {"its own file-signing certificate", false, qz::kExitCertificates,
       {kRefusedCa, "유효하지 않은 패치 인증서 발견 : -6"}},
      {"the genuine file-signing certificate", true, qz::kExitDone,
       {kRefusedCa, "Fail to update agent modules (Build: 332)"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    fs::copy_file(r.genuineFileSigning ? release_->dir / "pristine/certs/qorv-fs.crt" : mitm / "pki/fs.crt",
                  mitm / "release/certs/qorv-fs.crt", fs::copy_options::overwrite_existing);
    TestMachine m("win10-x64");
    Fresh(m);
    // The agent's traffic now reaches the other server.
    {
      qz::ConfigContext site;
      ASSERT_EQ(qz::ReadSiteSettings(site), 0);
      qz::CommonRegKey common;
      ASSERT_EQ(qz::OpenOrCreateKey(qz::kCommonKey, common.put()), 0);
      ASSERT_EQ(site.store.WriteHttpPort(common, static_cast<uint32_t>(server.httpPort)), 0);
      ASSERT_EQ(site.store.WriteHttpsPort(common, static_cast<uint32_t>(server.httpsPort)), 0);
    }
    const std::string ca = ReadHostFile(Installed(m, "qorv-ca.pem"));
    const std::string fsCert = ReadHostFile(Installed(m, "qorv-fs.crt"));
    for (int run = 1; run <= 2; ++run) {
      SCOPED_TRACE(run);
      const Outcome o = Update(m, server);
      EXPECT_EQ(o.exit, r.exit) << o.log;
      EXPECT_EQ(o.reports, r.reports) << o.log;
      EXPECT_EQ(o.Fetched("/certs/qorv-ca.pem"), 1);
      EXPECT_EQ(o.Fetched("/agent/") - o.Fetched("/agent/qzAgent.xmd"), 0) << "no package is fetched";
      EXPECT_NE(o.log.find("CA cert refused, the held one stays: -10"), std::string::npos) << o.log;
      EXPECT_EQ(ReadHostFile(Installed(m, "qorv-ca.pem")), ca);
      EXPECT_EQ(ReadHostFile(Installed(m, "qorv-fs.crt")), fsCert);
      EXPECT_FALSE(fs::exists(Installed(m, "qorv-ca.pem.offer")));
      EXPECT_FALSE(fs::exists(Installed(m, "qorv-fs.crt.offer")));
      EXPECT_EQ(release_->ChangedFrom330(m), std::vector<std::string>{});
      EXPECT_TRUE(ServiceRuns());
      EXPECT_EQ(AgentBuild(), 0u);
    }
    KillServiceProgram(m);
  }
}

// The publisher rotates its CA with qzpack: the agent takes the new CA, which its held CA
// cross-signed, and the file-signing certificate under it, and installs the update signed under
// it; the next release under the new CA installs without fetching a certificate.
TEST_F(UpdateTrust, ARotatedCaIsTakenAndUpdatesSignedUnderItInstall) {
  const auto& dir = release_->dir;
  const std::string qzpack = BuiltProgram("qzpack");
  HostDir rotated;
  ASSERT_EQ(RunHost({qzpack, "ca", "--rotate", "--from", dir / "pki/ca.pem", "--from-key", dir / "pki/ca.key",
                     "--cert", rotated / "ca.pem", "--key", rotated / "ca.key"}),
            0);
  ASSERT_EQ(RunHost({qzpack, "cert", "--ca", rotated / "ca.pem", "--ca-key", rotated / "ca.key", "--cert",
                     rotated / "fs.crt", "--key", rotated / "fs.key"}),
            0);
  auto publish = [&](const std::string& agent, const char* build) {
    fs::remove_all(dir / "release");
    ASSERT_EQ(RunHost({qzpack, "release", "--agent", agent, "--build", build, "--manifest",
                       dir / "agent331.cfg/manifest.txt", "--ca", rotated / "ca.pem", "--fs-cert", rotated / "fs.crt",
                       "--fs-key", rotated / "fs.key", "--out", dir / "release"}),
              0);
  };
  publish(dir / "agent331", "331");
  TestMachine m("win10-x64");
  Fresh(m);

  Outcome o = Update(m);
  EXPECT_EQ(o.exit, qz::kExitDone) << o.log;
  EXPECT_EQ(o.reports, (std::vector<std::string>{"CA 인증서 갱신 성공", "패치 인증서 갱신 성공",
                                                 "Success updating agent modules (Build: 331)"}))
      << o.log;
  EXPECT_EQ(ReadHostFile(Installed(m, "qorv-ca.pem")), ReadHostFile(rotated / "ca.pem"));
  EXPECT_EQ(ReadHostFile(Installed(m, "qorv-fs.crt")), ReadHostFile(rotated / "fs.crt"));
  EXPECT_EQ(release_->Differences(m), std::vector<std::string>{});
  EXPECT_EQ(HighestBuild(), 331u);

  // Build 332, signed under the new CA only.
  fs::copy(dir / "agent331", dir / "agent332", fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  WriteHostFile(dir / "agent332/qzCrypto.dll", "qzCrypto 332");
  publish(dir / "agent332", "332");
  o = Update(m);
  EXPECT_EQ(o.exit, qz::kExitDone) << o.log;
  EXPECT_EQ(o.reports, std::vector<std::string>{"Success updating agent modules (Build: 332)"}) << o.log;
  EXPECT_EQ(o.Fetched("/certs/"), 0);
  EXPECT_EQ(ReadHostFile(Installed(m, "qzCrypto.dll")), "qzCrypto 332");
  EXPECT_EQ(HighestBuild(), 332u);
  KillServiceProgram(m);
  fs::remove_all(dir / "agent332");
}

// After build 331, the server replays the validly signed release of build 330: refused before any
// package is fetched, build 331 stays.
TEST_F(UpdateTrust, AReplayedOlderReleaseIsRefusedWithNothingFetched) {
  const auto& dir = release_->dir;
  TestMachine m("win10-x64");
  Fresh(m);
  Outcome o = Update(m);
  ASSERT_EQ(o.reports, std::vector<std::string>{"Success updating agent modules (Build: 331)"}) << o.log;
  ASSERT_EQ(HighestBuild(), 331u);

  for (const auto& [name, data] : release_->build330) WriteHostFile(dir / ("agent330/" + name), data);
  fs::remove_all(dir / "release");
  ASSERT_EQ(RunHost({BuiltProgram("qzpack"), "release", "--agent", dir / "agent330", "--build", "330", "--ca",
                     dir / "pki/ca.pem", "--fs-cert", dir / "pki/fs.crt", "--fs-key", dir / "pki/fs.key", "--out",
                     dir / "release"}),
            0);
  o = Update(m);
  EXPECT_EQ(o.exit, qz::kExitDone);
  EXPECT_EQ(o.reports, std::vector<std::string>{"Fail to update agent modules (Build: 330)"}) << o.log;
  EXPECT_NE(o.log.find("Definition file of build 330 refused: build 331 is installed"), std::string::npos) << o.log;
  EXPECT_EQ(o.Fetched("/agent/"), 1) << "the definition only";
  EXPECT_EQ(release_->Differences(m), std::vector<std::string>{});
  EXPECT_EQ(HighestBuild(), 331u);
  EXPECT_EQ(AgentBuild(), 331u);
  EXPECT_TRUE(ServiceRuns());
  KillServiceProgram(m);
  fs::remove_all(dir / "agent330");
}

// The signed build and expiry of the definition's root decide, before anything else is fetched;
// a definition without them updates exactly as before and records no highest build.
TEST_F(UpdateTrust, SignedBuildAndExpiryDecideWhetherADefinitionIsTaken) {
  const struct {
    const char* name;
    std::string attributes;  // the root's, in place of build="331"
    uint32_t highest;        // the highest build installed before the run (0: none)
    const char* report;
    const char* why;
    uint32_t recorded;       // value31 after the run
  } rows[] = {
      {"a build that is no number", " build=\"abc\"", 0, "Fail to update agent modules (Build: 331)",
       "Invalid build attribute: abc", 0},
      {"build 0", " build=\"0\"", 0, "Fail to update agent modules (Build: 331)", "잘못된 모듈 정의 파일 발견", 0},
      {"an expiry that has passed", " build=\"331\" expires=\"2020-01-01T00:00:00Z\"", 0,
       "Fail to update agent modules (Build: 331)", "Definition file expired at 2020-01-01T00:00:00Z: refused", 0},
      {"an expiry not in its form", " build=\"331\" expires=\"2099-01-01\"", 0,
       "Fail to update agent modules (Build: 331)", "Invalid expires attribute: 2099-01-01", 0},
      {"a build below the highest installed", " build=\"331\"", 335, "Fail to update agent modules (Build: 331)",
       "Definition file of build 331 refused: build 335 is installed", 335},
      {"no build and no expiry", "", 335, "Success updating agent modules (Build: 331)", "Build number: 0 --> 331",
       335},
      {"the highest build again", " build=\"331\"", 331, "Success updating agent modules (Build: 331)",
       "Build number: 0 --> 331", 331},
      {"an expiry still ahead", " build=\"331\" expires=\"2099-01-01T00:00:00Z\"", 0,
       "Success updating agent modules (Build: 331)", "Build number: 0 --> 331", 331},
      {"a signed build other than the server's answer", " build=\"333\"", 0,
       "Success updating agent modules (Build: 333)",
       "Signed build 333 differs from the server's answer 331: 333 is recorded", 333},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    Restore();
    PublishDefinition([&](std::string xml) { return SetRootAttributes(xml, r.attributes); });
    TestMachine m("win10-x64");
    Fresh(m);
    if (r.highest) SetHighestBuild(r.highest);
    const bool succeeds = std::string(r.report).rfind("Success", 0) == 0;
    const Outcome o = Update(m);
    EXPECT_EQ(o.exit, qz::kExitDone);
    EXPECT_EQ(o.reports, std::vector<std::string>{r.report}) << o.log;
    EXPECT_NE(o.log.find(r.why), std::string::npos) << o.log;
    EXPECT_EQ(HighestBuild(), r.recorded);
    if (succeeds) {
      EXPECT_EQ(release_->Differences(m), std::vector<std::string>{});
      EXPECT_EQ(AgentBuild(), r.attributes.find("333") != std::string::npos ? 333u : 331u);
    } else {
      // Refused before anything is stopped or fetched: the definition is the only download.
      EXPECT_EQ(o.Fetched("/agent/"), 1);
      EXPECT_EQ(release_->ChangedFrom330(m), std::vector<std::string>{});
      EXPECT_EQ(AgentBuild(), 0u);
    }
    EXPECT_TRUE(ServiceRuns());
    KillServiceProgram(m);
  }
}

// A definition without a signed build (as `qzpack sign --definition` makes from a document
// without one) updates exactly as a release with one does: the same requests in the same order,
// the same reports and files; only no highest build is recorded.
TEST_F(UpdateTrust, ADefinitionWithoutABuildUpdatesAsBefore) {
  auto run = [](std::vector<std::string>* requests, std::vector<std::string>* reports, uint32_t* highest) {
    TestMachine m("win10-x64");
    Fresh(m);
    const Outcome o = Update(m);
    EXPECT_EQ(o.exit, qz::kExitDone);
    for (const auto& r : o.requests) {
      if (r != "alive") requests->push_back(r);
    }
    *reports = o.reports;
    *highest = HighestBuild();
    EXPECT_EQ(release_->Differences(m), std::vector<std::string>{});
    EXPECT_EQ(AgentBuild(), 331u);
    EXPECT_TRUE(ServiceRuns());
    KillServiceProgram(m);
  };
  std::vector<std::string> signedRequests, plainRequests, signedReports, plainReports;
  uint32_t signedHighest = 0, plainHighest = 0;
  run(&signedRequests, &signedReports, &signedHighest);
  PublishDefinition([](std::string xml) { return SetRootAttributes(xml, ""); });
  ASSERT_EQ(ReadHostFile(release_->dir / "edited.xml").find("build="), std::string::npos);
  run(&plainRequests, &plainReports, &plainHighest);

  EXPECT_EQ(plainRequests, signedRequests);
  EXPECT_EQ(plainReports, signedReports);
  EXPECT_EQ(plainReports, std::vector<std::string>{"Success updating agent modules (Build: 331)"});
  EXPECT_EQ(signedHighest, 331u);
  EXPECT_EQ(plainHighest, 0u);
}

// A server that announces or sends without end: certificates stop at 64 KiB, the definition at
// 4 MiB (what is announced above the cap is not fetched at all), the rest at the announced size.
TEST_F(UpdateTrust, CertificatesAndDefinitionsWithoutEndAreRefusedAtTheirCaps) {
  const auto& dir = release_->dir;
  const struct {
    const char* name;
    const char* changed;  // a file the server now offers in another form
    std::string faults;
    int exit;
    const char* report;
    const char* why;
    const char* unfetched;  // a path never requested
  } rows[] = {
      {"a CA announced one byte above 64 KiB", "certs/qorv-ca.pem", "cmd:file_size reply=<qz><size>65537</size></qz>\n",
       qz::kExitCertificates, "CA 인증서 갱신 실패", "[qorv-ca.pem.offer] announced size 65537 is above the limit 65536",
       "/certs/qorv-ca.pem"},
      {"a file-signing certificate announced endless", "certs/qorv-fs.crt",
       "cmd:file_size reply=<qz><size>9000000000000</size></qz>\n/certs/qorv-fs.crt extra=100000000\n",
       qz::kExitCertificates, "패치 인증서 갱신 실패", "Fail to download main cert: -103", "/certs/qorv-fs.crt"},
      {"a definition announced one byte above 4 MiB", nullptr,
       "cmd:file_size reply=<qz><size>4194305</size></qz>\n/agent/qzAgent.xmd extra=100000000\n", qz::kExitDone,
       "Fail to update agent modules (Build: 331)", "에이전트 모듈 정의 파일 다운로드 실패: -103", "/agent/qzAgent.xmd"},
      {"a definition sent without end after its announced size", nullptr, "/agent/qzAgent.xmd extra=100000000\n",
       qz::kExitDone, "Fail to update agent modules (Build: 331)", "에이전트 모듈 정의 파일 다운로드 실패: -9",
       "/agent/qzAgentUtil.dll.qz"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    Restore();
    if (r.changed) release_->server->Publish(r.changed, ReadHostFile(dir / (std::string("pristine/") + r.changed)) + "\n");
    release_->server->Faults(r.faults);
    TestMachine m("win10-x64");
    Fresh(m);
    const std::string ca = ReadHostFile(Installed(m, "qorv-ca.pem"));
    const std::string fsCert = ReadHostFile(Installed(m, "qorv-fs.crt"));
    const Outcome o = Update(m);
    EXPECT_EQ(o.exit, r.exit) << o.log;
    const std::vector<std::string> reports = o.reports;
    EXPECT_NE(std::find(reports.begin(), reports.end(), r.report), reports.end()) << o.log;
    EXPECT_NE(o.log.find(r.why), std::string::npos) << o.log;
    EXPECT_EQ(o.Fetched(r.unfetched), 0);
    EXPECT_EQ(ReadHostFile(Installed(m, "qorv-ca.pem")), ca);
    EXPECT_EQ(ReadHostFile(Installed(m, "qorv-fs.crt")), fsCert);
    EXPECT_EQ(release_->ChangedFrom330(m), std::vector<std::string>{});
    EXPECT_TRUE(ServiceRuns());
    KillServiceProgram(m);
  }
}

// The publisher sees what an agent will hold the definition to.
TEST_F(UpdateTrust, QzpackVerifyPrintsTheSignedBuildAndExpiry) {
  const auto& dir = release_->dir;
  const std::string qzpack = ShellQuote(BuiltProgram("qzpack"));
  const std::string verify = qzpack + " verify --ca " + ShellQuote(dir / "pki/ca.pem") + " --cert " +
                             ShellQuote(dir / "pki/fs.crt") + " " + ShellQuote(dir / "release/agent/qzAgent.xmd");
  HostDir out;
  ASSERT_EQ(RunHost({BuiltProgram("qzpack"), "release", "--agent", dir / "agent331", "--build", "331", "--expires", "30",
                     "--ca", dir / "pki/ca.pem", "--fs-cert", dir / "pki/fs.crt", "--fs-key", dir / "pki/fs.key",
                     "--out", out / "release"}),
            0);
  std::smatch expires;
  const std::string xml = ReadHostFile(out / "release/qzAgent.xml");
  ASSERT_TRUE(std::regex_search(xml, expires, std::regex("expires=\"(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ)\"")))
      << xml;
  const std::string withExpiry = Output(qzpack + " verify --ca " + ShellQuote(dir / "pki/ca.pem") + " --cert " +
                                        ShellQuote(dir / "pki/fs.crt") + " " +
                                        ShellQuote(out / "release/agent/qzAgent.xmd"));
  EXPECT_NE(withExpiry.find("accepted: definition file"), std::string::npos) << withExpiry;
  EXPECT_NE(withExpiry.find("build: 331"), std::string::npos) << withExpiry;
  EXPECT_NE(withExpiry.find("expires: " + expires[1].str()), std::string::npos) << withExpiry;

  const std::string plain = Output(verify);
  EXPECT_NE(plain.find("build: 331"), std::string::npos) << plain;
  EXPECT_NE(plain.find("expires: never"), std::string::npos) << plain;

  PublishDefinition([&](std::string x) { return SetRootAttributes(x, " expires=\"2020-01-01T00:00:00Z\""); });
  const std::string expired = Output(verify);
  EXPECT_NE(expired.find("refused: definition file"), std::string::npos) << expired;
  EXPECT_NE(expired.find("build: none"), std::string::npos) << expired;
  EXPECT_NE(expired.find("expires: 2020-01-01T00:00:00Z (passed)"), std::string::npos) << expired;

  PublishDefinition([&](std::string x) { return SetRootAttributes(x, " build=\"abc\""); });
  EXPECT_NE(Output(verify).find("refused: the build attribute"), std::string::npos);
}

}  // namespace
