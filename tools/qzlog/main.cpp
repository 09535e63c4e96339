// qzlog: turns the updater's encrypted log files back into text.
//
//   qzlog [-f] [--level NAME] PATH...
//
// PATH is a log file or a log folder; a folder gives every day's files in date order, each day's
// rotated files oldest first (name.N ... name.0, then name). -f keeps following the last file as
// it grows (and across its rotation). --level keeps header lines of that level and above with the
// lines that belong to them. Damaged or truncated records are reported on standard error with
// their file offset; reading goes on at the next record found, and the exit status is 1.
#include <algorithm>
#include <chrono>
#include <cstdio>
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

std::vector<fs::path> FolderFiles(const fs::path& folder) {
  std::vector<std::pair<LogName, fs::path>> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    if (!entry.is_regular_file()) continue;
    if (auto n = ParseName(entry.path().filename().string())) found.emplace_back(*n, entry.path());
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

class Output {
 public:
  explicit Output(int minLevel) : filter_(minLevel) {}
  void Text(const std::string& text) { Write(filtered() ? filter_.Push(text) : text); }
  void EndOfFile() {
    if (filtered()) Write(filter_.Flush());
    std::fflush(stdout);
  }
  void set_filtered(bool f) { filtered_ = f; }

 private:
  bool filtered() const { return filtered_; }
  static void Write(const std::string& s) {
    if (!s.empty()) std::fwrite(s.data(), 1, s.size(), stdout);
  }
  qz::LogLevelFilter filter_;
  bool filtered_ = false;
};

// One file being read; keeps its offset so a growing file can be read on.
class Source {
 public:
  explicit Source(fs::path path) : path_(std::move(path)) {}

  // Reads what is new since the last call. False when the file cannot be opened.
  bool ReadMore(Output& out) {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return false;
    in.seekg(static_cast<std::streamoff>(offset_));
    std::vector<uint8_t> chunk(1 << 16);
    while (in) {
      in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
      std::streamsize got = in.gcount();
      if (got <= 0) break;
      offset_ += static_cast<uint64_t>(got);
      reader_.Feed(std::span(chunk.data(), static_cast<size_t>(got)));
      out.Text(reader_.TakeText());
      Report();
    }
    return true;
  }

  void Finish(Output& out) {
    reader_.Finish();
    out.Text(reader_.TakeText());
    Report();
    out.EndOfFile();
  }

  // The same bytes under another name (after a rotation); reading goes on at the same offset.
  void Retarget(fs::path path) { path_ = std::move(path); }

  uint64_t offset() const { return offset_; }
  const fs::path& path() const { return path_; }
  bool damaged() const { return damaged_; }

 private:
  void Report() {
    for (const auto& d : reader_.TakeDamage()) {
      damaged_ = true;
      if (d.truncated) {
        std::fprintf(stderr, "qzlog: %s: truncated record at offset %llu (%llu bytes)\n", path_.string().c_str(),
                     static_cast<unsigned long long>(d.offset), static_cast<unsigned long long>(d.length));
      } else {
        std::fprintf(stderr, "qzlog: %s: damaged data at offset %llu (%llu bytes skipped)\n", path_.string().c_str(),
                     static_cast<unsigned long long>(d.offset), static_cast<unsigned long long>(d.length));
      }
    }
  }

  fs::path path_;
  uint64_t offset_ = 0;
  qz::EncLogReader reader_;
  bool damaged_ = false;
};

int Usage() {
  std::fprintf(stderr,
               "usage: qzlog [-f] [--level DEBUG|INFO|SYSTEM|WARNING|FATAL] PATH...\n"
               "  PATH: an encrypted log file, or a log folder (every day in order, rotated files oldest first)\n");
  return 2;
}

// Follows the last file: new records as they come, its rotation to name.0, and (for a folder) a
// newer day's file of the same prefix.
[[noreturn]] void Follow(std::unique_ptr<Source> source, const std::optional<fs::path>& folder, Output& out) {
  for (;;) {
    std::this_thread::sleep_for(kFollowInterval);
    std::error_code ec;
    const auto size = fs::file_size(source->path(), ec);
    if (!ec && size >= source->offset()) {
      source->ReadMore(out);
    } else if (!ec || source->offset() > 0) {
      // Rotated (shrunk or gone): what was not read yet went with the old file to name.0.
      const fs::path current = source->path();
      fs::path rotated = current;
      rotated += ".0";
      source->Retarget(rotated);
      source->ReadMore(out);
      source->Finish(out);
      source = std::make_unique<Source>(current);
    }
    if (folder) {
      auto files = FolderFiles(*folder);
      auto current = ParseName(source->path().filename().string());
      for (const auto& f : files) {
        auto n = ParseName(f.filename().string());
        if (n && current && n->rotation < 0 && n->prefix == current->prefix && n->date > current->date) {
          source->ReadMore(out);
          source->Finish(out);
          source = std::make_unique<Source>(f);
          source->ReadMore(out);
          break;
        }
      }
    }
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool follow = false;
  int level = -1;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-f" || a == "--follow") {
      follow = true;
    } else if (a == "--level" || a.rfind("--level=", 0) == 0) {
      std::string name;
      if (a == "--level") {
        if (++i >= argc) return Usage();
        name = argv[i];
      } else {
        name = a.substr(8);
      }
      level = qz::LogLevelFromName(name);
      if (level < 0) {
        std::fprintf(stderr, "qzlog: unknown level %s\n", name.c_str());
        return 2;
      }
    } else if (a == "-h" || a == "--help") {
      Usage();
      return 0;
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      return Usage();
    } else {
      paths.push_back(a);
    }
  }
  if (paths.empty()) return Usage();

  Output out(level < 0 ? 0 : level);
  out.set_filtered(level >= 0);

  std::vector<fs::path> files;
  std::optional<fs::path> lastFolder;
  int status = 0;
  for (const auto& p : paths) {
    std::error_code ec;
    if (fs::is_directory(p, ec)) {
      auto list = FolderFiles(p);
      if (list.empty()) std::fprintf(stderr, "qzlog: %s: no log files\n", p.c_str());
      files.insert(files.end(), list.begin(), list.end());
      lastFolder = fs::path(p);
    } else {
      files.emplace_back(p);
      lastFolder.reset();
    }
  }

  for (size_t i = 0; i < files.size(); ++i) {
    auto source = std::make_unique<Source>(files[i]);
    if (!source->ReadMore(out)) {
      std::fprintf(stderr, "qzlog: %s: cannot open\n", files[i].string().c_str());
      status = 2;
      continue;
    }
    if (follow && i + 1 == files.size()) {
      std::fflush(stdout);
      Follow(std::move(source), lastFolder, out);
    }
    source->Finish(out);
    if (source->damaged() && status == 0) status = 1;
  }
  return status;
}
