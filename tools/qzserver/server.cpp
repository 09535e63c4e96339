#include "server.h"

#include <httplib.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <dirent.h>
#include <fnmatch.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "commands.h"

namespace qzserver {

namespace {

namespace fs = std::filesystem;

std::mutex gStopMutex;
std::condition_variable gStopCv;
bool gStopping = false;

// Waits ms or until the server stops.
void Stall(long ms) {
  std::unique_lock lock(gStopMutex);
  gStopCv.wait_for(lock, std::chrono::milliseconds(ms), [] { return gStopping; });
}

// One fault rule: "<selector> <action>..." with the selector "*", a path ("/agent/a.bin", the query
// ignored; '*' and '?' match as in file names, so "/agent/*.qz" is every package) or "#N" (the
// Nth request since start, counting from 1).
struct Rule {
  enum class Select { Any, Path, Number, Command } select = Select::Any;
  std::string path;
  std::string command;  // cmd:NAME: a /CAgentRequest of that `_c`
  bool hasCid = false;
  uint32_t cid = 0;
  std::vector<std::string> omit;
  bool badStamp = false;
  bool indent = false;
  bool empty = false;
  long number = 0;
  int status = 0;
  bool hasErr = false;
  long err = 0;
  bool hasReply = false;
  std::string reply;
  long truncate = -1;
  long extra = 0;  // bytes served after a file's own, announced as part of it
  long stall = 0;
  bool drop = false;
};

bool ParseRule(const std::string& line, Rule* rule, std::string* problem) {
  std::istringstream in(line);
  std::string sel;
  if (!(in >> sel)) return false;
  if (sel == "*") {
    rule->select = Rule::Select::Any;
  } else if (sel[0] == '#') {
    rule->select = Rule::Select::Number;
    rule->number = std::atol(sel.c_str() + 1);
  } else if (sel.rfind("cmd:", 0) == 0) {
    rule->select = Rule::Select::Command;
    rule->command = sel.substr(4);
  } else if (sel[0] == '/') {
    rule->select = Rule::Select::Path;
    rule->path = sel;
  } else {
    *problem = "bad selector: " + sel;
    return false;
  }
  std::string word;
  while (in >> word) {
    size_t eq = word.find('=');
    std::string name = word.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
    if (name == "status") {
      rule->status = std::atoi(value.c_str());
    } else if (name == "err") {
      rule->hasErr = true;
      rule->err = std::atol(value.c_str());
    } else if (name == "reply") {
      // The rest of the line, spaces included.
      std::string rest;
      std::getline(in, rest);
      rule->hasReply = true;
      rule->reply = value + rest;
    } else if (name == "reply-size") {
      rule->hasReply = true;
      rule->reply.assign(static_cast<size_t>(std::atol(value.c_str())), 'x');
    } else if (name == "truncate") {
      rule->truncate = std::atol(value.c_str());
    } else if (name == "extra") {
      rule->extra = std::atol(value.c_str());
    } else if (name == "stall") {
      rule->stall = std::atol(value.c_str());
    } else if (name == "cid") {
      rule->hasCid = true;
      rule->cid = static_cast<uint32_t>(std::stoul(value.empty() ? "0" : value, nullptr, 0));
    } else if (name == "omit") {
      rule->omit.push_back(value);
    } else if (name == "bad-th") {
      rule->badStamp = true;
    } else if (name == "indent") {
      rule->indent = true;
    } else if (name == "empty") {
      rule->empty = true;
    } else if (name == "drop") {
      rule->drop = true;
    } else {
      *problem = "bad action: " + word;
      return false;
    }
  }
  return true;
}

std::vector<Rule> ParseRules(const std::vector<std::string>& lines) {
  std::vector<Rule> rules;
  for (const auto& raw : lines) {
    std::string line = raw.substr(0, raw.find_first_of("\r\n"));
    const size_t first = line.find_first_not_of(" \t");
    // "#" then a digit selects a request; "#" then anything else starts a comment.
    if (first == std::string::npos ||
        (line[first] == '#' && !(first + 1 < line.size() && std::isdigit(static_cast<unsigned char>(line[first + 1])))))
      continue;
    Rule r;
    std::string problem;
    if (ParseRule(line, &r, &problem)) {
      rules.push_back(r);
    } else if (!problem.empty()) {
      std::fprintf(stderr, "qzserver: %s\n", problem.c_str());
    }
  }
  return rules;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string UrlDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::map<std::string, std::string> ParseForm(const std::string& body) {
  std::map<std::string, std::string> form;
  size_t pos = 0;
  while (pos <= body.size()) {
    size_t amp = body.find('&', pos);
    if (amp == std::string::npos) amp = body.size();
    std::string pair = body.substr(pos, amp - pos);
    size_t eq = pair.find('=');
    if (!pair.empty()) form[UrlDecode(pair.substr(0, eq))] = eq == std::string::npos ? "" : UrlDecode(pair.substr(eq + 1));
    pos = amp + 1;
  }
  return form;
}

// A name inside the release or upload folder: no parent steps, no absolute or backslash forms.
bool SafeRelative(const std::string& rel) {
  if (rel.empty() || rel[0] == '/' || rel.find('\\') != std::string::npos || rel.find('\0') != std::string::npos)
    return false;
  for (const auto& part : fs::path(rel)) {
    if (part == "..") return false;
  }
  return true;
}

struct Part {
  std::string name, filename, content;
};

std::string DispositionField(const std::string& headers, const std::string& field) {
  std::string key = field + "=\"";
  size_t p = headers.find(key);
  if (p == std::string::npos) return {};
  p += key.size();
  size_t e = headers.find('"', p);
  return e == std::string::npos ? std::string() : headers.substr(p, e - p);
}

// Splits a multipart body; text before the first boundary (a preamble) is skipped, as MIME says.
std::vector<Part> ParseMultipart(const std::string& contentType, const std::string& body) {
  std::vector<Part> parts;
  size_t b = contentType.find("boundary=");
  if (b == std::string::npos) return parts;
  std::string boundary = contentType.substr(b + 9);
  if (!boundary.empty() && boundary[0] == '"') boundary = boundary.substr(1, boundary.find('"', 1) - 1);
  boundary = boundary.substr(0, boundary.find(';'));
  const std::string delim = "--" + boundary;
  size_t pos = body.find(delim);
  while (pos != std::string::npos) {
    pos += delim.size();
    if (body.compare(pos, 2, "--") == 0) break;
    if (body.compare(pos, 2, "\r\n") == 0) pos += 2;
    size_t headEnd = body.find("\r\n\r\n", pos);
    if (headEnd == std::string::npos) break;
    std::string head = body.substr(pos, headEnd - pos);
    size_t start = headEnd + 4;
    size_t next = body.find("\r\n" + delim, start);
    if (next == std::string::npos) break;
    parts.push_back({DispositionField(head, "name"), DispositionField(head, "filename"), body.substr(start, next - start)});
    pos = next + 2;
  }
  return parts;
}

// What a Range header asks of a file of `size` bytes. Only one range of the unit "bytes" is
// served; a header that is malformed, names another unit or several ranges is ignored (the whole
// file, 200), which HTTP allows and keeps a confused client working.
struct ByteRange {
  enum class Kind { None, Ignored, Partial, Unsatisfiable } kind = Kind::None;
  uint64_t first = 0, last = 0;
  std::string why;  // for an ignored header
};

bool ParseOffset(const std::string& digits, uint64_t* out) {
  if (digits.empty() || digits.size() > 19 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  *out = std::stoull(digits);
  return true;
}

ByteRange ParseRange(const std::string& header, uint64_t size) {
  ByteRange r;
  if (header.empty()) return r;
  r.kind = ByteRange::Kind::Ignored;
  if (header.rfind("bytes=", 0) != 0) {
    r.why = "not a bytes range";
    return r;
  }
  const std::string bounds = header.substr(6);
  if (bounds.find(',') != std::string::npos) {
    r.why = "several ranges";
    return r;
  }
  r.why = "malformed";
  const size_t dash = bounds.find('-');
  if (dash == std::string::npos) return r;
  const std::string a = bounds.substr(0, dash), b = bounds.substr(dash + 1);
  uint64_t first = 0, last = 0;
  if (a.empty()) {
    // "-n": the last n bytes.
    if (!ParseOffset(b, &last)) return r;
    r.kind = last == 0 || size == 0 ? ByteRange::Kind::Unsatisfiable : ByteRange::Kind::Partial;
    r.first = last >= size ? 0 : size - last;
    r.last = size ? size - 1 : 0;
    return r;
  }
  if (!ParseOffset(a, &first) || (!b.empty() && !ParseOffset(b, &last))) return r;
  if (!b.empty() && last < first) return r;
  if (first >= size) {
    r.kind = ByteRange::Kind::Unsatisfiable;
    return r;
  }
  r.kind = ByteRange::Kind::Partial;
  r.first = first;
  r.last = b.empty() ? size - 1 : std::min<uint64_t>(last, size - 1);
  return r;
}

// The connection of a request, found among our sockets by its two ports; -1 when gone.
int FindSocket(int localPort, int remotePort) {
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  int found = -1;
  while (dirent* e = readdir(d)) {
    int fd = std::atoi(e->d_name);
    if (fd <= 2) continue;
    sockaddr_storage a{}, b{};
    socklen_t la = sizeof a, lb = sizeof b;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &la) != 0 || a.ss_family != AF_INET) continue;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&b), &lb) != 0) continue;
    if (ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port) == localPort &&
        ntohs(reinterpret_cast<sockaddr_in*>(&b)->sin_port) == remotePort) {
      found = fd;
      break;
    }
  }
  closedir(d);
  return found;
}

class Server {
 public:
  explicit Server(const Options& o) : o_(o) {
    site_.root = o_.root;
    RegisterCommands(commands_, site_, siteMutex_);
  }

  // Takes the site settings and opens the journal; false (with every problem printed) when the
  // server cannot run as asked.
  bool Configure() {
    bool ok = true;
    for (const auto& line : o_.site) {
      std::string problem;
      if (!site_.Set(line, &problem)) {
        std::fprintf(stderr, "qzserver: %s\n", problem.c_str());
        ok = false;
      }
    }
    std::error_code ec;
    // Uploads into a folder that is not there would be answered OK and lost.
    if (!o_.uploads.empty() && (!fs::is_directory(o_.uploads, ec) || ::access(o_.uploads.c_str(), W_OK) != 0)) {
      std::fprintf(stderr, "qzserver: the uploads folder %s does not exist or cannot be written\n", o_.uploads.c_str());
      ok = false;
    }
    if (ok && !o_.journal.empty()) {
      journal_ = std::fopen(o_.journal.c_str(), "ab");
      if (!journal_) {
        std::fprintf(stderr, "qzserver: cannot open the journal %s\n", o_.journal.c_str());
        ok = false;
      }
    }
    return ok;
  }
  ~Server() {
    if (journal_) std::fclose(journal_);
  }

  void Install(httplib::Server& svr, bool tls) {
    svr.new_task_queue = [] { return new httplib::ThreadPool(16); };
    // Head and body go out in separate writes; with Nagle on, each answer waits for a delayed ACK.
    svr.set_tcp_nodelay(true);
    svr.Get(".*", [this, tls](const httplib::Request& req, httplib::Response& res) { Route(req, res, "", tls); });
    svr.Post(".*", [this, tls](const httplib::Request& req, httplib::Response& res,
                               const httplib::ContentReader& reader) {
      // The journal wants the raw bytes, which the library only hands out for non-multipart bodies:
      // hide the multipart type while reading, then put it back.
      auto& headers = const_cast<httplib::Request&>(req).headers;
      auto type = headers.find("Content-Type");
      std::string saved;
      if (type != headers.end()) {
        saved = type->second;
        type->second = "application/octet-stream";
      }
      std::string body;
      reader([&](const char* data, size_t len) {
        body.append(data, len);
        return true;
      });
      if (type != headers.end()) type->second = saved;
      Route(req, res, body, tls);
    });
    // The library answers a Range header it cannot parse with a bare 416 before any route runs;
    // such a request is served here as if it had no Range (journalled and counted like any other).
    svr.set_error_handler(httplib::Server::HandlerWithResponse([this, tls](const httplib::Request& req,
                                                                           httplib::Response& res) {
      if (res.has_header(kAnswered)) {
        res.headers.erase(kAnswered);
        return httplib::Server::HandlerResponse::Unhandled;
      }
      if (res.status != 416 || !req.has_header("Range")) return httplib::Server::HandlerResponse::Unhandled;
      res.headers.clear();
      Handle(req, res, "", tls);
      return httplib::Server::HandlerResponse::Handled;
    }));
  }

 private:
  std::vector<Rule> CurrentRules() {
    std::vector<std::string> lines = o_.faults;
    if (!o_.faultsFile.empty()) {
      std::istringstream in(ReadWholeFile(o_.faultsFile));
      for (std::string line; std::getline(in, line);) lines.push_back(line);
    }
    return ParseRules(lines);
  }

  // Marks an error answer of ours, so the error handler leaves it as it is.
  static constexpr const char* kAnswered = "X-Qzserver-Answered";

  void Route(const httplib::Request& req, httplib::Response& res, const std::string& body, bool tls) {
    Handle(req, res, body, tls);
    if (res.status >= 400) res.set_header(kAnswered, "1");
  }

  void Handle(const httplib::Request& req, httplib::Response& res, const std::string& body, bool tls) {
    const long number = ++counter_;
    // Ranges are answered here; the library must not cut the answer a second time.
    const std::string range = req.get_header_value("Range");
    const_cast<httplib::Request&>(req).ranges.clear();

    const bool agentRequest = req.method == "POST" && req.path == "/CAgentRequest";
    std::map<std::string, std::string> form;
    if (agentRequest) form = ParseForm(body);
    const Rule* rule = nullptr;
    std::vector<Rule> rules = CurrentRules();
    for (const auto& r : rules) {
      if (r.select == Rule::Select::Any || (r.select == Rule::Select::Number && r.number == number) ||
          (r.select == Rule::Select::Path && fnmatch(r.path.c_str(), req.path.c_str(), 0) == 0) ||
          (r.select == Rule::Select::Command && agentRequest && form["_c"] == r.command)) {
        rule = &r;
        break;
      }
    }
    long truncate = -1;
    long extra = 0;
    if (rule) {
      if (rule->stall > 0) Stall(rule->stall);
      if (rule->drop) {
        Record(number, req, body, tls, 0);
        int fd = FindSocket(req.local_port, req.remote_port);
        if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
        res.status = 500;
        return;
      }
      if (rule->status || rule->hasErr || rule->hasReply) {
        res.status = rule->status ? rule->status : 200;
        std::string text = rule->hasErr ? "_err=" + std::to_string(rule->err)
                                        : rule->hasReply ? rule->reply : "status " + std::to_string(res.status);
        Record(number, req, body, tls, res.status);
        SendText(res, text, rule->truncate);
        return;
      }
      truncate = rule->truncate;
      extra = rule->extra;
    }

    const std::string& path = req.path;
    if ((req.method == "GET" || req.method == "POST" || req.method == "HEAD") &&
        (path.rfind("/certs/", 0) == 0 || path.rfind("/agent/", 0) == 0)) {
      ServeFile(number, req, res, body, tls, range, truncate, extra);
      return;
    }
    if (agentRequest) {
      CommandRequest cr;
      cr.body = body;
      cr.form = form;
      cr.peer = req.remote_addr;
      if (rule) {
        cr.hasCid = rule->hasCid;
        cr.cid = rule->cid;
        cr.omit = rule->omit;
        cr.badStamp = rule->badStamp;
        cr.indent = rule->indent;
      }
      auto it = commands_.find(cr.form["_c"]);
      if (it == commands_.end()) {
        res.status = 400;
        Record(number, req, body, tls, res.status);
        SendText(res, "unknown command", truncate);
        return;
      }
      std::string refused;
      {
        std::lock_guard lock(siteMutex_);
        refused = CheckRequestStamp(site_, form);
      }
      if (!refused.empty()) {
        // A stale or forged stamp: the agent is to bind its session again.
        res.status = 200;
        const bool stale = refused.find("off the server's clock") != std::string::npos;
        Record(number, req, body, tls, res.status, {"Qz-Stamp: refused (" + refused + ")"});
        SendText(res, stale ? "_err=-1007" : "_err=-1003", truncate);
        return;
      }
      CommandAnswer a = it->second(cr);
      if (rule && rule->empty) a.body.clear();
      res.status = a.status;
      std::vector<std::string> notes = {"Qz-Stamp: valid"};
      for (const auto& n : a.notes) {
        notes.push_back("Qz-Note: " + n);
        std::fprintf(stdout, "%s\n", n.c_str());
      }
      std::fflush(stdout);
      Record(number, req, body, tls, res.status, notes);
      SendText(res, a.body, truncate, a.contentType);
      return;
    }
    if (req.method == "POST" && req.get_header_value("Content-Type").rfind("multipart/form-data", 0) == 0) {
      std::string problem;
      const bool saved = SaveUpload(req, body, &problem);
      res.status = saved ? 200 : 500;
      Record(number, req, body, tls, res.status, saved ? std::vector<std::string>{} : std::vector<std::string>{"Qz-Note: " + problem});
      SendText(res, saved ? "OK" : problem, truncate);
      return;
    }
    res.status = 404;
    Record(number, req, body, tls, res.status);
    SendText(res, "not found", truncate);
  }

  // A text answer, optionally cut after `truncate` bytes of a body announced whole.
  static void SendText(httplib::Response& res, const std::string& text, long truncate,
                       const std::string& type = "text/plain") {
    if (truncate < 0 || static_cast<size_t>(truncate) >= text.size()) {
      res.set_content(text, type.c_str());
      return;
    }
    auto data = std::make_shared<std::string>(text);
    const size_t cut = static_cast<size_t>(truncate);
    res.set_content_provider(data->size(), type, [data, cut](size_t offset, size_t, httplib::DataSink& sink) {
      if (offset < cut) sink.write(data->data() + offset, cut - offset);
      return false;  // ends the connection short of the announced length
    });
  }

  void ServeFile(long number, const httplib::Request& req, httplib::Response& res, const std::string& body,
                 bool tls, const std::string& range, long truncate, long extra) {
    const std::string rel = UrlDecode(req.path.substr(1));
    std::error_code ec;
    const fs::path file = fs::path(o_.root) / rel;
    if (!SafeRelative(rel) || !fs::is_regular_file(file, ec)) {
      res.status = 404;
      Record(number, req, body, tls, res.status);
      SendText(res, "not found", truncate);
      return;
    }
    const uint64_t size = fs::file_size(file, ec);
    const ByteRange asked = ParseRange(range, size);
    if (asked.kind == ByteRange::Kind::Unsatisfiable) {
      res.status = 416;
      res.set_header("Content-Range", "bytes */" + std::to_string(size));
      Record(number, req, body, tls, res.status);
      return;
    }
    const bool partial = asked.kind == ByteRange::Kind::Partial;
    const uint64_t first = partial ? asked.first : 0;
    const uint64_t last = partial ? asked.last : (size ? size - 1 : 0);
    std::vector<std::string> notes;
    if (asked.kind == ByteRange::Kind::Ignored) notes.push_back("Qz-Range: ignored (" + asked.why + ")");
    res.status = partial ? 206 : 200;
    if (partial)
      res.set_header("Content-Range",
                     "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size));
    res.set_header("Accept-Ranges", "bytes");
    Record(number, req, body, tls, res.status, notes);
    const uint64_t fileLength = size ? last - first + 1 : 0;
    // `extra`: a body longer than the file the size queries name, of bytes 'X' after the file's.
    const uint64_t length = fileLength + static_cast<uint64_t>(std::max(extra, 0L));
    auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
    const uint64_t cut = truncate < 0 ? length : std::min<uint64_t>(length, static_cast<uint64_t>(truncate));
    res.set_content_provider(
        length, "application/octet-stream",
        [in, first, cut, fileLength](size_t offset, size_t len, httplib::DataSink& sink) {
          if (offset >= cut) return false;
          std::vector<char> buf(std::min<size_t>({len, 64 * 1024, cut - offset}));
          if (offset >= fileLength) {
            std::fill(buf.begin(), buf.end(), 'X');
            return sink.write(buf.data(), buf.size());
          }
          buf.resize(std::min<uint64_t>(buf.size(), fileLength - offset));
          in->seekg(static_cast<std::streamoff>(first + offset));
          in->read(buf.data(), static_cast<std::streamsize>(buf.size()));
          if (in->gcount() <= 0) return false;
          return sink.write(buf.data(), static_cast<size_t>(in->gcount()));
        });
  }

  // False (with why) when a file of the upload could not be written.
  bool SaveUpload(const httplib::Request& req, const std::string& body, std::string* problem) {
    if (o_.uploads.empty()) return true;
    for (const auto& part : ParseMultipart(req.get_header_value("Content-Type"), body)) {
      if (part.filename.empty()) continue;
      std::string name = fs::path(part.filename).filename().string();
      if (!SafeRelative(name) || name == ".") continue;
      std::ofstream out(fs::path(o_.uploads) / name, std::ios::binary | std::ios::trunc);
      out.write(part.content.data(), static_cast<std::streamsize>(part.content.size()));
      out.close();
      if (!out) {
        *problem = "upload not saved: " + name;
        return false;
      }
    }
    return true;
  }

  // One journal entry: a line of fields, the header lines, an empty line, the body bytes, a newline.
  // notes: the server's own readable lines, written among the header lines.
  void Record(long number, const httplib::Request& req, const std::string& body, bool tls, int status,
              const std::vector<std::string>& notes = {}) {
    if (!journal_) return;
    std::string tlsVersion = "none";
    if (tls && req.ssl) tlsVersion = SSL_get_version(req.ssl);
    std::string entry = "REQ n=" + std::to_string(number) + " method=" + req.method + " path=" + req.target +
                        " status=" + std::to_string(status) + " tls=" + tlsVersion +
                        " body=" + std::to_string(body.size()) + "\n";
    for (const auto& [name, value] : req.headers) {
      if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT") continue;
      entry += name + ": " + value + "\n";
    }
    for (const auto& n : notes) entry += n + "\n";
    entry += "\n";
    entry += body;
    entry += "\n";
    std::lock_guard lock(journalMutex_);
    std::fwrite(entry.data(), 1, entry.size(), journal_);
    std::fflush(journal_);
  }

  const Options& o_;
  CommandTable commands_;
  Site site_;
  std::mutex siteMutex_;
  std::atomic<long> counter_{0};
  std::mutex journalMutex_;
  FILE* journal_ = nullptr;
};

int TlsVersion(const std::string& v) {
  if (v == "1.2") return TLS1_2_VERSION;
  if (v == "1.3") return TLS1_3_VERSION;
  return 0;
}

}  // namespace

int Run(const Options& o) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Server server(o);
  if (!server.Configure()) return 2;
  std::unique_ptr<httplib::SSLServer> https;
  std::unique_ptr<httplib::Server> http;
  std::string ports;
  if (o.httpsPort >= 0) {
    if (o.cert.empty() || o.key.empty()) {
      std::fprintf(stderr, "qzserver: HTTPS needs --cert and --key\n");
      return 2;
    }
    https = std::make_unique<httplib::SSLServer>(o.cert.c_str(), o.key.c_str());
    if (!https->is_valid()) {
      std::fprintf(stderr, "qzserver: cannot load the certificate or key\n");
      return 1;
    }
    if (int v = TlsVersion(o.tlsMin)) SSL_CTX_set_min_proto_version(https->ssl_context(), v);
    if (int v = TlsVersion(o.tlsMax)) SSL_CTX_set_max_proto_version(https->ssl_context(), v);
    server.Install(*https, true);
    int port = o.httpsPort == 0 ? https->bind_to_any_port("127.0.0.1")
                                : (https->bind_to_port("127.0.0.1", o.httpsPort) ? o.httpsPort : -1);
    if (port <= 0) {
      std::fprintf(stderr, "qzserver: cannot listen for HTTPS\n");
      return 1;
    }
    ports += "https=" + std::to_string(port) + "\n";
  }
  if (o.httpPort >= 0) {
    http = std::make_unique<httplib::Server>();
    server.Install(*http, false);
    int port = o.httpPort == 0 ? http->bind_to_any_port("127.0.0.1")
                               : (http->bind_to_port("127.0.0.1", o.httpPort) ? o.httpPort : -1);
    if (port <= 0) {
      std::fprintf(stderr, "qzserver: cannot listen for HTTP\n");
      return 1;
    }
    ports += "http=" + std::to_string(port) + "\n";
  }
  std::thread t1, t2;
  if (https) t1 = std::thread([&] { https->listen_after_bind(); });
  if (http) t2 = std::thread([&] { http->listen_after_bind(); });
  std::fputs(ports.c_str(), stdout);
  std::fflush(stdout);
  if (!o.portFile.empty()) {
    // Written whole under another name first, so a reader never sees half of it.
    std::string tmp = o.portFile + ".tmp";
    std::ofstream(tmp) << ports;
    std::rename(tmp.c_str(), o.portFile.c_str());
  }
  int sig = 0;
  sigwait(&set, &sig);
  {
    std::lock_guard lock(gStopMutex);
    gStopping = true;
  }
  gStopCv.notify_all();
  if (https) https->stop();
  if (http) http->stop();
  if (t1.joinable()) t1.join();
  if (t2.joinable()) t2.join();
  return 0;
}

}  // namespace qzserver
