#include "platform/shell.h"

#include <vector>

#include "platform/platform.h"
#include "platform/text.h"

namespace win {

namespace {

std::u16string ParentOf(const std::u16string& path) {
  size_t slash = path.find_last_of(u"\\/");
  return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
}

std::u16string Join(const std::u16string& dir, const std::u16string& name) {
  return dir.empty() ? name : dir + u"\\" + name;
}

// Deletes one file or a whole folder; the first failure's error, 0 when all went.
DWORD DeleteTree(const std::u16string& path) {
  IFileSystem& files = Files();
  DWORD attributes = files.GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError();
  if (attributes & FILE_ATTRIBUTE_READONLY) files.SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return files.DeleteFileW(path) ? 0 : GetLastError();
  // A junction goes as a link; what it points at is never emptied.
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return files.RemoveDirectoryW(path) ? 0 : GetLastError();

  DWORD first = 0;
  std::vector<std::u16string> names;
  WIN32_FIND_DATAW data;
  HANDLE find = files.FindFirstFileW(path + u"\\*", &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (data.cFileName != u"." && data.cFileName != u"..") names.push_back(data.cFileName);
    } while (files.FindNextFileW(find, &data));
    files.FindClose(find);
  }
  for (const auto& name : names) {
    DWORD err = DeleteTree(path + u"\\" + name);
    if (err && !first) first = err;
  }
  if (!files.RemoveDirectoryW(path) && !first) first = GetLastError();
  return first;
}

}  // namespace

int SHFileOperationW(SHFILEOPSTRUCTW* op) {
  if (!op) return static_cast<int>(ERROR_INVALID_PARAMETER);
  op->fAnyOperationsAborted = FALSE;
  if (op->wFunc != FO_DELETE) return static_cast<int>(ERROR_NOT_SUPPORTED);

  std::vector<std::u16string> items;
  for (size_t at = 0; at < op->pFrom.size();) {
    size_t end = op->pFrom.find(u'\0', at);
    if (end == at) break;  // the empty entry ends the list
    items.push_back(op->pFrom.substr(at, end == std::u16string::npos ? std::u16string::npos : end - at));
    at = end == std::u16string::npos ? op->pFrom.size() : end + 1;
  }
  if (items.empty()) return static_cast<int>(ERROR_INVALID_PARAMETER);

  DWORD first = 0;
  for (const auto& item : items) {
    std::vector<std::u16string> targets;
    if (item.find_first_of(u"*?") != std::u16string::npos) {
      WIN32_FIND_DATAW data;
      HANDLE find = Files().FindFirstFileW(item, &data);
      if (find != INVALID_HANDLE_VALUE) {
        do {
          if (data.cFileName == u"." || data.cFileName == u"..") continue;
          if ((op->fFlags & FOF_FILESONLY) && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
          targets.push_back(Join(ParentOf(item), data.cFileName));
        } while (Files().FindNextFileW(find, &data));
        Files().FindClose(find);
      }
    } else {
      targets.push_back(item);
    }
    for (const auto& t : targets) {
      DWORD err = DeleteTree(t);
      if (err && !first) first = err;
    }
  }
  return static_cast<int>(first);
}

}  // namespace win
