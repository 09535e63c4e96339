// Files, folders, volumes and the environment, shaped like kernel32's file functions. Calls that
// return BOOL or a handle set the thread's last error on failure.
#pragma once

#include <string>
#include <string_view>

#include "platform/security.h"
#include "platform/types.h"

namespace win {

constexpr DWORD MAX_PATH = 260;
constexpr DWORD ERROR_BROKEN_PIPE = 109;

constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;

constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x2;
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x4;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;

constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x2;
constexpr DWORD MOVEFILE_DELAY_UNTIL_REBOOT = 0x4;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;

constexpr DWORD DRIVE_UNKNOWN = 0;
constexpr DWORD DRIVE_NO_ROOT_DIR = 1;
constexpr DWORD DRIVE_REMOVABLE = 2;
constexpr DWORD DRIVE_FIXED = 3;
constexpr DWORD DRIVE_REMOTE = 4;
constexpr DWORD DRIVE_CDROM = 5;

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes = 0;
  uint64_t ftLastWriteTime = 0;  // 100-ns units since 1601, as a FILETIME
  DWORD nFileSizeHigh = 0;
  DWORD nFileSizeLow = 0;
  std::u16string cFileName;
};

class IFileSystem {
 public:
  virtual ~IFileSystem() = default;

  // Handle-based I/O. Handles are closed with win::CloseHandle.
  virtual HANDLE CreateFileW(std::u16string_view path, DWORD access, DWORD shareMode, DWORD creation,
                             DWORD flagsAndAttributes) = 0;
  virtual BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read) = 0;
  virtual BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written) = 0;
  // Returns the new low 32 bits (INVALID_SET_FILE_POINTER with the last error on failure).
  virtual DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method) = 0;
  virtual BOOL SetFilePointerEx(HANDLE file, int64_t distance, int64_t* newPosition, DWORD method) = 0;
  virtual BOOL GetFileSizeEx(HANDLE file, int64_t* size) = 0;
  virtual BOOL SetEndOfFile(HANDLE file) = 0;
  virtual BOOL FlushFileBuffers(HANDLE file) = 0;
  // An anonymous pipe; ReadFile on the read end returns what is there (at least one byte) and
  // fails with ERROR_BROKEN_PIPE once every write end, in every process, is closed.
  virtual BOOL CreatePipe(HANDLE* readPipe, HANDLE* writePipe, const SECURITY_ATTRIBUTES* attributes, DWORD size) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }

  // Names.
  virtual BOOL DeleteFileW(std::u16string_view path) = 0;
  virtual BOOL CopyFileW(std::u16string_view from, std::u16string_view to, BOOL failIfExists) = 0;
  virtual BOOL MoveFileW(std::u16string_view from, std::u16string_view to) = 0;
  // MOVEFILE_DELAY_UNTIL_REBOOT records the operation for the next start; `to` empty means delete.
  virtual BOOL MoveFileExW(std::u16string_view from, std::u16string_view to, DWORD flags) = 0;
  virtual BOOL CreateDirectoryW(std::u16string_view path) = 0;
  // With a security descriptor whose DACL the new folder gets (attributes may be null).
  virtual BOOL CreateDirectoryW(std::u16string_view path, const SECURITY_ATTRIBUTES* attributes) {
    return CreateDirectoryW(path);
  }
  // The explicit DACL of a file or folder (GetNamedSecurityInfoW with DACL_SECURITY_INFORMATION):
  // ERROR_SUCCESS with *present FALSE when it was created without one.
  virtual DWORD GetNamedSecurityInfoW(std::u16string_view path, DWORD objectType, DWORD securityInfo, ACL* dacl,
                                      BOOL* present) {
    return ERROR_NOT_SUPPORTED;
  }
  virtual BOOL RemoveDirectoryW(std::u16string_view path) = 0;
  virtual DWORD GetFileAttributesW(std::u16string_view path) = 0;
  virtual BOOL SetFileAttributesW(std::u16string_view path, DWORD attributes) = 0;

  // Listing: the pattern's last component may hold '*' and '?'. Find handles are closed with FindClose.
  virtual HANDLE FindFirstFileW(std::u16string_view pattern, WIN32_FIND_DATAW* data) = 0;
  virtual BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data) = 0;
  virtual BOOL FindClose(HANDLE find) = 0;

  // Process state.
  virtual std::u16string GetCurrentDirectoryW() = 0;
  virtual BOOL SetCurrentDirectoryW(std::u16string_view path) = 0;
  // The running program's own file (GetModuleFileNameW(NULL)).
  virtual std::u16string GetModuleFileNameW() = 0;
  // Absolute, normalised form of a path (GetFullPathNameW).
  virtual std::u16string GetFullPathNameW(std::u16string_view path) = 0;

  // Environment: %NAME% expansion; unknown names stay as written.
  virtual std::u16string ExpandEnvironmentStringsW(std::u16string_view text) = 0;
  virtual BOOL GetEnvironmentVariableW(std::u16string_view name, std::u16string* value) = 0;

  // Volumes.
  virtual DWORD GetLogicalDrives() = 0;
  // "C:\" "D:\" ... each terminated, then an empty string, as one buffer.
  virtual std::u16string GetLogicalDriveStringsW() = 0;
  virtual UINT GetDriveTypeW(std::u16string_view root) = 0;
  virtual BOOL GetVolumeInformationW(std::u16string_view root, std::u16string* volumeName, DWORD* serialNumber) = 0;
  virtual BOOL GetDiskFreeSpaceExW(std::u16string_view path, ULONGLONG* freeToCaller, ULONGLONG* total,
                                   ULONGLONG* totalFree) = 0;
};

}  // namespace win
