// A hostile or broken server during the update 330 -> 331, while the agent keeps its installed CA:
// altered, foreign-signed or mislabelled packages, definition files that are too big or not XML,
// entry names that leave the module folder, a download cut off half-way. Each fails the update
// (report 16), nothing outside the module folder is written, build 330 stays in place and the
// service runs it again.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <array>
#include <functional>
#include <regex>
#include <chrono>
#include <map>

#include "crypto/zip_archive.h"
#include "logging/enc_logger.h"
#include "integration/agent_release_fixture.h"
#include "updater/config_update.h"
#include "updater/entry.h"
#include "updater/updater_fixture.h"

namespace {

using namespace qztest;
namespace fs = std::filesystem;

constexpr char kFailure331[] = "Fail to update agent modules (Build: 331)";

void PutLe(std::string* out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// A signed container over any payload, with any key: what a server could serve that the
// publisher tool would refuse to make.
std::string SignContainer(const std::string& payload, const std::string& keyPath) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(keyPath.c_str(), "rb"), BIO_free);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr, EVP_PKEY_free);
  if (!key) return {};
  std::string record;
  PutLe(&record, 1, 4);
  PutLe(&record, 0, 4);
  PutLe(&record, payload.size(), 8);
  const qz::Digest digest = qz::DigestMemory(std::string_view(payload));
  record.append(reinterpret_cast<const char*>(digest.data()), digest.size());
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key.get(), nullptr),
                                                                   EVP_PKEY_CTX_free);
  std::array<uint8_t, 256> block{};
  size_t len = block.size();
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_sign(ctx.get(), block.data(), &len, reinterpret_cast<const unsigned char*>(record.data()),
                    record.size()) != 1) {
    return {};
  }
  std::string out;
  PutLe(&out, qz::kContainerMagic, 4);
  PutLe(&out, qz::ContainerCheckValue(std::span<const uint8_t, 256>(block)), 4);
  out.append(reinterpret_cast<const char*>(block.data()), block.size());
  return out + payload;
}

std::string Deflate(const std::string& data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::string out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(data.data()),
            static_cast<uLong>(data.size()), Z_BEST_SPEED);
  out.resize(size);
  return out;
}

// ZIP local entries, each one zlib stream.
std::string Entries(const std::vector<std::pair<std::string, std::string>>& files) {
  std::string payload;
  for (const auto& [name, data] : files) {
    const std::string packed = Deflate(data);
    PutLe(&payload, 0x04034B50, 4);
    PutLe(&payload, 20, 2);
    PutLe(&payload, 0, 2);
    PutLe(&payload, 8, 2);
    PutLe(&payload, 0, 4);
    PutLe(&payload, 0, 4);
    PutLe(&payload, packed.size(), 4);
    PutLe(&payload, data.size(), 4);
    PutLe(&payload, name.size(), 2);
    PutLe(&payload, 0, 2);
    payload += name + packed;
  }
  return payload;
}

// Path -> content of every file of drive C: outside the module folder, the updater's logs and the
// definition file it downloads into the install folder.
std::map<std::string, std::string> FilesOutsideModuleFolder(const TestMachine& m) {
  const std::string install = m.HostPath(kReleaseInstall);
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(m.root() + "/drive_c"); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string p = it->path().string();
    if (p == install + "/module" || p == install + "/logs") {
      it.disable_recursion_pending();
      continue;
    }
    if (!it->is_regular_file() || p == install + "/qzAgent.xmd") continue;
    out[p] = it->path().extension() == ".exe" ? std::to_string(it->file_size()) : ReadHostFile(p);
  }
  return out;
}

class UpdateHostile : public InstalledReleaseTest {
 protected:
  static void SetUpTestSuite() { StartRelease("0.01", MoreSigners); }
  static void TearDownTestSuite() { StopRelease(); }

  static void MoreSigners(AgentRelease& release) {
    const std::string qzpack = BuiltProgram("qzpack");
    const auto& dir = release.dir;
    // Another key under the same CA, and another CA with its own file-signing certificate.
    ASSERT_EQ(qztest::RunHost({qzpack, "cert", "--ca", dir / "pki/ca.pem", "--ca-key", dir / "pki/ca.key", "--cert",
                        dir / "pki/other-fs.crt", "--key", dir / "pki/other-fs.key"}),
              0);
    fs::create_directories(dir / "foreign");
    ASSERT_EQ(qztest::RunHost({qzpack, "ca", "--cert", dir / "foreign/ca.pem", "--key", dir / "foreign/ca.key"}), 0);
    ASSERT_EQ(qztest::RunHost({qzpack, "cert", "--ca", dir / "foreign/ca.pem", "--ca-key", dir / "foreign/ca.key", "--cert",
                        dir / "foreign/fs.crt", "--key", dir / "foreign/fs.key"}),
              0);
    fs::copy(dir / "release", dir / "pristine", fs::copy_options::recursive);
  }

  // On a fresh copy of the installed machine, with the service running: the release as published,
  // changed by serve, fails the agent's own update and changes nothing it should not.
  // why: the log line that tells the refusal; logOut, when given, receives the run's log.
  void ExpectFailedUpdateKeeps330(const std::function<void()>& serve, const std::string& why,
                                  std::string* logOut = nullptr) {
    const auto& dir = release_->dir;
    TestMachine m("win10-x64");
    CopyMachine(installed_->root(), m);
    m.Enter(u"C:\\test\\probe.exe", 32);
    ASSERT_TRUE(StartService());
    fs::remove_all(dir / "release");
    fs::copy(dir / "pristine", dir / "release", fs::copy_options::recursive);
    release_->server->Faults("");
    serve();
    const auto before = FilesOutsideModuleFolder(m);
    const size_t reported = release_->Reports().size();

    // The agent's own update: it starts the service again whatever the outcome.
    EXPECT_EQ(m.Run(UpdaterCommand(u"")), qz::kExitDone);

    const auto reports = release_->Reports();
    EXPECT_EQ(std::vector<std::string>(reports.begin() + static_cast<long>(std::min(reported, reports.size())),
                                       reports.end()),
              std::vector<std::string>{kFailure331});
    EXPECT_EQ(FilesOutsideModuleFolder(m), before);
    EXPECT_EQ(release_->ChangedFrom330(m), std::vector<std::string>{});
    EXPECT_TRUE(ServiceRuns());
    const std::string log = uptest::ReadLogs(m.HostPath(std::u16string(kReleaseInstall) + u"\\logs"));
    EXPECT_NE(log.find(why), std::string::npos) << log;
    if (logOut) *logOut = log;
    KillServiceProgram(m);
    release_->server->Faults("");
  }
};

TEST_F(UpdateHostile, EachFailsTheUpdateAndLeavesBuild330Running) {
  const auto& dir = release_->dir;
  const std::string agent = dir / "release/agent/";
  const std::string key = dir / "pki/fs.key";
  const std::string utilData = ReadHostFile(dir / "agent331/qzAgentUtil.dll");
  auto publishPackage = [&](const std::string& module, const std::string& container) {
    WriteHostFile(agent + module + ".qz", container);
  };
  auto publishDefinition = [&](const std::string& container) { WriteHostFile(agent + "qzAgent.xmd", container); };
  const std::string xml = ReadHostFile(dir / "release/qzAgent.xml");

  const struct {
    const char* name;
    std::function<void()> serve;
    const char* why;
  } rows[] = {
      {"a package with a changed byte",
       [&] {
         std::string p = ReadHostFile(agent + "qzAgentUtil.dll.qz");
         p[p.size() / 2] ^= 0x01;
         publishPackage("qzAgentUtil.dll", p);
       },
       "qzAgentUtil.dll: 압축 해제 실패, ErrorCode : 2011"},
      {"a package signed by a key the file-signing certificate does not hold",
       [&] {
         publishPackage("qzAgentUtil.dll",
                        SignContainer(Entries({{"qzAgentUtil.dll", utilData}}), dir / "pki/other-fs.key"));
       },
       "(2018)"},
      {"a package signed under the file-signing certificate of another CA",
       [&] {
         publishPackage("qzAgentUtil.dll",
                        SignContainer(Entries({{"qzAgentUtil.dll", utilData}}), dir / "foreign/fs.key"));
       },
       "(2018)"},
      {"a module whose checksum differs from the definition file",
       [&] { publishPackage("qzPatchMan.dll", SignContainer(Entries({{"qzPatchMan.dll", "not the module"}}), key)); },
       "qzPatchMan.dll: 체크섬 오류"},
      {"a definition file above 102,400 bytes",
       [&] { publishDefinition(ReadHostFile(agent + "qzAgent.xmd") + std::string(102401, ' ')); },
       "Policy file too big"},
      {"a definition file of more than 10,240 bytes of XML, read cut off",
       [&] {
         // Cut off, the list would end among the modules: what follows must not be taken as absent.
         std::string big = xml;
         big.insert(big.find("<module"), "<!--" + std::string(10240, '.') + "-->\n");
         publishDefinition(SignContainer(Deflate(big), key));
       },
       "잘못된 모듈 정의 파일 발견"},
      {"a definition file that is not XML",
       [&] { publishDefinition(SignContainer(Deflate("<<< this is not a module definition"), key)); },
       "잘못된 모듈 정의 파일 발견"},
      {"a definition file that is not signed", [&] { publishDefinition(Deflate(xml)); }, "에이전트 모듈 정의 파일 열기 실패"},
      {"a package whose entry climbs out of the module folder",
       [&] { publishPackage("qzAgentUtil.dll", SignContainer(Entries({{"..\\qzAgentUtil.dll", utilData}}), key)); },
       "Header error: 21"},
      {"a package whose entry names a folder elsewhere",
       [&] {
         publishPackage("qzAgentUtil.dll",
                        SignContainer(Entries({{"..\\..\\..\\..\\..\\Windows\\qzAgentUtil.dll", utilData}}), key));
       },
       "Header error: 21"},
      {"a package whose entry is an absolute path",
       [&] { publishPackage("qzAgentUtil.dll", SignContainer(Entries({{"C:\\qzAgentUtil.dll", utilData}}), key)); },
       "Header error: 21"},
  };

  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ExpectFailedUpdateKeeps330(r.serve, r.why);
  }
  release_->server->Faults("");
}

// A definition that names a file the agent must not place (a device, one of its own folders, a
// backup name, a wildcard, a dot-file), signed and with its package served: the update fails at
// that name, after the modules before it were fetched, and nothing is installed or removed.
TEST_F(UpdateHostile, ADefinitionNamingAForbiddenFileFailsTheUpdate) {
  const auto& dir = release_->dir;
  const std::string key = dir / "pki/fs.key";
  const struct {
    const char* name;
    bool remove;
  } rows[] = {{"q*.dll", false}, {".hidden.dll", false}, {"module", false}, {"logs", true},
              {"CON", false},    {"nul.txt", false},     {"x.r330", false}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ExpectFailedUpdateKeeps330(
        [&] {
          std::string xml = ReadHostFile(dir / "release/qzAgent.xml");
          const std::string data = std::string("planted as ") + r.name;
          const std::string element =
              r.remove ? std::string("  <module remove=\"true\">") + r.name + "</module>\n"
                       : "  <module cks=\"" + qz::HexEncode(qz::DigestMemory(std::string_view(data))) + "\">" +
                             r.name + "</module>\n";
          xml.insert(xml.find("</qzAgent>"), element);
          WriteHostFile(dir / "release/agent/qzAgent.xmd", SignContainer(Deflate(xml), key));
          if (!r.remove) WriteHostFile(dir / ("release/agent/" + std::string(r.name) + ".qz"),
                                       SignContainer(Entries({{r.name, data}}), key));
        },
        std::string("Invalid module name: ") + r.name);
  }
}

// A server that breaks off every package download, or sends more than it announced: each attempt
// fails at once with the code of the step that failed (never a time-out), three attempts for the
// configuration file and five for the first module, and the update fails. The I/O time-outs are the real 30 s here.
TEST_F(UpdateHostile, AServerThatBreaksOffOrOverrunsEveryDownloadFailsTheUpdateAtOnce) {
  const struct {
    const char* name;
    const char* rule;
    const char* code;
  } rows[] = {
      {"cut off after ten bytes", "/agent/*.qz truncate=10", "(-10)"},
      {"dropped before an answer", "/agent/*.qz drop", "(-6)"},
      {"one byte more than announced", "/agent/*.qz extra=1", "(-9)"},
      {"far more than announced", "/agent/*.qz extra=50000000", "(-9)"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const auto start = std::chrono::steady_clock::now();
    std::string log;
    ExpectFailedUpdateKeeps330([&] { release_->server->Faults(std::string(r.rule) + "\n"); },
                               std::string(": 다운로드 오류") + r.code, &log);
    // Five attempts a few pauses apart, not five time-outs of 30 s.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    // The configuration file's three attempts, then the first module's five.
    const std::string failed = std::string(": 다운로드 오류") + r.code;
    EXPECT_EQ(uptest::Count(log, "server.cfg" + failed), qz::kConfigAttempts) << log;
    EXPECT_EQ(uptest::Count(log, failed) - uptest::Count(log, "server.cfg" + failed), 5) << log;
    for (const char* timeout : {"(-17)", "(-18)", "(-19)"}) {
      EXPECT_EQ(log.find(std::string(": 다운로드 오류") + timeout), std::string::npos) << log;
    }
  }
}

// Pretty-printed: every module and the configuration on a line of its own, their names on lines of
// their own between the tags.
std::string Indented(const std::string& xml) {
  std::string out = std::regex_replace(xml, std::regex("<(module|config)"), "\n    <$1");
  out = std::regex_replace(out, std::regex(">([^<>]+)</(module|config)>"), ">\n      $1\n    </$2>");
  const size_t close = out.rfind("</");
  return out.insert(close, "\n");
}

// A definition file and server answers written with indentation update the agent as compact ones do.
TEST_F(UpdateHostile, AnIndentedDefinitionAndIndentedAnswersUpdateNormally) {
  const auto& dir = release_->dir;
  TestMachine m("win10-x64");
  CopyMachine(installed_->root(), m);
  m.Enter(u"C:\\test\\probe.exe", 32);
  ASSERT_TRUE(StartService());
  fs::remove_all(dir / "release");
  fs::copy(dir / "pristine", dir / "release", fs::copy_options::recursive);
  const std::string indented = Indented(ReadHostFile(dir / "release/qzAgent.xml"));
  ASSERT_NE(indented.find("<module cks=\""), std::string::npos) << indented;
  ASSERT_NE(indented.find(">\n      qzAgentUtil.dll\n    </module>"), std::string::npos) << indented;
  WriteHostFile(dir / "release/agent/qzAgent.xmd", SignContainer(Deflate(indented), dir / "pki/fs.key"));
  release_->server->Faults("* indent\n");
  const size_t reported = release_->Reports().size();
  const size_t journalMark = release_->server->Journal().size();

  EXPECT_EQ(m.Run(UpdaterCommand(u"")), qz::kExitDone);

  const auto reports = release_->Reports();
  EXPECT_EQ(std::vector<std::string>(reports.begin() + static_cast<long>(std::min(reported, reports.size())),
                                     reports.end()),
            std::vector<std::string>{"Success updating agent modules (Build: 331)"})
      << uptest::ReadLogs(m.HostPath(std::u16string(kReleaseInstall) + u"\\logs"));
  EXPECT_EQ(release_->Differences(m), std::vector<std::string>{});
  // The answers really were indented: the server's keys reached the agent whole, so every later
  // request carried a valid stamp.
  const auto journal = release_->server->Journal();
  ASSERT_GT(journal.size(), journalMark);
  for (size_t i = journalMark; i < journal.size(); ++i) {
    const auto& e = journal[i];
    if (e.path == "/CAgentRequest") {
      EXPECT_EQ(e.Header("Qz-Stamp"), "valid");
    }
  }
  KillServiceProgram(m);
  release_->server->Faults("");
  fs::remove_all(dir / "release");
  fs::copy(dir / "pristine", dir / "release", fs::copy_options::recursive);
}

}  // namespace
