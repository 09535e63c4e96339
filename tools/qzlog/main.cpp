// qzlog: turns the updater's encrypted log files back into text. See Usage() and README
// ("Reading the agent's log").
//
// PATH is a log file or a log folder; a folder gives every day's files in date order, each day's
// rotated files oldest first (name.N ... name.0, then name). With a folder or several files each
// file starts with a line "=== YYYY-MM-DD PATH ===". A file that ends inside a line (a record cut
// short, or a line whose end was never written) has that line ended there, so the next file never
// continues it; a cut-off record is marked in the text as well as reported on standard error.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "logging/enc_logger.h"

namespace fs = std::filesystem;

namespace {

constexpr auto kFollowInterval = std::chrono::milliseconds(250);
// How much of a file is looked at before anything of it is printed, to tell a log from other data.
constexpr size_t kProbeBytes = 1 << 16;

enum Status { kClean = 0, kDamaged = 1, kFailed = 2 };

struct LogName {
  std::string prefix;
  std::string date;
  int rotation = -1;  // -1: the day's current file
};

// "<prefix>-YYYYMMDD.log" or "<prefix>-YYYYMMDD.log.N".
std::optional<LogName> ParseName(const std::string& name) {
  size_t logAt = name.rfind(".log");
  if (logAt == std::string::npos) return std::nullopt;
  LogName n;
  std::string tail = name.substr(logAt + 4);
  if (!tail.empty()) {
    if (tail[0] != '.' || tail.size() < 2 || tail.size() > 10 ||
        !std::all_of(tail.begin() + 1, tail.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return std::nullopt;
    n.rotation = std::stoi(tail.substr(1));
  }
  if (logAt < 9 || name[logAt - 9] != '-') return std::nullopt;
  n.date = name.substr(logAt - 8, 8);
  if (!std::all_of(n.date.begin(), n.date.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
  n.prefix = name.substr(0, logAt - 9);
  return n;
}

std::vector<fs::path> FolderFiles(const fs::path& folder, bool noteOthers) {
  std::vector<std::pair<LogName, fs::path>> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    if (!entry.is_regular_file()) continue;
    if (auto n = ParseName(entry.path().filename().string())) {
      found.emplace_back(*n, entry.path());
    } else if (noteOthers) {
      std::fprintf(stderr, "qzlog: %s: skipped, not named like a log file (PREFIX-YYYYMMDD.log[.N])\n",
                   entry.path().string().c_str());
    }
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
    if (a.first.prefix != b.first.prefix) return a.first.prefix < b.first.prefix;
    if (a.first.date != b.first.date) return a.first.date < b.first.date;
    // Higher rotation numbers are older; the current file (-1) comes last.
    auto order = [](int r) { return r < 0 ? -1 : r; };
    return order(a.first.rotation) > order(b.first.rotation);
  });
  std::vector<fs::path> out;
  for (auto& f : found) out.push_back(f.second);
  return out;
}

// The day a file holds: from its name, else the local date it was last written. YYYYMMDD.
std::string FileDate(const fs::path& path) {
  if (auto n = ParseName(path.filename().string())) return n->date;
  std::error_code ec;
  const auto written = fs::last_write_time(path, ec);
  if (ec) return {};
  const std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::file_clock::to_sys(written));
  std::tm local{};
  localtime_r(&t, &local);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  return buf;
}

// "YYYY-MM-DD", "YYYYMMDD", either followed by " HH:MM[:SS]" or "THH:MM[:SS]", as a sortable
// YYYYMMDDhhmmss. Missing parts are the start of the period (since) or its end (until).
std::optional<std::string> ParseMoment(const std::string& text, bool endOfPeriod) {
  std::string digits;
  size_t i = 0;
  auto take = [&](size_t n) {
    for (size_t k = 0; k < n; ++k, ++i) {
      if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
      digits += text[i];
    }
    return true;
  };
  auto sep = [&](char c) {
    if (i < text.size() && text[i] == c) {
      ++i;
      return true;
    }
    return false;
  };
  if (!take(4)) return std::nullopt;
  const bool dashed = sep('-');
  if (!take(2) || (dashed && !sep('-')) || !take(2)) return std::nullopt;
  std::string rest = endOfPeriod ? "235959" : "000000";
  if (i < text.size()) {
    if (!sep(' ') && !sep('T')) return std::nullopt;
    if (!take(2) || !sep(':') || !take(2)) return std::nullopt;
    rest = endOfPeriod ? "59" : "00";
    if (sep(':')) {
      if (!take(2)) return std::nullopt;
      rest.clear();
    }
    if (i != text.size()) return std::nullopt;
  }
  digits += rest;
  auto field = [&](size_t at) { return std::stoi(digits.substr(at, 2)); };
  if (field(4) < 1 || field(4) > 12 || field(6) < 1 || field(6) > 31 || field(8) > 23 || field(10) > 59 ||
      field(12) > 59)
    return std::nullopt;
  return digits;
}

bool ContainsNoCase(std::string_view hay, std::string_view needle) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end(),
                     [&](char a, char b) { return lower(a) == lower(b); }) != hay.end();
}

// Control characters (other than TAB and the line end) and bytes that are not UTF-8 are written
// as \xNN, so nothing in a log can drive the terminal.
std::string Printable(std::string_view line) {
  std::string out;
  auto escape = [&](unsigned char c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02X", c);
    out += buf;
  };
  for (size_t i = 0; i < line.size();) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c == '\t' || c == '\n' || (c == '\r' && i + 1 < line.size() && line[i + 1] == '\n') ||
        (c >= 0x20 && c < 0x7F)) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    if (c >= 0xF5) n = 0;
    uint32_t cp = n == 4 ? c & 0x07u : n == 3 ? c & 0x0Fu : c & 0x1Fu;
    bool ok = n > 0 && i + n <= line.size();
    for (size_t k = 1; ok && k < n; ++k) {
      const auto d = static_cast<unsigned char>(line[i + k]);
      ok = (d & 0xC0) == 0x80;
      cp = cp << 6 | (d & 0x3Fu);
    }
    // Overlong forms, surrogates, beyond U+10FFFF and the C1 controls are not passed on.
    ok = ok && !(n == 3 && cp < 0x800) && !(n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) &&
         !(cp >= 0xD800 && cp <= 0xDFFF) && !(cp >= 0x80 && cp <= 0x9F);
    if (ok) {
      out.append(line.substr(i, n));
      i += n;
    } else {
      escape(c);
      ++i;
    }
  }
  return out;
}

struct Filter {
  int level = -1;                       // keep header lines of this level and above
  std::optional<std::string> since, until;  // YYYYMMDDhhmmss, both ends included
  std::string grep;                     // keep entries whose text holds this (ASCII case ignored)
  bool any() const { return level >= 0 || since || until || !grep.empty(); }
  bool DateInRange(const std::string& date) const {
    return date.empty() || ((!since || date >= since->substr(0, 8)) && (!until || date <= until->substr(0, 8)));
  }
};

// Splits the text into lines and keeps whole entries (a header line with the lines that follow
// it) that pass the filter; prints a file's header line before its first printed line.
class Printer {
 public:
  Printer(Filter filter, bool fileHeaders) : filter_(std::move(filter)), fileHeaders_(fileHeaders) {}

  void BeginFile(const fs::path& path) {
    date_ = FileDate(path);
    pendingHeader_.clear();
    if (fileHeaders_) {
      const std::string shown =
          date_.size() == 8 ? date_.substr(0, 4) + "-" + date_.substr(4, 2) + "-" + date_.substr(6, 2) : "date unknown";
      pendingHeader_ = "=== " + shown + " " + path.string() + " ===\r\n";
      // Without a filter every file shows, even an empty one; with one, only files with lines kept.
      if (!filter_.any()) Emit({});
    }
  }

  void Text(const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
      const size_t lf = text.find('\n', at);
      if (lf == std::string::npos) {
        partial_.append(text, at, std::string::npos);
        break;
      }
      partial_.append(text, at, lf + 1 - at);
      Line(partial_);
      partial_.clear();
      at = lf + 1;
    }
  }

  // The file has ended (or is being left): its last line is ended here, with the mark of a record
  // cut short when there is one.
  void EndFile(const std::string& mark) {
    if (!partial_.empty() || !mark.empty()) {
      std::string line = partial_;
      if (!mark.empty()) line += (line.empty() || line.back() == ' ' ? "" : " ") + mark;
      partial_.clear();
      Line(line + "\r\n");
    }
    if (state_ == State::Undecided) {
      buffered_.clear();
      state_ = State::Drop;
    }
    std::fflush(stdout);
  }

  // Makes what is complete visible (following a growing file).
  void Flush() { std::fflush(stdout); }

 private:
  enum class State { None, Keep, Drop, Undecided };

  static bool HeaderLine(const std::string& line, int* level, std::string* time) {
    if (line.size() < 17 || line[0] != '[' || line[8] != ']') return false;
    *level = qz::LogLevelFromName(std::string_view(line).substr(1, 7));
    if (*level < 0) return false;
    time->clear();
    const std::string t = line.substr(9, 8);
    if (t.size() == 8 && t[2] == ':' && t[5] == ':') *time = t.substr(0, 2) + t.substr(3, 2) + t.substr(6, 2);
    return true;
  }

  void Line(const std::string& line) {
    int level = 0;
    std::string time;
    if (HeaderLine(line, &level, &time)) {
      if (state_ == State::Undecided) buffered_.clear();
      bool pass = filter_.level < 0 || level >= filter_.level;
      if (pass && (filter_.since || filter_.until)) {
        if (time.size() == 6 && date_.size() == 8) {
          const std::string moment = date_ + time;
          pass = (!filter_.since || moment >= *filter_.since) && (!filter_.until || moment <= *filter_.until);
        } else {
          pass = filter_.DateInRange(date_);
        }
      }
      state_ = !pass ? State::Drop : filter_.grep.empty() ? State::Keep : State::Undecided;
    } else if (state_ == State::None) {
      // Lines before any header belong to an entry that began before this file.
      state_ = !filter_.DateInRange(date_) ? State::Drop : filter_.grep.empty() ? State::Keep : State::Undecided;
    }
    if (state_ == State::Undecided && ContainsNoCase(line, filter_.grep)) {
      Emit(buffered_);
      buffered_.clear();
      state_ = State::Keep;
    }
    if (state_ == State::Keep) Emit(line);
    if (state_ == State::Undecided) buffered_ += line;
  }

  void Emit(const std::string& text) {
    if (!pendingHeader_.empty()) {
      std::fputs(pendingHeader_.c_str(), stdout);
      pendingHeader_.clear();
    }
    const std::string shown = Printable(text);
    if (!shown.empty()) std::fwrite(shown.data(), 1, shown.size(), stdout);
  }

  Filter filter_;
  bool fileHeaders_;
  std::string date_, pendingHeader_, partial_, buffered_;
  State state_ = State::None;
};

// What a file holds, judged from its first bytes: false (with the reason) when it is not an
// encrypted log, so that nothing of it is printed.
bool LooksLikeLog(const fs::path& path, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = "cannot open";
    return false;
  }
  std::vector<uint8_t> head(kProbeBytes + 1);
  in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  const size_t got = static_cast<size_t>(in.gcount());
  if (got == 0) return true;
  const bool whole = got <= kProbeBytes;
  head.resize(std::min(got, kProbeBytes));
  qz::EncLogReader probe;
  probe.Feed(head);
  probe.Finish();
  const auto damage = probe.TakeDamage();
  if (damage.empty() || damage.front().offset != 0) return true;
  const auto& first = damage.front();
  // A first record that does not read but a good one close behind it (a damaged record): a log.
  if (first.length <= qz::EncLogReader::kMaxRecord + 4 && first.length < head.size()) return true;
  // Nothing but a record cut short: a log that ended early.
  if (whole && first.truncated && first.length == head.size()) return true;
  const bool text = std::all_of(head.begin(), head.end(), [](uint8_t c) {
    return c == '\t' || c == '\r' || c == '\n' || c >= 0x20;
  });
  *why = text ? "not an encrypted log (it is plain text: read it as it is)" : "not an encrypted log file";
  return false;
}

// One file being read; keeps its offset so a growing file can be read on.
class Source {
 public:
  Source(fs::path path, Printer& out) : path_(std::move(path)), out_(out) {}

  // Reads what is new since the last call. False when the file cannot be opened.
  bool ReadMore() {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return false;
    if (!begun_) {
      out_.BeginFile(path_);
      begun_ = true;
    }
    in.seekg(static_cast<std::streamoff>(offset_));
    std::vector<uint8_t> chunk(1 << 16);
    while (in) {
      in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
      std::streamsize got = in.gcount();
      if (got <= 0) break;
      offset_ += static_cast<uint64_t>(got);
      reader_.Feed(std::span(chunk.data(), static_cast<size_t>(got)));
      out_.Text(reader_.TakeText());
      Report();
    }
    out_.Flush();
    return true;
  }

  void Finish() {
    reader_.Finish();
    out_.Text(reader_.TakeText());
    out_.EndFile(Report());
  }

  // The same bytes under another name (after a rotation); reading goes on at the same offset.
  void Retarget(fs::path path) { path_ = std::move(path); }

  uint64_t offset() const { return offset_; }
  const fs::path& path() const { return path_; }
  bool damaged() const { return damaged_; }

 private:
  // Reports damage on standard error; returns the mark for a record cut short at the end.
  std::string Report() {
    std::string mark;
    for (const auto& d : reader_.TakeDamage()) {
      damaged_ = true;
      const auto offset = static_cast<unsigned long long>(d.offset);
      const auto length = static_cast<unsigned long long>(d.length);
      if (d.truncated) {
        std::fprintf(stderr, "qzlog: %s: truncated record at offset %llu (%llu bytes)\n", path_.string().c_str(),
                     offset, length);
        mark = "<<< truncated record at offset " + std::to_string(offset) + " (" + std::to_string(length) +
               " bytes): the rest of this line was not written >>>";
      } else {
        std::fprintf(stderr, "qzlog: %s: damaged data at offset %llu (%llu bytes skipped)\n", path_.string().c_str(),
                     offset, length);
      }
    }
    return mark;
  }

  fs::path path_;
  Printer& out_;
  uint64_t offset_ = 0;
  qz::EncLogReader reader_;
  bool damaged_ = false;
  bool begun_ = false;
};

void Usage(FILE* to) {
  std::fprintf(to,
               "usage: qzlog [-f] [--level NAME] [--since WHEN] [--until WHEN] [--grep TEXT] PATH...\n"
               "  PATH         an encrypted log file (qzUpdater-YYYYMMDD.log[.N]) or a log folder: every day in\n"
               "               order, rotated files oldest first; with a folder or several files each file\n"
               "               begins with a line '=== YYYY-MM-DD PATH ==='\n"
               "  -f           keep following the last file as it grows, rotates and the next day begins\n"
               "  --level NAME DEBUG, INFO, SYSTEM, WARNING or FATAL (or 0-4): entries of that level and above\n"
               "  --since WHEN, --until WHEN\n"
               "               entries from / up to that moment, both included; WHEN is YYYY-MM-DD or YYYYMMDD,\n"
               "               optionally with ' HH:MM[:SS]' or 'THH:MM[:SS]' (local time of the PC); a date\n"
               "               alone is its whole day, HH:MM its whole minute\n"
               "  --grep TEXT  entries (a header line and the lines under it) that contain TEXT, case ignored\n"
               "exit status: 0 everything read; 1 damaged or truncated records (reported on standard error,\n"
               "  marked in the text, the rest still shown); 2 bad usage, or a file that cannot be read or\n"
               "  is not an encrypted log (refused with a message, nothing of it printed)\n");
}

int UsageError(const std::string& why) {
  std::fprintf(stderr, "qzlog: %s\n", why.c_str());
  Usage(stderr);
  return kFailed;
}

// Follows the last file: new records as they come, its rotation to name.0, and (for a folder) a
// newer day's file of the same prefix.
[[noreturn]] void Follow(std::unique_ptr<Source> source, const std::optional<fs::path>& folder, Printer& out) {
  for (;;) {
    std::this_thread::sleep_for(kFollowInterval);
    std::error_code ec;
    const auto size = fs::file_size(source->path(), ec);
    if (!ec && size >= source->offset()) {
      source->ReadMore();
    } else if (!ec || source->offset() > 0) {
      // Rotated (shrunk or gone): what was not read yet went with the old file to name.0.
      const fs::path current = source->path();
      fs::path rotated = current;
      rotated += ".0";
      source->Retarget(rotated);
      source->ReadMore();
      source->Finish();
      source = std::make_unique<Source>(current, out);
    }
    if (folder) {
      auto files = FolderFiles(*folder, false);
      auto current = ParseName(source->path().filename().string());
      for (const auto& f : files) {
        auto n = ParseName(f.filename().string());
        if (n && current && n->rotation < 0 && n->prefix == current->prefix && n->date > current->date) {
          source->ReadMore();
          source->Finish();
          source = std::make_unique<Source>(f, out);
          source->ReadMore();
          break;
        }
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool follow = false;
  Filter filter;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    // "--name VALUE" or "--name=VALUE"
    auto option = [&](const char* name, std::string* value) {
      const std::string n = name;
      if (a == n) {
        if (i + 1 >= argc) return false;
        *value = argv[++i];
        return true;
      }
      if (a.rfind(n + "=", 0) == 0) {
        *value = a.substr(n.size() + 1);
        return true;
      }
      return false;
    };
    std::string value;
    if (a == "-f" || a == "--follow") {
      follow = true;
    } else if (option("--level", &value)) {
      filter.level = qz::LogLevelFromName(value);
      if (filter.level < 0) return UsageError("unknown level " + value);
    } else if (option("--since", &value) || option("--until", &value)) {
      const bool until = a.rfind("--until", 0) == 0;
      auto moment = ParseMoment(value, until);
      if (!moment) return UsageError("bad date and time '" + value + "' (YYYY-MM-DD[ HH:MM[:SS]])");
      (until ? filter.until : filter.since) = moment;
    } else if (option("--grep", &value)) {
      if (value.empty()) return UsageError("--grep needs a text");
      filter.grep = value;
    } else if (a == "-h" || a == "--help") {
      Usage(stdout);
      return kClean;
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      return UsageError("unknown option or missing value: " + a);
    } else {
      paths.push_back(a);
    }
  }
  if (paths.empty()) return UsageError("no log file or folder given");
  if (filter.since && filter.until && *filter.since > *filter.until) return UsageError("--since is after --until");

  std::vector<fs::path> files;
  std::optional<fs::path> lastFolder;
  bool anyFolder = false;
  for (const auto& p : paths) {
    std::error_code ec;
    if (fs::is_directory(p, ec)) {
      auto list = FolderFiles(p, true);
      if (list.empty()) std::fprintf(stderr, "qzlog: %s: no log files\n", p.c_str());
      files.insert(files.end(), list.begin(), list.end());
      lastFolder = fs::path(p);
      anyFolder = true;
    } else {
      files.emplace_back(p);
      lastFolder.reset();
    }
  }

  Printer out(filter, anyFolder || files.size() > 1);
  int status = kClean;
  for (size_t i = 0; i < files.size(); ++i) {
    const bool last = i + 1 == files.size();
    // Days outside --since/--until are not opened at all (not while following the last one).
    if (!(follow && last)) {
      if (auto n = ParseName(files[i].filename().string()); n && !filter.DateInRange(n->date)) continue;
    }
    std::string why;
    if (!LooksLikeLog(files[i], &why)) {
      std::fprintf(stderr, "qzlog: %s: %s\n", files[i].string().c_str(), why.c_str());
      status = kFailed;
      continue;
    }
    auto source = std::make_unique<Source>(files[i], out);
    if (!source->ReadMore()) {
      std::fprintf(stderr, "qzlog: %s: cannot open\n", files[i].string().c_str());
      status = kFailed;
      continue;
    }
    if (follow && last) Follow(std::move(source), lastFolder, out);
    source->Finish();
    if (source->damaged() && status == kClean) status = kDamaged;
  }
  return status;
}
