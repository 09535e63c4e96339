#include "commands.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "crypto/crypto_util.h"
#include "crypto/digest.h"

namespace qzserver {

namespace {

namespace fs = std::filesystem;

std::string Field(const std::map<std::string, std::string>& form, const std::string& name) {
  auto it = form.find(name);
  return it == form.end() ? std::string() : it->second;
}

std::string XmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// A file of the release folder by the name the agent asks for: as given, or under certs/ or agent/.
bool FindReleaseFile(const Site& site, const std::string& name, fs::path* found) {
  if (name.empty() || name.find("..") != std::string::npos) return false;
  std::string rel = name;
  for (char& c : rel)
    if (c == '\\') c = '/';
  while (!rel.empty() && rel[0] == '/') rel.erase(0, 1);
  std::error_code ec;
  for (const char* dir : {"", "certs/", "agent/"}) {
    fs::path p = fs::path(site.root) / (dir + rel);
    if (fs::is_regular_file(p, ec)) {
      *found = p;
      return true;
    }
  }
  return false;
}

// The answer document: a root with _t and _th and the given children, less the omitted ones.
std::string Answer(const Site& site, const CommandRequest& req,
                   const std::vector<std::pair<std::string, std::string>>& children) {
  const uint64_t t = ServerTime(site);
  qz::qzCryptoUtil util;
  util.SetKeyB(site.serverKey);
  std::string th;
  util.DigestB(&th, 80, t);
  if (req.badStamp) th[0] = th[0] == '0' ? '1' : '0';
  const bool indent = site.indent || req.indent;
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<result _t=\"" + std::to_string(t) + "\" _th=\"" +
                    th + "\">";
  for (const auto& [name, value] : children) {
    bool omitted = false;
    for (const auto& o : req.omit) omitted = omitted || o == name;
    if (omitted) continue;
    if (indent) {
      xml += "\n  <" + name + ">\n    " + XmlEscape(value) + "\n  </" + name + ">";
    } else {
      xml += "<" + name + ">" + XmlEscape(value) + "</" + name + ">";
    }
  }
  return xml + (indent ? "\n" : "") + "</result>\n";
}

std::string Describe(const std::map<std::string, std::string>& form) {
  return "uuid=" + Field(form, "_uuid") + " id=" + Field(form, "id");
}

}  // namespace

Site::Site() : clientKey(64, 'A'), serverKey(64, 'B') {
  // Distinct default keys, so a mix-up of A and B shows.
  for (size_t i = 0; i < 64; ++i) {
    clientKey[i] = "0123456789abcdef"[i % 16];
    serverKey[i] = "fedcba9876543210"[i % 16];
  }
}

bool Site::Set(const std::string& raw, std::string* problem) {
  std::string line = raw.substr(0, raw.find_first_of("\r\n"));
  const size_t first = line.find_first_not_of(" \t");
  if (first == std::string::npos || line[first] == '#') return true;
  const size_t eq = line.find('=');
  if (eq == std::string::npos) {
    *problem = "bad site setting: " + line;
    return false;
  }
  const std::string name = line.substr(first, eq - first), value = line.substr(eq + 1);
  auto num = [&] { return std::stoull(value, nullptr, 0); };
  try {
    if (name.rfind("client.", 0) == 0) clients[name.substr(7)] = static_cast<uint32_t>(num());
    else if (name == "default_client") defaultClient = static_cast<uint32_t>(num());
    else if (name == "client_key") clientKey = value;
    else if (name == "server_key") serverKey = value;
    else if (name == "clock_offset_ms") clockOffsetMs = std::stoll(value);
    else if (name == "stamp_window_ms") stampWindowMs = num();
    else if (name == "build") {
      build = static_cast<uint32_t>(num());
      buildSet = true;
    }
    else if (name == "lang") langType = static_cast<int32_t>(std::stol(value));
    else if (name == "menu") menu = static_cast<uint32_t>(num());
    else if (name == "mir_plc") mirPlc = static_cast<uint32_t>(num());
    else if (name == "mir_plc2") mirPlc2 = static_cast<uint32_t>(num());
    else if (name == "patch_timeout") patchTimeOut = static_cast<uint32_t>(num());
    else if (name == "public_ip") publicIp = value;
    else if (name == "updater") updaterName = value;
    else if (name == "indent") indent = num() != 0;
    else {
      *problem = "unknown site setting: " + name;
      return false;
    }
  } catch (const std::exception&) {
    *problem = "bad value for " + name + ": " + value;
    return false;
  }
  return true;
}

uint32_t Site::CurrentBuild() const {
  if (buildSet) return build;
  // Read at every query, so that publishing a new release needs no restart.
  std::ifstream in(fs::path(root) / "release.txt");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("build=", 0) == 0) {
      try {
        return static_cast<uint32_t>(std::stoul(line.substr(6)));
      } catch (const std::exception&) {
        break;
      }
    }
  }
  return build;
}

uint64_t ServerTime(const Site& site) {
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return static_cast<uint64_t>(now.count() + site.clockOffsetMs);
}

std::string CheckRequestStamp(const Site& site, const std::map<std::string, std::string>& form) {
  const std::string t = Field(form, "_t"), th = Field(form, "_th");
  if (t.empty() || t.find_first_not_of("0123456789") != std::string::npos || t.size() > 20) return "no _t";
  const uint64_t value = std::stoull(t);
  qz::qzCryptoUtil keyed;
  keyed.SetKeyA(site.clientKey);
  std::string expected;
  keyed.DigestA(&expected, 80, value);
  bool match = expected == th;
  if (!match && Field(form, "_c") == "public_ip") {
    qz::qzCryptoUtil plain;
    plain.DigestA(&expected, 80, value);
    match = expected == th;
  }
  if (!match) return "_th does not match _t";
  const uint64_t now = ServerTime(site);
  const uint64_t diff = value > now ? value - now : now - value;
  if (diff > site.stampWindowMs) return "_t " + std::to_string(diff) + " ms off the server's clock";
  return {};
}

void RegisterCommands(CommandTable& table, Site& site, std::mutex& lock) {
  auto clientOf = [&site](const CommandRequest& r) {
    auto it = site.clients.find(Field(r.form, "_uuid"));
    uint32_t id = it == site.clients.end() ? site.defaultClient : it->second;
    return r.hasCid ? r.cid : id;
  };
  table["public_ip"] = [&](const CommandRequest& r) {
    std::lock_guard g(lock);
    CommandAnswer a;
    a.body = Answer(site, r,
                    {{"ip", site.publicIp.empty() ? r.peer : site.publicIp},
                     {"client", site.clientKey},
                     {"server", site.serverKey}});
    return a;
  };
  table["agt_cfg"] = [&, clientOf](const CommandRequest& r) {
    std::lock_guard g(lock);
    CommandAnswer a;
    a.body = Answer(site, r,
                    {{"cid", std::to_string(clientOf(r))},
                     {"langType", std::to_string(site.langType)},
                     {"menu", std::to_string(site.menu)},
                     {"mir_plc", std::to_string(site.mirPlc)},
                     {"mir_plc2", std::to_string(site.mirPlc2)},
                     {"patchTimeOut", std::to_string(site.patchTimeOut)}});
    return a;
  };
  table["agt_ver"] = [&](const CommandRequest& r) {
    std::lock_guard g(lock);
    CommandAnswer a;
    std::string chk(64, '0');
    fs::path updater;
    if (FindReleaseFile(site, site.updaterName, &updater) ||
        FindReleaseFile(site, site.updaterName + ".qz", &updater)) {
      std::ifstream in(updater, std::ios::binary);
      std::ostringstream s;
      s << in.rdbuf();
      chk = qz::HexEncode(qz::DigestMemory(s.str()));
    }
    a.body = Answer(site, r,
                    {{"qzu", site.updaterName}, {"chk", chk}, {"agb", std::to_string(site.CurrentBuild())}, {"upc", "1"}});
    return a;
  };
  table["tmp_web"] = [&](const CommandRequest& r) {
    std::lock_guard g(lock);
    CommandAnswer a;
    a.body = Answer(site, r, {});
    a.notes.push_back("tmp_web " + Describe(r.form) + " ip_p=" + Field(r.form, "ip_p"));
    return a;
  };
  table["chksum"] = [&](const CommandRequest& r) {
    std::lock_guard g(lock);
    CommandAnswer a;
    fs::path file;
    if (!FindReleaseFile(site, Field(r.form, "file"), &file)) {
      a.body = Answer(site, r, {{"error", "no such file: " + Field(r.form, "file")}});
      return a;
    }
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    a.body = Answer(site, r, {{"chksum", qz::HexEncode(qz::DigestMemory(s.str()))}});
    return a;
  };
  table["file_size"] = [&](const CommandRequest& r) {
    std::lock_guard g(lock);
    CommandAnswer a;
    fs::path file;
    std::error_code ec;
    if (!FindReleaseFile(site, Field(r.form, "path"), &file)) {
      a.body = Answer(site, r, {{"error", "no such file: " + Field(r.form, "path")}});
      return a;
    }
    a.body = Answer(site, r, {{"size", std::to_string(fs::file_size(file, ec))}});
    return a;
  };
  table["log"] = [&](const CommandRequest& r) {
    CommandAnswer a;
    a.contentType = "text/plain";
    a.notes.push_back("log " + Describe(r.form) + " server=" + Field(r.form, "server") + " kind=" +
                      Field(r.form, "kind") + " time=" + Field(r.form, "time") + " msg=" + Field(r.form, "msg"));
    return a;
  };
  table["alive"] = [&](const CommandRequest& r) {
    std::lock_guard g(lock);
    CommandAnswer a;
    a.body = Answer(site, r, {});
    a.notes.push_back("alive " + Describe(r.form));
    return a;
  };
}

}  // namespace qzserver
