// The file system service of a simulated machine, shared by the files that implement it: access
// and share rules, the machine's table of open files, and the service itself.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/winsim/db.h"
#include "platform/winsim/machine.h"
#include "platform/winsim/paths.h"

namespace winsim {

constexpr win::DWORD FILE_READ_DATA = 0x1;
constexpr win::DWORD FILE_WRITE_DATA = 0x2;
constexpr win::DWORD FILE_APPEND_DATA = 0x4;
constexpr win::DWORD kShareAll = win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE;

constexpr win::DWORD ERROR_NOT_SAME_DEVICE = 17;
constexpr win::DWORD ERROR_INTERNAL_ERROR = 1359;

inline bool WantsRead(win::DWORD a) { return (a & (win::GENERIC_READ | win::GENERIC_ALL | FILE_READ_DATA)) != 0; }
inline bool WantsWrite(win::DWORD a) {
  return (a & (win::GENERIC_WRITE | win::GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
}
inline bool WantsDelete(win::DWORD a) { return (a & (win::DELETE | win::GENERIC_ALL)) != 0; }

win::DWORD ErrnoToWin(int e, win::DWORD missing = win::ERROR_FILE_NOT_FOUND);

struct OpenRow {
  int64_t id = 0;
  win::DWORD access = 0;
  win::DWORD share = 0;
  uint64_t dev = 0;
  uint64_t ino = 0;
};

// Handles of live processes on one file, or on every file when all is set; rows of dead processes
// are dropped on the way, since their handles are gone.
std::vector<OpenRow> LiveOpens(Db& db, uint64_t dev, uint64_t ino, bool all = false);
bool AnyConflict(const std::vector<OpenRow>& rows, win::DWORD access, win::DWORD share);

inline bool IsReadOnly(const struct stat& st) { return !S_ISDIR(st.st_mode) && !(st.st_mode & S_IWUSR); }

// A host symbolic link to a folder plays a junction: a folder that is a reparse point.
inline win::DWORD AttributesOf(const struct stat& st, bool link = false) {
  if (S_ISDIR(st.st_mode)) return win::FILE_ATTRIBUTE_DIRECTORY | (link ? win::FILE_ATTRIBUTE_REPARSE_POINT : 0);
  return win::FILE_ATTRIBUTE_ARCHIVE | (IsReadOnly(st) ? win::FILE_ATTRIBUTE_READONLY : 0);
}

inline std::string HostParent(const std::string& host) {
  size_t slash = host.find_last_of('/');
  return slash == std::string::npos ? host : host.substr(0, slash);
}

inline bool IsHostDir(const std::string& host) {
  struct stat st {};
  return stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A Windows path resolved to its host path (after WOW64 redirection).
struct Target {
  WinPath win;
  std::string host;
  bool exists = false;
  struct stat st {};
  // A junction (host symbolic link to a folder): st is its target's.
  bool link = false;
  bool IsDir() const { return exists && S_ISDIR(st.st_mode); }
};

class WinsimFiles : public win::IFileSystem {
 public:
  explicit WinsimFiles(std::shared_ptr<Machine> m) : m_(std::move(m)) {}

  win::HANDLE CreateFileW(std::u16string_view path, win::DWORD access, win::DWORD shareMode, win::DWORD creation,
                          win::DWORD flags) override;
  win::BOOL ReadFile(win::HANDLE file, void* buffer, win::DWORD toRead, win::DWORD* read) override;
  win::BOOL WriteFile(win::HANDLE file, const void* buffer, win::DWORD toWrite, win::DWORD* written) override;
  win::DWORD SetFilePointer(win::HANDLE file, win::LONG distance, win::LONG* distanceHigh, win::DWORD method) override;
  win::BOOL SetFilePointerEx(win::HANDLE file, int64_t distance, int64_t* newPosition, win::DWORD method) override;
  win::BOOL GetFileSizeEx(win::HANDLE file, int64_t* size) override;
  win::BOOL SetEndOfFile(win::HANDLE file) override;
  win::BOOL FlushFileBuffers(win::HANDLE file) override;
  win::BOOL DeleteFileW(std::u16string_view path) override;
  win::BOOL CopyFileW(std::u16string_view from, std::u16string_view to, win::BOOL failIfExists) override;
  win::BOOL MoveFileW(std::u16string_view from, std::u16string_view to) override;
  win::BOOL MoveFileExW(std::u16string_view from, std::u16string_view to, win::DWORD flags) override;
  win::BOOL CreateDirectoryW(std::u16string_view path) override;
  win::BOOL CreateDirectoryW(std::u16string_view path, const win::SECURITY_ATTRIBUTES* attributes) override;
  win::DWORD GetNamedSecurityInfoW(std::u16string_view path, win::DWORD objectType, win::DWORD securityInfo,
                                   win::ACL* dacl, win::BOOL* present) override;
  win::BOOL CreatePipe(win::HANDLE* readPipe, win::HANDLE* writePipe, const win::SECURITY_ATTRIBUTES* attributes,
                       win::DWORD) override;
  win::BOOL RemoveDirectoryW(std::u16string_view path) override;
  win::DWORD GetFileAttributesW(std::u16string_view path) override;
  win::BOOL SetFileAttributesW(std::u16string_view path, win::DWORD attributes) override;
  win::HANDLE FindFirstFileW(std::u16string_view pattern, win::WIN32_FIND_DATAW* data) override;
  win::BOOL FindNextFileW(win::HANDLE find, win::WIN32_FIND_DATAW* data) override;
  win::BOOL FindClose(win::HANDLE find) override;
  std::u16string GetCurrentDirectoryW() override;
  win::BOOL SetCurrentDirectoryW(std::u16string_view path) override;
  std::u16string GetModuleFileNameW() override;
  std::u16string GetFullPathNameW(std::u16string_view path) override;
  std::u16string ExpandEnvironmentStringsW(std::u16string_view text) override;
  win::BOOL GetEnvironmentVariableW(std::u16string_view name, std::u16string* value) override;
  win::DWORD GetLogicalDrives() override;
  std::u16string GetLogicalDriveStringsW() override;
  win::UINT GetDriveTypeW(std::u16string_view root) override;
  win::BOOL GetVolumeInformationW(std::u16string_view root, std::u16string* volumeName,
                                  win::DWORD* serialNumber) override;
  win::BOOL GetDiskFreeSpaceExW(std::u16string_view path, win::ULONGLONG* freeToCaller, win::ULONGLONG* total,
                                win::ULONGLONG* totalFree) override;

 private:
  static win::BOOL Fail(win::DWORD code) {
    win::SetLastError(code);
    return win::FALSE;
  }
  static win::BOOL Ok() {
    win::SetLastError(win::NO_ERROR);
    return win::TRUE;
  }

  // Nothing thrown inside may cross the boundary.
  template <class R, class F>
  static R Guard(R failValue, F&& f) {
    try {
      return f();
    } catch (const std::bad_alloc&) {
      win::SetLastError(win::ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
      win::SetLastError(ERROR_INTERNAL_ERROR);
    }
    return failValue;
  }

  std::optional<Volume> FindVolume(char16_t letter);
  std::optional<Target> Resolve(std::u16string_view path, win::DWORD* err);
  std::optional<Target> ResolveParsed(const WinPath& parsed, win::DWORD* err);

  // A path as the kill point names it: full, or as given when it does not parse.
  std::u16string FullPath(std::u16string_view path);
  std::optional<Target> CurrentTarget();
  static win::DWORD MissingError(const Target& t, win::DWORD missingFile = win::ERROR_FILE_NOT_FOUND);
  static bool IsSameOrUnder(const std::string& path, const std::string& folder);

  // Locked host paths are kept folded as the winsim command folds them: upper-cased as Windows
  // compares names, then ASCII letters lower-cased.
  static std::string LockKey(const std::string& host);
  bool IsLocked(const std::string& host);
  win::HANDLE FailHandle(win::DWORD code);
  win::HANDLE DoCreateFile(std::u16string_view path, win::DWORD access, win::DWORD share, win::DWORD creation,
                           win::DWORD flags);

  // Records the open in the machine's table and hands out the handle; owns fd from here on.
  win::HANDLE Register(Db& db, Transaction& tx, int fd, const Target& t, win::DWORD access, win::DWORD share, bool dir,
                       bool deleteOnClose);
  win::DWORD Seek(win::HANDLE file, int64_t distance, win::DWORD method, int64_t* pos);
  win::BOOL DoCopy(std::u16string_view from, std::u16string_view to, win::BOOL failIfExists);

  // Windows refuses to rename a folder while anything inside it is open or running.
  bool FolderBusy(Db& db, const std::string& folder);
  win::BOOL DoMove(std::u16string_view from, std::u16string_view to, win::DWORD flags);
  win::BOOL DelayMove(std::u16string_view from, std::u16string_view to, win::DWORD flags);
  win::HANDLE DoFindFirst(std::u16string_view pattern, win::WIN32_FIND_DATAW* data);

  // The environment.
  win::DWORD MajorVersion();
  std::vector<std::pair<std::u16string, std::u16string>> ProcessVariables();

  // Machine-wide variables kept in the registry (an installer may add its own).
  std::optional<std::u16string> RegistryVariable(std::u16string_view name);
  std::optional<std::u16string> Lookup(std::u16string_view name, bool useRegistry);

  // An unknown %NAME% stays as written; its closing '%' may open the next name.
  std::u16string Expand(std::u16string_view text, bool useRegistry);
  std::shared_ptr<Machine> m_;
  std::mutex cwdMutex_;
  std::mutex envMutex_;
  std::optional<win::DWORD> major_;
};

}  // namespace winsim
