#include "platform/winsim/paths.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "platform/text.h"

namespace fs = std::filesystem;

namespace winsim {

namespace {

bool IsSep(char16_t c) { return c == u'\\' || c == u'/'; }

bool IsLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

char UpperDrive(char16_t c) { return static_cast<char>(c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c); }

bool IsInvalidNameChar(char16_t c) {
  return c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' || c == u'*';
}

// Appends the parts of rel (separated by "\" or "/") to out, resolving "." and "..".
bool AppendParts(std::vector<std::u16string>& out, std::u16string_view rel) {
  size_t i = 0;
  while (i <= rel.size()) {
    size_t j = i;
    while (j < rel.size() && !IsSep(rel[j])) ++j;
    std::u16string part(rel.substr(i, j - i));
    i = j + 1;
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (!out.empty()) out.pop_back();
      continue;
    }
    while (!part.empty() && (part.back() == u'.' || part.back() == u' ')) part.pop_back();
    if (part.empty()) continue;
    for (char16_t c : part) {
      if (IsInvalidNameChar(c)) return false;
    }
    out.push_back(std::move(part));
  }
  return true;
}

std::optional<WinPath> ParseAbsolute(std::u16string_view path) {
  if (path.size() < 2 || !IsLetter(path[0]) || path[1] != u':') return std::nullopt;
  if (path.size() > 2 && !IsSep(path[2])) return std::nullopt;
  WinPath w;
  w.drive = UpperDrive(path[0]);
  if (!AppendParts(w.parts, path.substr(2))) return std::nullopt;
  return w;
}

// A part that must never reach the host file system as written.
bool IsUnsafeHostPart(const std::string& part) {
  return part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos ||
         part.find('\0') != std::string::npos;
}

}  // namespace

std::u16string WinPath::ToString() const {
  std::u16string s;
  s.push_back(static_cast<char16_t>(drive));
  s += u":\\";
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) s.push_back(u'\\');
    s += parts[i];
  }
  return s;
}

WinPath WinPath::Parent() const {
  WinPath p = *this;
  if (!p.parts.empty()) p.parts.pop_back();
  return p;
}

std::u16string WinPath::Name() const { return parts.empty() ? std::u16string() : parts.back(); }

std::optional<WinPath> ParseWinPath(std::u16string_view path, std::u16string_view cwd) {
  if (path.empty()) return std::nullopt;
  if (path.size() >= 4 && IsSep(path[0]) && IsSep(path[1]) && (path[2] == u'?' || path[2] == u'.') &&
      IsSep(path[3])) {
    // "\\?\C:\x" is the long-path form of "C:\x"; "\\.\" names devices and "\\?\UNC\" shares.
    if (path[2] == u'.') return std::nullopt;
    return ParseAbsolute(path.substr(4));
  }
  if (path.size() >= 2 && IsSep(path[0]) && IsSep(path[1])) return std::nullopt;  // UNC

  auto base = [&]() -> std::optional<WinPath> {
    auto c = ParseAbsolute(cwd);
    if (!c) {
      WinPath root;
      return root;
    }
    return c;
  };

  if (path.size() >= 2 && IsLetter(path[0]) && path[1] == u':') {
    if (path.size() == 2 || !IsSep(path[2])) {
      // "D:x" is relative to the current folder of that drive; only the current drive's is known.
      WinPath w;
      w.drive = UpperDrive(path[0]);
      auto c = base();
      if (c && c->drive == w.drive) w = *c;
      if (!AppendParts(w.parts, path.substr(2))) return std::nullopt;
      return w;
    }
    return ParseAbsolute(path);
  }
  auto c = base();
  WinPath w = *c;
  if (IsSep(path[0])) w.parts.clear();
  if (!AppendParts(w.parts, path)) return std::nullopt;
  return w;
}

WinPath RedirectForWow64(const WinPath& path) {
  if (path.drive != 'C' || path.parts.size() < 2 || !win::EqualsNoCase(path.parts[0], u"Windows")) return path;
  WinPath out = path;
  if (win::EqualsNoCase(path.parts[1], u"Sysnative")) {
    out.parts[1] = u"System32";
    return out;
  }
  if (!win::EqualsNoCase(path.parts[1], u"System32")) return path;
  if (path.parts.size() >= 3) {
    const std::u16string_view sub = path.parts[2];
    for (auto exempt : {u"catroot", u"catroot2", u"DriverStore", u"LogFiles", u"spool"}) {
      if (win::EqualsNoCase(sub, exempt)) return path;
    }
    if (win::EqualsNoCase(sub, u"drivers") && path.parts.size() >= 4 && win::EqualsNoCase(path.parts[3], u"etc")) {
      return path;
    }
  }
  out.parts[1] = u"SysWOW64";
  return out;
}

std::string ToHostPath(const std::string& root, const WinPath& path) {
  char drive = path.drive;
  if (drive >= 'a' && drive <= 'z') drive = static_cast<char>(drive - 'a' + 'A');
  if (drive < 'A' || drive > 'Z') drive = 'C';
  std::string host = root + "/drive_" + static_cast<char>(drive - 'A' + 'a');
  bool scanning = true;
  for (const auto& wpart : path.parts) {
    std::string part = win::WideToUtf8(wpart);
    if (IsUnsafeHostPart(part)) {
      // Not reachable from a parsed path; a hand-made one must still stay under the root.
      part = std::string(1, '_');
      scanning = false;
    }
    if (scanning) {
      struct stat st {};
      std::string exact = host + "/" + part;
      if (lstat(exact.c_str(), &st) == 0) {
        host = std::move(exact);
        continue;
      }
      // Case-insensitive match; of several host names that fold alike, the first in byte order.
      // No other character folds to an ASCII one, so an ASCII name is compared as bytes.
      const bool ascii = std::all_of(part.begin(), part.end(), [](char c) { return (c & 0x80) == 0; });
      const std::u16string folded = ascii ? std::u16string() : win::FoldCase(wpart);
      std::vector<std::string> matches;
      std::error_code ec;
      for (fs::directory_iterator it(host, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (ascii ? win::EqualsNoCaseA(name, part) : win::FoldCase(win::Utf8ToWide(name)) == folded)
          matches.push_back(std::move(name));
      }
      if (!matches.empty()) {
        host += "/" + *std::min_element(matches.begin(), matches.end());
        continue;
      }
      scanning = false;
    }
    host += "/" + part;
  }
  return host;
}

std::optional<WinPath> FromHostPath(const std::string& root, const std::string& hostPath) {
  auto relativeUnder = [](const fs::path& base, const fs::path& p) -> std::optional<fs::path> {
    auto b = base.lexically_normal();
    auto q = p.lexically_normal();
    auto bi = b.begin(), qi = q.begin();
    for (; bi != b.end(); ++bi, ++qi) {
      if (bi->empty()) continue;  // trailing separator of the base
      if (qi == q.end() || *bi != *qi) return std::nullopt;
    }
    fs::path rest;
    for (; qi != q.end(); ++qi) rest /= *qi;
    return rest;
  };
  auto rel = relativeUnder(root, hostPath);
  if (!rel) {
    std::error_code e1, e2;
    auto cr = fs::weakly_canonical(root, e1);
    auto ch = fs::weakly_canonical(hostPath, e2);
    if (e1 || e2) return std::nullopt;
    rel = relativeUnder(cr, ch);
    if (!rel) return std::nullopt;
  }
  auto it = rel->begin();
  if (it == rel->end()) return std::nullopt;
  const std::string first = it->string();
  if (first.size() != 7 || first.rfind("drive_", 0) != 0 || first[6] < 'a' || first[6] > 'z') return std::nullopt;
  WinPath w;
  w.drive = static_cast<char>(first[6] - 'a' + 'A');
  for (++it; it != rel->end(); ++it) {
    const std::string part = it->string();
    if (part.empty() || part == ".") continue;
    if (part == "..") return std::nullopt;
    w.parts.push_back(win::Utf8ToWide(part));
  }
  return w;
}

}  // namespace winsim
