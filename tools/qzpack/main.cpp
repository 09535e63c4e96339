// qzpack: the publisher's tool.
//
//   qzpack ca --cert CA.pem --key CA.key [--cn NAME] [--org ORG] [--country CC] [--days N]
//   qzpack ca --rotate --from OLD.pem --from-key OLD.key --cert NEW.pem --key NEW.key [--cn NAME] [--org ORG]
//             [--country CC] [--crl URI] [--days N]
//   qzpack cert --ca CA.pem --ca-key CA.key --cert OUT.crt --key OUT.key [--tls] [--cn NAME]
//               [--org ORG] [--country CC] [--upn NAME] [--crl URI] [--dns NAME]... [--ip ADDR]... [--days N]
//   qzpack encrypt-cert --in CERT.pem --out CERT.crt
//   qzpack sign --key FS.key --out NAME.qz FILE[=ENTRY]...
//   qzpack sign --key FS.key --definition DOC.xml --out qzAgent.xmd
//   qzpack verify --ca CA.pem --cert FS.crt [--definition|--package] FILE
//   qzpack release --agent DIR --build N [--manifest FILE] [--expires DAYS] --ca CA.pem --fs-cert FS.crt
//                  --fs-key FS.key --out DIR
//   qzpack setup --program QZSETUP --tool 7zr.exe --mode TEXT --out SETUP.exe [--level 0-9] [--release DIR] [--dir DIR]...
//                [--unchecked] [FILE[=NAME]]...
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "certs.h"
#include "crypto/definition_stamp.h"
#include "host.h"
#include "pack.h"
#include "setup.h"

namespace {

constexpr const char* kUsage =
    "usage:\n"
    "  qzpack ca --cert CA.pem --key CA.key [--cn NAME] [--org ORG] [--country CC] [--days N]\n"
    "  qzpack ca --rotate --from OLD.pem --from-key OLD.key --cert NEW.pem --key NEW.key [--cn NAME] [--org ORG]\n"
    "            [--country CC] [--crl URI] [--days N]\n"
    "              (NEW.pem: the new CA, then its key certified by the old CA; publish it with release --ca)\n"
    "  qzpack cert --ca CA.pem --ca-key CA.key --cert OUT.crt --key OUT.key [--tls] [--cn NAME] [--org ORG]\n"
    "              [--country CC] [--upn NAME] [--crl URI] [--dns NAME]... [--ip ADDR]... [--days N]\n"
    "  qzpack encrypt-cert --in CERT.pem --out CERT.crt\n"
    "  qzpack sign --key FS.key --out NAME.qz FILE[=ENTRY]...\n"
    "  qzpack sign --key FS.key --definition DOC.xml --out qzAgent.xmd\n"
    "  qzpack verify --ca CA.pem --cert FS.crt [--definition|--package] FILE\n"
    "  qzpack release --agent DIR --build N [--manifest FILE] [--expires DAYS] --ca CA.pem --fs-cert FS.crt\n"
    "                 --fs-key FS.key --out DIR\n"
    "  qzpack setup --program QZSETUP --tool 7zr.exe --mode TEXT --out SETUP.exe [--level 0-9] [--release DIR] [--dir DIR]...\n"
    "               [--unchecked] [FILE[=NAME]]...\n"
    "              (TEXT: -uninstall for the delivered uninstaller, \"\", -hide, -auto, ...; an install build must carry\n"
    "               server.cfg, qzTarlinSvc.exe and qzUpdater.exe; --unchecked skips that check, for tests of the installer)\n"
    "  Exit status: 0 done, 2 refused (one line on standard error); verify: 1 when it refuses the file.\n";

// Options with a value ("--name value"), repeatable ones collected in order, flags, and operands.
struct Args {
  std::map<std::string, std::vector<std::string>> values;
  std::vector<std::string> flags, operands;
  std::string error;

  std::string Get(const std::string& name, const std::string& fallback = "") const {
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second.back();
  }
  std::vector<std::string> All(const std::string& name) const {
    auto it = values.find(name);
    return it == values.end() ? std::vector<std::string>() : it->second;
  }
  bool Flag(const std::string& name) const {
    for (const auto& f : flags) {
      if (f == name) return true;
    }
    return false;
  }
};

Args Parse(int argc, char** argv, const std::vector<std::string>& flagNames) {
  Args a;
  for (int i = 2; i < argc; ++i) {
    std::string s = argv[i];
    if (s.rfind("--", 0) != 0) {
      a.operands.push_back(s);
      continue;
    }
    std::string name = s.substr(2);
    bool isFlag = false;
    for (const auto& f : flagNames) isFlag = isFlag || f == name;
    if (isFlag) {
      a.flags.push_back(name);
    } else if (i + 1 < argc) {
      a.values[name].push_back(argv[++i]);
    } else {
      a.error = "missing value for " + s;
    }
  }
  return a;
}

// Every refusal is one line and exit status 2.
int Fail(const std::string& error) {
  std::fprintf(stderr, "qzpack: %s\n", error.c_str());
  return 2;
}

bool Need(const Args& a, std::initializer_list<const char*> names, std::string* error) {
  for (const char* n : names) {
    if (a.Get(n).empty()) {
      *error = std::string("missing --") + n;
      return false;
    }
  }
  return true;
}

qzpack::CertOptions CertOptionsFrom(const Args& a, const std::string& defaultCn, std::string* error) {
  qzpack::CertOptions o;
  o.commonName = a.Get("cn", defaultCn);
  o.organisation = a.Get("org", o.organisation);
  o.country = a.Get("country", o.country);
  uint32_t days = 0;
  if (!qz::ParseBuildText(a.Get("days", "3650"), &days) || days > 36500) *error = "--days takes 1 to 36500";
  o.days = static_cast<int>(days);
  o.tlsServer = a.Flag("tls");
  o.upn = a.Get("upn", o.commonName);
  o.crlUri = a.Get("crl", o.crlUri);
  o.dns = a.All("dns");
  o.ip = a.All("ip");
  return o;
}

int Run(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  qzpack::UseHostPlatform();
  const std::string command = argv[1];
  // "--definition" names the document when signing and is a switch when verifying.
  const Args a = command == "verify" ? Parse(argc, argv, {"definition", "package"})
                                     : Parse(argc, argv, {"tls", "rotate", "unchecked"});
  std::string error = a.error;
  if (!error.empty()) return Fail(error);

  if (command == "ca") {
    if (!Need(a, {"cert", "key"}, &error)) return Fail(error);
    const qzpack::CertOptions options = CertOptionsFrom(a, "Qorv Root CA", &error);
    if (!error.empty()) return Fail(error);
    if (a.Flag("rotate")) {
      if (!Need(a, {"from", "from-key"}, &error)) return Fail(error);
      error = qzpack::RotateCa(options, a.Get("from"), a.Get("from-key"), a.Get("cert"), a.Get("key"));
    } else {
      error = qzpack::MakeCa(options, a.Get("cert"), a.Get("key"));
    }
  } else if (command == "cert") {
    if (!Need(a, {"ca", "ca-key", "cert", "key"}, &error)) return Fail(error);
    const qzpack::CertOptions options =
        CertOptionsFrom(a, a.Flag("tls") ? "127.0.0.1" : "Qorv File Signing", &error);
    if (!error.empty()) return Fail(error);
    error = qzpack::MakeCert(options, a.Get("ca"), a.Get("ca-key"), a.Get("cert"), a.Get("key"));
  } else if (command == "encrypt-cert") {
    if (!Need(a, {"in", "out"}, &error)) return Fail(error);
    error = qzpack::EncryptCert(a.Get("in"), a.Get("out"));
  } else if (command == "sign") {
    if (!Need(a, {"key", "out"}, &error)) return Fail(error);
    if (!a.Get("definition").empty()) {
      error = qzpack::SignDefinition(a.Get("definition"), a.Get("key"), a.Get("out"));
    } else {
      if (a.operands.empty()) return Fail("no files to package");
      std::vector<qzpack::PackageFile> files;
      for (const auto& op : a.operands) {
        const size_t eq = op.find('=');
        files.push_back(eq == std::string::npos
                            ? qzpack::PackageFile{op, std::filesystem::path(op).filename().string()}
                            : qzpack::PackageFile{op.substr(0, eq), op.substr(eq + 1)});
      }
      error = qzpack::SignPackage(files, a.Get("key"), a.Get("out"));
    }
  } else if (command == "verify") {
    if (!Need(a, {"ca", "cert"}, &error)) return Fail(error);
    if (a.operands.size() != 1) return Fail("verify takes one file");
    const std::string& file = a.operands[0];
    const bool definition =
        a.Flag("definition") || (!a.Flag("package") && std::filesystem::path(file).extension() == ".xmd");
    return qzpack::Verify(a.Get("ca"), a.Get("cert"), file, definition);
  } else if (command == "release") {
    if (!Need(a, {"agent", "build", "ca", "fs-cert", "fs-key", "out"}, &error)) return Fail(error);
    qzpack::ReleaseOptions o;
    o.agentDir = a.Get("agent");
    o.manifest = a.Get("manifest");
    o.outDir = a.Get("out");
    o.caCert = a.Get("ca");
    o.fsCert = a.Get("fs-cert");
    o.fsKey = a.Get("fs-key");
    if (!qz::ParseBuildText(a.Get("build"), &o.build)) return Fail("--build takes a number from 1 to 4294967295");
    if (!a.Get("expires").empty()) {
      uint32_t days = 0;
      if (!qz::ParseBuildText(a.Get("expires"), &days) || days > 36500) return Fail("--expires takes 1 to 36500 days");
      o.expiresDays = days;
    }
    error = qzpack::Release(o);
  } else if (command == "setup") {
    if (!Need(a, {"program", "tool", "out"}, &error)) return Fail(error);
    // The empty build mode is a mode of its own, so the option must be there even when empty.
    if (!a.values.count("mode")) return Fail("missing --mode");
    qzpack::SetupOptions o;
    o.program = a.Get("program");
    o.tool = a.Get("tool");
    o.mode = a.Get("mode");
    o.out = a.Get("out");
    o.release = a.Get("release");
    o.dirs = a.All("dir");
    o.files = a.operands;
    o.checkInstall = !a.Flag("unchecked");
    const std::string level = a.Get("level");
    if (!level.empty()) {
      if (level.size() != 1 || level[0] < '0' || level[0] > '9') return Fail("--level takes 0 to 9");
      o.level = level[0] - '0';
    }
    error = qzpack::BuildSetup(o);
  } else {
    std::fputs(kUsage, stderr);
    return 2;
  }
  return error.empty() ? 0 : Fail(error);
}

}  // namespace

int main(int argc, char** argv) {
  // A library exception (a path that cannot be read, memory) is a refusal like any other.
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    return Fail(e.what());
  } catch (...) {
    return Fail("unexpected failure");
  }
}
