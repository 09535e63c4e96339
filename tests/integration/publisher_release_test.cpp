// qzpack release as a publisher meets it: what the agent could not install is refused before
// anything is published, and a release into a folder that holds an earlier one replaces it whole
// through the folder's link, swapped in one rename.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/host_files.h"
#include "support/peers.h"
#include "support/test_machine.h"

namespace {

using qztest::BuiltProgram;
using qztest::HostDir;
using qztest::HostOutput;
using qztest::ReadHostFile;
using qztest::ShellQuote;
using qztest::WriteHostFile;
namespace fs = std::filesystem;

// Every file under dir (links followed) with its content, and the names at dir's parent level.
std::map<std::string, std::string> Tree(const std::string& dir) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  if (!fs::exists(dir, ec)) return out;
  for (auto it = fs::recursive_directory_iterator(dir, fs::directory_options::follow_directory_symlink, ec);
       it != fs::recursive_directory_iterator(); ++it) {
    if (it->is_regular_file()) out[fs::relative(it->path(), dir).string()] = ReadHostFile(it->path().string());
  }
  return out;
}

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

class PublisherRelease : public ::testing::Test {
 protected:
  void SetUp() override {
    qztest::MakeSigningPki(dir_);
    // Another CA, and the CA that succeeds the first one (cross-signed by it).
    fs::create_directories(dir_ / "other");
    fs::create_directories(dir_ / "next");
    ASSERT_EQ(Qzpack({"ca", "--cert", dir_ / "other/ca.pem", "--key", dir_ / "other/ca.key"}).status, 0);
    ASSERT_EQ(Qzpack({"cert", "--ca", dir_ / "other/ca.pem", "--ca-key", dir_ / "other/ca.key", "--cert",
                      dir_ / "other/fs.crt", "--key", dir_ / "other/fs.key"})
                  .status,
              0);
    ASSERT_EQ(Qzpack({"ca", "--rotate", "--from", dir_ / "pki/ca.pem", "--from-key", dir_ / "pki/ca.key", "--cert",
                      dir_ / "next/ca.pem", "--key", dir_ / "next/ca.key"})
                  .status,
              0);
    ASSERT_EQ(Qzpack({"cert", "--ca", dir_ / "next/ca.pem", "--ca-key", dir_ / "next/ca.key", "--cert",
                      dir_ / "next/fs.crt", "--key", dir_ / "next/fs.key"})
                  .status,
              0);
    fs::create_directories(dir_ / "site");
  }

  struct Result {
    int status = -1;
    std::string out;  // standard output and error
  };
  Result Qzpack(const std::vector<std::string>& args) {
    std::string line = ShellQuote(BuiltProgram("qzpack"));
    for (const auto& a : args) line += " " + ShellQuote(a);
    Result r;
    r.out = HostOutput(line + " 2>&1", &r.status);
    return r;
  }
  // A release of the agent folder with the given PKI ("pki", "other", "next").
  Result Release(const std::string& agent, const std::string& build, const std::string& out,
                 const std::string& pki = "pki") {
    return Qzpack({"release", "--agent", agent, "--build", build, "--ca", dir_ / (pki + "/ca.pem"), "--fs-cert",
                   dir_ / (pki + "/fs.crt"), "--fs-key", dir_ / (pki + "/fs.key"), "--out", out});
  }
  // A fresh agent folder with one good module and whatever add puts there.
  std::string Agent(const std::function<void(const std::string&)>& add) {
    const std::string agent = dir_ / ("agent" + std::to_string(agents_++));
    fs::create_directories(agent);
    WriteHostFile(agent + "/good.dll", "good");
    add(agent);
    return agent;
  }

  HostDir dir_;
  int agents_ = 0;
};

TEST_F(PublisherRelease, EachInputTheAgentCannotTakeIsRefusedAndNothingIsPublished) {
  const std::string site = dir_ / "site", out = site + "/release";
  ASSERT_EQ(Release(Agent([](const std::string&) {}), "7", out).status, 0);
  const auto published = Tree(out);
  const auto siteNames = Names(site);
  ASSERT_EQ(siteNames.size(), 2u);  // the link and the folder it names

  auto file = [](const std::string& name) {
    return [name](const std::string& agent) { WriteHostFile(agent + "/" + name, "module " + name); };
  };
  // A release of another CA in a folder of its own, to be reused.
  const std::string foreign = dir_ / "foreign";
  ASSERT_EQ(Release(Agent([](const std::string&) {}), "9", foreign, "other").status, 0);
  const auto foreignTree = Tree(foreign);
  const std::string agentPrefix = "qzpack: module name refused by the agent (";
  const std::string plain = "holds a separator, wildcard or control character (\\ / : * ? \" < > |)";
  const struct {
    const char* what;
    std::function<void(const std::string&)> add;
    std::string build;
    std::string out;
    std::string message;
  } rows[] = {
      {"a wildcard", file("q*.dll"), "8", out, agentPrefix + plain + "): q*.dll"},
      {"a leading dot", file(".hidden.dll"), "8", out, agentPrefix + "begins with '.'): .hidden.dll"},
      {"the module folder's name", file("module"), "8", out, agentPrefix + "the name of a folder of the agent): module"},
      {"the log folder's name", file("logs"), "8", out, agentPrefix + "the name of a folder of the agent): logs"},
      {"a device", file("CON"), "8", out, agentPrefix + "a Windows device name): CON"},
      {"a device with an extension", file("nul.txt"), "8", out, agentPrefix + "a Windows device name): nul.txt"},
      {"a port device in lower case", file("com1.dll"), "8", out, agentPrefix + "a Windows device name): com1.dll"},
      {"a printer device", file("LPT9"), "8", out, agentPrefix + "a Windows device name): LPT9"},
      {"a backup's name", file("x.r330"), "8", out,
       agentPrefix + "ends with .r and digits, as the agent's backups do): x.r330"},
      {"an 80-character name", file(std::string(76, 'n') + ".dll"), "8", out,
       agentPrefix + "longer than 79 characters): " + std::string(76, 'n') + ".dll"},
      {"a symbolic link",
       [](const std::string& agent) { fs::create_symlink("/etc/passwd", agent + "/passwd.dll"); }, "8", out,
       "qzpack: the agent folder holds a symbolic link, which is not published: passwd.dll"},
      {"a subfolder",
       [](const std::string& agent) { WriteHostFile(agent + "/drivers/x.sys", "driver"); }, "8", out,
       "qzpack: the agent folder holds a subfolder, which the agent cannot install: drivers"},
      {"a build that is not a number", file("other.dll"), "abc", out,
       "qzpack: --build takes a number from 1 to 4294967295"},
      {"a negative build", file("other.dll"), "-5", out, "qzpack: --build takes a number from 1 to 4294967295"},
      {"build 0", file("other.dll"), "0", out, "qzpack: --build takes a number from 1 to 4294967295"},
      {"a build above 32 bits", file("other.dll"), "4294967296", out,
       "qzpack: --build takes a number from 1 to 4294967295"},
      {"a reused folder of another CA", file("other.dll"), "8", foreign,
       "qzpack: --out " + foreign + " holds a release of another CA, which this CA does not succeed; publish into "
                                    "an empty folder"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    const Result got = Release(Agent(r.add), r.build, r.out);
    EXPECT_EQ(got.status, 2);
    EXPECT_EQ(got.out, r.message + "\n");
    EXPECT_EQ(Tree(out), published);
    EXPECT_EQ(Names(site), siteNames);
    EXPECT_EQ(Tree(foreign), foreignTree);
  }

  // An empty agent folder, and one whose only file is the configuration.
  fs::create_directories(dir_ / "empty");
  Result got = Release(dir_ / "empty", "8", out);
  EXPECT_EQ(got.status, 2);
  EXPECT_EQ(got.out, "qzpack: the agent folder " + (dir_ / "empty") + " holds no module files\n");
  WriteHostFile(dir_ / "configonly/server.cfg", "cfg");
  WriteHostFile(dir_ / "configonly.txt", "config " + (dir_ / "configonly/server.cfg") + "\n");
  got = Qzpack({"release", "--agent", dir_ / "configonly", "--build", "8", "--manifest", dir_ / "configonly.txt",
                "--ca", dir_ / "pki/ca.pem", "--fs-cert", dir_ / "pki/fs.crt", "--fs-key", dir_ / "pki/fs.key",
                "--out", out});
  EXPECT_EQ(got.status, 2);
  EXPECT_EQ(got.out, "qzpack: the agent folder " + (dir_ / "configonly") + " holds no module files\n");
  // A name the manifest retires is held to the same rule.
  WriteHostFile(dir_ / "retire.txt", "remove LOGS\n");
  got = Qzpack({"release", "--agent", Agent([](const std::string&) {}), "--build", "8", "--manifest",
                dir_ / "retire.txt", "--ca", dir_ / "pki/ca.pem", "--fs-cert", dir_ / "pki/fs.crt", "--fs-key",
                dir_ / "pki/fs.key", "--out", out});
  EXPECT_EQ(got.status, 2);
  EXPECT_EQ(got.out, "qzpack: module name to remove refused by the agent (the name of a folder of the agent): LOGS\n");
  // A folder that is neither empty nor a release keeps what it holds.
  WriteHostFile(dir_ / "documents/precious.txt", "precious");
  got = Release(Agent([](const std::string&) {}), "8", dir_ / "documents");
  EXPECT_EQ(got.status, 2);
  EXPECT_EQ(got.out, "qzpack: --out " + (dir_ / "documents") +
                         " is neither empty nor a release folder (it holds precious.txt)\n");
  EXPECT_EQ(Names(dir_ / "documents"), std::vector<std::string>{"precious.txt"});
  EXPECT_EQ(Tree(out), published);
  EXPECT_EQ(Names(site), siteNames);
}

TEST_F(PublisherRelease, AReusedFolderIsReplacedWholeThroughItsLink) {
  const std::string site = dir_ / "site", out = site + "/release";
  const std::string first = Agent([](const std::string& a) { WriteHostFile(a + "/retired.dll", "retired"); });
  const Result r7 = Release(first, "7", out);
  ASSERT_EQ(r7.status, 0) << r7.out;
  EXPECT_EQ(r7.out, "release 7: 2 modules, 0 removals into " + out + "\n");
  ASSERT_TRUE(fs::is_symlink(out));
  const std::string v7 = fs::read_symlink(out).string();
  EXPECT_EQ(v7.rfind("release.7-", 0), 0u) << v7;  // beside the link, named by its build

  const std::string second = Agent([](const std::string& a) { WriteHostFile(a + "/new.dll", "new"); });
  WriteHostFile(second + "/good.dll", "good, build 8");
  const Result r8 = Release(second, "8", out);
  ASSERT_EQ(r8.status, 0) << r8.out;
  const std::string v8 = fs::read_symlink(out).string();
  EXPECT_NE(v8, v7);
  // The earlier version is gone with everything it held; nothing of build 7 is served any more.
  EXPECT_EQ(Names(site), (std::vector<std::string>{"release", v8}));
  EXPECT_EQ(Names(out + "/agent"), (std::vector<std::string>{"good.dll.qz", "new.dll.qz", "qzAgent.xmd"}));
  EXPECT_EQ(ReadHostFile(out + "/release.txt"), "build=8\n");
  EXPECT_NE(ReadHostFile(out + "/qzAgent.xml").find("build=\"8\""), std::string::npos);
  const Result verified = Qzpack({"verify", "--ca", out + "/certs/qorv-ca.pem", "--cert", out + "/certs/qorv-fs.crt",
                                  out + "/agent/good.dll.qz"});
  EXPECT_EQ(verified.status, 0) << verified.out;
  EXPECT_NE(verified.out.find("good.dll  13 bytes"), std::string::npos) << verified.out;

  // Under the CA that succeeds this one (it carries the cross-signature), the same folder is reused.
  const Result r9 = Release(second, "9", out, "next");
  ASSERT_EQ(r9.status, 0) << r9.out;
  EXPECT_EQ(ReadHostFile(out + "/certs/qorv-ca.pem"), ReadHostFile(dir_ / "next/ca.pem"));
  EXPECT_EQ(Names(site).size(), 2u);
  // The old CA may not take it back: agents that moved to the new CA would refuse it anyway.
  EXPECT_EQ(Release(second, "10", out, "pki").status, 2);
  EXPECT_EQ(ReadHostFile(out + "/release.txt"), "build=9\n");

  // A release folder made as a plain folder (copied, or by an earlier qzpack) becomes the link.
  const std::string plain = dir_ / "plain";
  fs::copy(out, plain, fs::copy_options::recursive);
  WriteHostFile(plain + "/agent/stale.dll.qz", "left from an older release");
  ASSERT_FALSE(fs::is_symlink(plain));
  const Result r10 = Release(second, "10", plain, "next");
  ASSERT_EQ(r10.status, 0) << r10.out;
  EXPECT_TRUE(fs::is_symlink(plain));
  EXPECT_EQ(Names(plain + "/agent"), (std::vector<std::string>{"good.dll.qz", "new.dll.qz", "qzAgent.xmd"}));
  // An empty folder is taken as well, and one that holds empty folders only.
  fs::create_directories(dir_ / "fresh");
  fs::create_directories(dir_ / "skeleton/agent");
  for (const char* folder : {"fresh", "skeleton"}) {
    SCOPED_TRACE(folder);
    EXPECT_EQ(Release(second, "1", dir_ / folder).status, 0);
    EXPECT_TRUE(fs::is_symlink(dir_ / folder));
    EXPECT_EQ(ReadHostFile(dir_ / folder + "/release.txt"), "build=1\n");
  }
}

// Any refusal of any command is one line and exit status 2, never an abort.
TEST_F(PublisherRelease, EveryRefusalIsOneLineAndStatus2) {
  WriteHostFile(dir_ / "x.dll", "x");
  const struct {
    std::vector<std::string> args;
    std::string message;
  } rows[] = {
      {{"sign", "--key", dir_ / "pki/fs.key", "--out", dir_ / "x.qz", dir_.path()}, "not a file: " + dir_.path()},
      {{"sign", "--key", dir_ / "pki/fs.key", "--out", dir_ / "x.qz", dir_ / "x.dll=..\\x.dll"},
       "entry name refused by the updater: ..\\x.dll"},
      {{"ca", "--cert", dir_ / "c.pem", "--key", dir_ / "c.key", "--days", "abc"}, "--days takes 1 to 36500"},
      {{"ca", "--cert", dir_ / "c.pem", "--key", dir_ / "c.key", "--days", "-5"}, "--days takes 1 to 36500"},
      {{"release", "--agent", dir_ / "agent", "--build", "1", "--expires", "0", "--ca", dir_ / "pki/ca.pem",
        "--fs-cert", dir_ / "pki/fs.crt", "--fs-key", dir_ / "pki/fs.key", "--out", dir_ / "r"},
       "--expires takes 1 to 36500 days"},
      {{"release", "--agent", dir_ / "missing", "--build", "1", "--ca", dir_ / "pki/ca.pem", "--fs-cert",
        dir_ / "pki/fs.crt", "--fs-key", dir_ / "pki/fs.key", "--out", dir_ / "r"},
       "cannot list the agent folder " + (dir_ / "missing")},
      {{"encrypt-cert", "--in", dir_ / "missing.pem", "--out"}, "missing value for --out"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.args[0] + " " + r.message);
    const Result got = Qzpack(r.args);
    EXPECT_EQ(got.status, 2);
    EXPECT_EQ(got.out, "qzpack: " + r.message + "\n");
  }
  EXPECT_FALSE(fs::exists(dir_ / "x.qz"));
  EXPECT_FALSE(fs::exists(dir_ / "c.pem"));
  EXPECT_FALSE(fs::exists(dir_ / "r"));
}

}  // namespace
