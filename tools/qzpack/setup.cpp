#include "setup.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "config/installer_settings.h"
#include "crypto/aes.h"
#include "crypto/cert.h"
#include "crypto/secrets.h"
#include "crypto/zip_archive.h"
#include "host.h"
#include "installer/resource_ids.h"
#include "platform/text.h"
#include "platform/winsim/bundle.h"

extern char** environ;

namespace qzpack {

namespace fs = std::filesystem;

namespace {

std::string Narrow(std::u16string_view s) { return win::WideToUtf8(s); }
std::string NumericId(int id) { return "#" + std::to_string(id); }

bool ReadBytes(const std::string& path, std::vector<uint8_t>* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  const std::string data = s.str();
  out->assign(data.begin(), data.end());
  return true;
}

// Shows the share of bytes compressed that 7zz reports: on a terminal one line kept current,
// otherwise a line at every quarter, so a log stays short.
class Progress {
 public:
  explicit Progress(uint64_t bytes) : bytes_(bytes), terminal_(isatty(2) != 0) {}
  void Show(int percent) {
    if (percent <= shown_ || percent > 100) return;
    if (terminal_) {
      std::fprintf(stderr, "\rqzpack: compressing %llu bytes: %3d%%", static_cast<unsigned long long>(bytes_), percent);
    } else if (percent / 25 > shown_ / 25 || shown_ < 0) {
      std::fprintf(stderr, "qzpack: compressing %llu bytes: %d%%\n", static_cast<unsigned long long>(bytes_), percent);
    } else {
      return;
    }
    shown_ = percent;
  }
  void End() {
    Show(100);
    if (terminal_ && shown_ >= 0) std::fputc('\n', stderr);
  }

 private:
  uint64_t bytes_;
  bool terminal_;
  int shown_ = -1;
};

// Runs 7zz in dir with args, its progress read from a pipe; its exit status, or -1 when it cannot
// be started.
int Run7zz(const std::string& dir, std::vector<std::string> args, Progress* progress) {
  args.insert(args.begin(), "7zz");
  // Progress on standard output alone; its other lines would only clutter the publisher's terminal.
  args.insert(args.begin() + 2, {"-bso0", "-bsp1"});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int fds[2];
  if (pipe(fds) != 0) return -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_addclose(&fa, fds[0]);
  posix_spawn_file_actions_addclose(&fa, fds[1]);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, "7zz", &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return -1;
  }
  // Its progress is "NN%" among backspaces and file names.
  int number = -1;
  char buffer[512];
  for (;;) {
    const ssize_t got = read(fds[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (ssize_t i = 0; i < got; ++i) {
      const char c = buffer[i];
      if (c >= '0' && c <= '9') {
        number = (number < 0 ? 0 : number) * 10 + (c - '0');
        if (number > 1000) number = 1000;
      } else {
        if (c == '%' && number >= 0) progress->Show(number);
        number = -1;
      }
    }
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (code == 0) progress->End();
  return code;
}

// What the installer of an install build reads from its setup folder before it removes anything.
std::string CheckInstallPayload(const std::map<std::string, std::string>& members) {
  if (!members.count("server.cfg")) return "an install build needs server.cfg in its payload";
  std::string text;
  if (!ReadHostFile(members.at("server.cfg"), &text)) return "cannot read " + members.at("server.cfg");
  qz::InstallerSettings settings;
  if (const int code = qz::ParseInstallerSettings(text, &settings))
    return "the installer refuses its server.cfg (" + members.at("server.cfg") + ") with code " + std::to_string(code);
  for (const char* name : {"qzTarlinSvc.exe", "qzUpdater.exe"}) {
    if (!members.count(name)) return std::string("an install build needs ") + name + " in its payload";
  }
  return {};
}

struct TempDir {
  TempDir() {
    std::string t = (fs::temp_directory_path() / "qzpack-setup-XXXXXX").string();
    if (mkdtemp(t.data())) path = t;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
  }
  std::string path;
};

// Writes each entry of a package under the staging folder; only plain names are taken.
class StagingSink : public qz::IEntrySink {
 public:
  explicit StagingSink(std::string folder) : folder_(std::move(folder)) {}
  bool Create(std::string_view ansiPath) override {
    std::string name(ansiPath.substr(ansiPath.find_last_of("\\/") + 1));
    if (ansiPath != ".\\" + name) {
      error = "a module file in a subfolder cannot go into the installer: " + std::string(ansiPath.substr(2));
      return false;
    }
    out_.open(folder_ + "/" + name, std::ios::binary | std::ios::trunc);
    if (!out_) return false;
    names.push_back(name);
    return true;
  }
  bool Write(const uint8_t* data, size_t size) override {
    out_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out_);
  }
  void Close() override { out_.close(); }
  std::vector<std::string> names;
  std::string error;

 private:
  std::string folder_;
  std::ofstream out_;
};

// The files of a release folder, checked as the updater checks them, staged under folder.
std::string AddRelease(const std::string& dir, const std::string& folder, std::map<std::string, std::string>* members) {
  const std::string caPath = dir + "/certs/qorv-ca.pem", fsPath = dir + "/certs/qorv-fs.crt";
  static qz::qzAES cipher;
  cipher.SetKeyInput(qz::secrets::CertKeyInput());
  qz::qzRSACert ca, cert;
  ca.SetCertificateCipher(&cipher);
  cert.SetCertificateCipher(&cipher);
  auto load = [](qz::qzRSACert* c, const std::string& path, const qz::IRSACert* issuer) {
    std::string text, der;
    if (!ReadHostFile(path, &text)) return qz::qzRSACert::kCannotOpen;
    int r = c->DecodePem(text, &der);
    return r != 0 ? r : c->Parse(std::span(reinterpret_cast<const uint8_t*>(der.data()), der.size()), issuer);
  };
  if (load(&ca, caPath, nullptr) != 0 || load(&cert, fsPath, &ca) != 0) return "the certificates of " + dir + " are refused";

  // The agent's stored configuration is the config element's package: not a file to place.
  std::string xml, configName;
  ReadHostFile(dir + "/qzAgent.xml", &xml);
  if (size_t at = xml.find("<config "); at != std::string::npos) {
    size_t begin = xml.find('>', at), end = xml.find("</config>", at);
    if (begin != std::string::npos && end != std::string::npos && begin < end) configName = xml.substr(begin + 1, end - begin - 1);
  }

  std::error_code ec;
  fs::directory_iterator it(dir + "/agent", ec);
  if (ec) return "no agent folder in " + dir;
  for (const auto& e : it) {
    const std::string file = e.path().filename().string();
    if (!e.is_regular_file() || e.path().extension() != ".qz") continue;
    if (file == configName + ".qz") continue;
    FileStream in(e.path().string());
    StagingSink sink(folder);
    qz::ZipArchive zip;
    const int r = in.ok() ? zip.UnpackSigned(in, win::Utf8ToWide(e.path().string()), cert, ".", sink) : qz::kUnzipCannotOpen;
    if (!sink.error.empty()) return sink.error;
    if (r != 0) return e.path().string() + " is refused: " + std::to_string(r);
    for (const auto& name : sink.names) (*members)[name] = folder + "/" + name;
  }
  (*members)["qorv-ca.pem"] = caPath;
  (*members)["qorv-fs.crt"] = fsPath;
  if (fs::is_regular_file(dir + "/local-fs.crt")) (*members)["local-fs.crt"] = dir + "/local-fs.crt";
  return "";
}

}  // namespace

std::string BuildSetup(const SetupOptions& o) {
  TempDir tmp;
  if (tmp.path.empty()) return "cannot make a temporary folder";
  // Archive member name → source file.
  std::map<std::string, std::string> members;
  if (!o.release.empty()) {
    const std::string unpacked = tmp.path + "/release";
    fs::create_directory(unpacked);
    std::string error = AddRelease(o.release, unpacked, &members);
    if (!error.empty()) return error;
  }
  for (const auto& d : o.dirs) {
    std::error_code ec;
    fs::directory_iterator it(d, ec);
    if (ec) return "cannot list " + d;
    for (const auto& e : it) {
      if (e.is_regular_file()) members[e.path().filename().string()] = e.path().string();
    }
  }
  for (const auto& f : o.files) {
    const size_t eq = f.find('=');
    std::string source = eq == std::string::npos ? f : f.substr(0, eq);
    std::string name = eq == std::string::npos ? fs::path(f).filename().string() : f.substr(eq + 1);
    // Every member lands in the setup folder itself.
    if (name.empty() || name.find_first_of("/\\:") != std::string::npos || name == "." || name == "..") {
      return "not a plain file name: " + name;
    }
    if (!fs::is_regular_file(source)) return "no such file: " + source;
    members[name] = source;
  }
  if (members.empty()) return "no files for the payload";
  if (o.checkInstall && o.mode.find("-uninstall") == std::string::npos) {
    std::string error = CheckInstallPayload(members);
    if (!error.empty()) return error + " (--unchecked builds it anyway)";
  }

  auto bundle = winsim::ReadBundle(o.program);
  if (!bundle) return o.program + " is not a built program (no resource bundle)";
  std::vector<uint8_t> tool, archive;
  if (!ReadBytes(o.tool, &tool) || tool.empty()) return "cannot read the archive tool " + o.tool;

  const std::string staging = tmp.path + "/files";
  std::error_code ec;
  fs::create_directory(staging, ec);
  std::vector<std::string> args{"a", "-t7z", "-y", "-mx" + std::to_string(o.level), tmp.path + "/payload.7z"};
  uint64_t bytes = 0;
  for (const auto& [name, source] : members) {
    if (!fs::copy_file(source, staging + "/" + name, ec)) return "cannot stage " + source;
    bytes += fs::file_size(staging + "/" + name, ec);
    args.push_back(name);
  }
  Progress progress(bytes);
  int rc = Run7zz(staging, args, &progress);
  if (rc < 0) return "cannot start 7zz (Debian package 7zip)";
  if (rc != 0) return "7zz failed with status " + std::to_string(rc);
  if (!ReadBytes(tmp.path + "/payload.7z", &archive) || archive.empty()) return "7zz made no archive";

  const std::string fileType = Narrow(qz::kPayloadResourceType);
  const std::string modeType = Narrow(qz::kBuildModeResourceType), modeName = Narrow(qz::kBuildModeResourceName);
  std::erase_if(bundle->entries, [&](const winsim::ResourceEntry& e) {
    return (e.type == fileType &&
            (e.id == NumericId(qz::kArchiveToolResourceId) || e.id == NumericId(qz::kPayloadArchiveResourceId))) ||
           (e.type == modeType && e.id == modeName);
  });
  bundle->entries.push_back({fileType, NumericId(qz::kArchiveToolResourceId), 0, std::move(tool)});
  bundle->entries.push_back({fileType, NumericId(qz::kPayloadArchiveResourceId), 0, std::move(archive)});
  bundle->entries.push_back({modeType, modeName, 0, std::vector<uint8_t>(o.mode.begin(), o.mode.end())});

  const std::string partial = o.out + ".part";
  fs::remove(partial, ec);
  if (!fs::copy_file(o.program, partial, fs::copy_options::overwrite_existing, ec) ||
      !winsim::WriteBundle(partial, *bundle)) {
    fs::remove(partial, ec);
    return "cannot write " + o.out;
  }
  fs::permissions(partial, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::add, ec);
  fs::rename(partial, o.out, ec);
  if (ec) {
    fs::remove(partial, ec);
    return "cannot write " + o.out;
  }
  return "";
}

}  // namespace qzpack
