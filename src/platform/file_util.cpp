#include "platform/file_util.h"

#include "platform/platform.h"

namespace win {

bool PathExists(std::u16string_view path) { return Files().GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

bool FolderExists(std::u16string_view path) {
  const DWORD a = Files().GetFileAttributesW(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DeleteAtRestart(std::u16string_view path) {
  return Files().MoveFileExW(path, u"", MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

Removal DeleteFileNowOrAtRestart(std::u16string_view path) {
  if (Files().DeleteFileW(path)) return Removal::Now;
  return DeleteAtRestart(path) ? Removal::AtRestart : Removal::Failed;
}

Removal RemoveFolderNowOrAtRestart(std::u16string_view path) {
  if (Files().RemoveDirectoryW(path)) return Removal::Now;
  return DeleteAtRestart(path) ? Removal::AtRestart : Removal::Failed;
}

namespace {

constexpr DWORD kErrorFilenameTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE

// Judged on the path as the listing will use it: "C:" + "\*" lists the root, whatever the
// current folder of drive C is.
bool IsDriveRoot(std::u16string_view path) {
  std::u16string full = Files().GetFullPathNameW(std::u16string(path) + u"\\");
  while (!full.empty() && full.back() == u'\\') full.pop_back();
  return full.size() <= 2;  // "", "C:"
}

}  // namespace

bool BuildPath(std::u16string_view folder, std::u16string_view name, std::u16string* path) {
  // Room for the separator and the terminator.
  if (folder.size() + 1 + name.size() + 1 > MAX_PATH) return false;
  path->assign(folder);
  path->push_back(u'\\');
  path->append(name);
  return true;
}

bool IsFolderLink(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool DeleteFolderTree(std::u16string_view path, bool listFailure) {
  // A damaged folder value must never empty a whole drive.
  if (IsDriveRoot(path)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  std::u16string pattern;
  if (!BuildPath(path, u"*", &pattern)) {
    SetLastError(kErrorFilenameTooLong);
    return false;
  }
  IFileSystem& files = Files();
  // A planted link must not turn the clean-up against the folder it points at.
  const DWORD attributes = files.GetFileAttributesW(path);
  if (IsFolderLink(attributes)) {
    return RemoveFolderNowOrAtRestart(path) != Removal::Failed;
  }
  WIN32_FIND_DATAW found;
  const HANDLE find = files.FindFirstFileW(pattern, &found);
  if (find == INVALID_HANDLE_VALUE) return listFailure;

  bool ok = true;
  DWORD error = 0;
  do {
    const std::u16string& name = found.cFileName;
    if (name == u"." || name == u"..") continue;
    std::u16string full;
    if (!BuildPath(path, name, &full)) {
      ok = false;
      error = kErrorFilenameTooLong;
      break;
    }
    if (found.dwFileAttributes & FILE_ATTRIBUTE_READONLY) files.SetFileAttributesW(full, FILE_ATTRIBUTE_NORMAL);
    if (IsFolderLink(found.dwFileAttributes)) {
      ok = RemoveFolderNowOrAtRestart(full) != Removal::Failed;
    } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ok = DeleteFolderTree(full, true);
    } else {
      ok = DeleteFileNowOrAtRestart(full) != Removal::Failed;
    }
    if (!ok) {
      error = GetLastError();
      break;
    }
  } while (files.FindNextFileW(find, &found));
  files.FindClose(find);
  if (!ok) {
    SetLastError(error);
    return false;
  }
  return RemoveFolderNowOrAtRestart(path) != Removal::Failed;
}

std::vector<WIN32_FIND_DATAW> ListFolder(std::u16string_view pattern) {
  std::vector<WIN32_FIND_DATAW> entries;
  IFileSystem& files = Files();
  WIN32_FIND_DATAW data;
  const HANDLE find = files.FindFirstFileW(pattern, &data);
  if (find == INVALID_HANDLE_VALUE) return entries;
  do {
    if (data.cFileName != u"." && data.cFileName != u"..") entries.push_back(data);
  } while (files.FindNextFileW(find, &data));
  files.FindClose(find);
  return entries;
}

std::vector<std::u16string> ListNames(std::u16string_view pattern) {
  std::vector<std::u16string> names;
  for (auto& entry : ListFolder(pattern)) names.push_back(std::move(entry.cFileName));
  return names;
}

bool CreateFolderPath(std::u16string_view path) {
  if (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
  if (path.empty()) return false;
  if (path.size() == 2 && path[1] == u':') return true;  // a drive root always exists
  IFileSystem& files = Files();
  const DWORD attrs = files.GetFileAttributesW(path);
  if (attrs != INVALID_FILE_ATTRIBUTES) return (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const size_t cut = path.rfind(u'\\');
  if (cut != std::u16string_view::npos && cut > 0 && !CreateFolderPath(path.substr(0, cut))) return false;
  // Someone else may have made it meanwhile.
  return files.CreateDirectoryW(path) || FolderExists(path);
}

bool ReadWholeFile(std::u16string_view path, std::string* out, size_t limit) {
  IFileSystem& files = Files();
  const HANDLE h =
      files.CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) return false;
  int64_t size = 0;
  bool ok = files.GetFileSizeEx(h, &size) && size >= 0 && static_cast<uint64_t>(size) <= limit;
  if (ok) {
    out->assign(static_cast<size_t>(size), '\0');
    DWORD got = 0;
    ok = size == 0 || (files.ReadFile(h, out->data(), static_cast<DWORD>(size), &got) && got == size);
  }
  CloseHandle(h);
  return ok;
}

ScopedCurrentDirectory::~ScopedCurrentDirectory() {
  if (entered_ && Platform::HasCurrent()) Files().SetCurrentDirectoryW(previous_);
}

bool ScopedCurrentDirectory::Enter(std::u16string_view folder) {
  if (!entered_) previous_ = Files().GetCurrentDirectoryW();
  if (!Files().SetCurrentDirectoryW(folder)) return false;
  entered_ = true;
  return true;
}

}  // namespace win
