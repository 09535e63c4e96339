#include "commands.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
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

namespace {

// A whole decimal number, or hexadecimal after "0x"; nothing else, and at most max.
bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* out) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.size() > 20) return false;
  uint64_t v = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    const uint64_t base = hex ? 16 : 10;
    if (v > (max - static_cast<uint64_t>(d)) / base) return false;
    v = v * base + static_cast<uint64_t>(d);
  }
  *out = v;
  return true;
}

bool ParseSigned(const std::string& text, int64_t min, int64_t max, int64_t* out) {
  const bool negative = !text.empty() && text[0] == '-';
  uint64_t magnitude = 0;
  const uint64_t limit = negative ? static_cast<uint64_t>(-(min + 1)) + 1 : static_cast<uint64_t>(max);
  if (!ParseUnsigned(negative ? text.substr(1) : text, limit, &magnitude)) return false;
  *out = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

bool IsIpv4(const std::string& text) {
  int parts = 0;
  size_t at = 0;
  while (at <= text.size()) {
    const size_t dot = std::min(text.find('.', at), text.size());
    uint64_t v = 0;
    const std::string part = text.substr(at, dot - at);
    if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos ||
        !ParseUnsigned(part, 255, &v))
      return false;
    ++parts;
    at = dot + 1;
  }
  return parts == 4;
}

}  // namespace

bool Site::Set(const std::string& raw, std::string* problem) {
  std::string line = raw.substr(0, raw.find_first_of("\r\n"));
  const size_t first = line.find_first_not_of(" \t");
  if (first == std::string::npos || line[first] == '#') return true;
  const size_t eq = line.find('=');
  if (eq == std::string::npos) {
    *problem = "bad site setting (NAME=VALUE expected): " + line;
    return false;
  }
  const std::string name = line.substr(first, eq - first), value = line.substr(eq + 1);
  // Every value is checked whole: a setting the server cannot honour stops it at start.
  auto bad = [&](const std::string& expected) {
    *problem = "bad value for " + name + ": '" + value + "' (" + expected + ")";
    return false;
  };
  uint64_t u = 0;
  auto u32 = [&](uint32_t* field, uint64_t min = 0) {
    if (!ParseUnsigned(value, 0xFFFFFFFFu, &u) || u < min)
      return bad(min ? "a number " + std::to_string(min) + "-4294967295" : "a number 0-4294967295");
    *field = static_cast<uint32_t>(u);
    return true;
  };
  auto key = [&](std::string* field) {
    if (value.size() != 64 || std::any_of(value.begin(), value.end(), [](char c) { return c <= ' ' || c > '~'; }))
      return bad("64 printable characters");
    *field = value;
    return true;
  };
  if (name.rfind("client.", 0) == 0) {
    if (name.size() == 7) return bad("client.<GUID>=ID");
    uint32_t id = 0;
    if (!u32(&id)) return false;
    clients[name.substr(7)] = id;
    return true;
  }
  if (name == "default_client") return u32(&defaultClient);
  if (name == "client_key") return key(&clientKey);
  if (name == "server_key") return key(&serverKey);
  if (name == "clock_offset_ms") {
    int64_t v = 0;
    if (!ParseSigned(value, -(int64_t{1} << 53), int64_t{1} << 53, &v)) return bad("milliseconds, may be negative");
    clockOffsetMs = v;
    return true;
  }
  if (name == "stamp_window_ms") {
    if (!ParseUnsigned(value, uint64_t{1} << 53, &u)) return bad("milliseconds");
    stampWindowMs = u;
    return true;
  }
  if (name == "build") {
    if (!u32(&build)) return false;
    buildSet = true;
    return true;
  }
  if (name == "lang") {
    int64_t v = 0;
    if (!ParseSigned(value, INT32_MIN, INT32_MAX, &v)) return bad("a 32-bit number");
    langType = static_cast<int32_t>(v);
    return true;
  }
  if (name == "menu") return u32(&menu);
  if (name == "mir_plc") return u32(&mirPlc);
  if (name == "mir_plc2") return u32(&mirPlc2);
  if (name == "patch_timeout") return u32(&patchTimeOut);
  if (name == "public_ip") {
    if (!IsIpv4(value)) return bad("an IPv4 address a.b.c.d");
    publicIp = value;
    return true;
  }
  if (name == "updater") {
    if (value.empty() || value == "." || value == ".." || value.find_first_of("/\\:*?\"<>|") != std::string::npos)
      return bad("a plain file name");
    updaterName = value;
    return true;
  }
  if (name == "indent") {
    if (value != "0" && value != "1") return bad("0 or 1");
    indent = value == "1";
    return true;
  }
  *problem = "unknown site setting: " + name;
  return false;
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
