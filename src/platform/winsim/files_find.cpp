// FindFirstFileW and FindNextFileW: a folder's entries matching a pattern, in NTFS order.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/text.h"
#include "platform/winsim/files_internal.h"
#include "platform/winsim/services.h"

namespace winsim {

using namespace win;

namespace {

uint64_t FileTimeOf(const struct stat& st) {
  return (static_cast<uint64_t>(st.st_mtim.tv_sec) + 11644473600ull) * 10000000ull +
         static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
}

bool IsValidWinName(std::u16string_view name) {
  for (char16_t c : name) {
    if (c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' || c == u'*' ||
        c == u'\\') {
      return false;
    }
  }
  return !name.empty();
}

class FindObject : public KernelObject {
 public:
  explicit FindObject(std::vector<WIN32_FIND_DATAW> entries) : entries_(std::move(entries)) {}
  bool Next(WIN32_FIND_DATAW* data) {
    std::lock_guard lock(mutex_);
    if (next_ >= entries_.size()) return false;
    if (data) *data = entries_[next_];
    ++next_;
    return true;
  }

 private:
  std::mutex mutex_;
  std::vector<WIN32_FIND_DATAW> entries_;
  size_t next_ = 0;
};

}  // namespace

HANDLE WinsimFiles::FindFirstFileW(std::u16string_view pattern, WIN32_FIND_DATAW* data) {
  return Guard(INVALID_HANDLE_VALUE, [&] { return DoFindFirst(pattern, data); });
}

BOOL WinsimFiles::FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data) {
  return Guard(FALSE, [&]() -> BOOL {
    auto f = Handles().GetAs<FindObject>(find);
    if (!f) return Fail(ERROR_INVALID_HANDLE);
    if (!f->Next(data)) return Fail(ERROR_NO_MORE_FILES);
    return Ok();
  });
}

BOOL WinsimFiles::FindClose(HANDLE find) {
  return Guard(FALSE, [&]() -> BOOL {
    if (!Handles().GetAs<FindObject>(find) || !Handles().Close(find)) return Fail(ERROR_INVALID_HANDLE);
    return Ok();
  });
}

HANDLE WinsimFiles::DoFindFirst(std::u16string_view pattern, WIN32_FIND_DATAW* data) {
  size_t slash = pattern.find_last_of(u"\\/");
  std::u16string dirPart, namePattern;
  if (slash != std::u16string_view::npos) {
    dirPart = std::u16string(pattern.substr(0, slash + 1));
    namePattern = std::u16string(pattern.substr(slash + 1));
  } else if (pattern.size() >= 2 && pattern[1] == u':') {
    dirPart = std::u16string(pattern.substr(0, 2));
    namePattern = std::u16string(pattern.substr(2));
  } else {
    dirPart = u".";
    namePattern = std::u16string(pattern);
  }
  if (namePattern.empty()) return FailHandle(ERROR_FILE_NOT_FOUND);
  for (char16_t c : namePattern) {
    if (c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|') {
      return FailHandle(ERROR_INVALID_NAME);
    }
  }
  DWORD err = 0;
  auto dir = Resolve(dirPart, &err);
  if (!dir) return FailHandle(err);
  if (!dir->IsDir()) return FailHandle(ERROR_PATH_NOT_FOUND);

  std::vector<WIN32_FIND_DATAW> entries;
  auto entryOf = [](std::u16string name, const struct stat& st, bool link = false) {
    WIN32_FIND_DATAW e;
    e.dwFileAttributes = AttributesOf(st, link);
    e.ftLastWriteTime = FileTimeOf(st);
    const uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    e.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    e.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
    e.cFileName = std::move(name);
    return e;
  };
  if (!dir->win.IsRoot()) {
    struct stat parent {};
    ::stat(HostParent(dir->host).c_str(), &parent);
    if (WildcardMatch(namePattern, u".")) entries.push_back(entryOf(u".", dir->st));
    if (WildcardMatch(namePattern, u"..")) entries.push_back(entryOf(u"..", parent));
  }
  std::vector<std::pair<std::u16string, WIN32_FIND_DATAW>> found;
  if (DIR* d = ::opendir(dir->host.c_str())) {
    while (dirent* de = ::readdir(d)) {
      std::string host = de->d_name;
      if (host == "." || host == "..") continue;
      std::u16string name = Utf8ToWide(host);
      if (!IsValidWinName(name) || !WildcardMatch(namePattern, name)) continue;
      struct stat st {};
      if (::stat((dir->host + "/" + host).c_str(), &st) != 0) continue;
      struct stat own {};
      const bool link = S_ISDIR(st.st_mode) && ::lstat((dir->host + "/" + host).c_str(), &own) == 0 && S_ISLNK(own.st_mode);
      std::u16string key = FoldCase(name);
      found.emplace_back(std::move(key), entryOf(std::move(name), st, link));
    }
    ::closedir(d);
  }
  // NTFS lists names in upper-cased order.
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : a.second.cFileName < b.second.cFileName;
  });
  for (auto& f : found) entries.push_back(std::move(f.second));
  if (entries.empty()) return FailHandle(ERROR_FILE_NOT_FOUND);
  auto obj = std::make_shared<FindObject>(std::move(entries));
  obj->Next(data);
  HANDLE h = Handles().Add(obj);
  SetLastError(NO_ERROR);
  return h;
}

}  // namespace winsim
