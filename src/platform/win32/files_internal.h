// The file system service on kernel32, shared by the files that implement it. Every call passes
// straight to the API; the thread's last error is what the API left.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/win_api.h"

namespace win32 {

// The API's last error as the caller sees it through win::GetLastError.
inline void KeepLastError() { win::SetLastError(::GetLastError()); }

// A FILETIME as 100-ns units since 1601.
inline uint64_t Ticks(const FILETIME& t) {
  return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

// A path as a terminated wide string for the API.
inline std::u16string Z(std::u16string_view s) { return std::u16string(s); }

class Win32Files : public win::IFileSystem {
 public:
  win::HANDLE CreateFileW(std::u16string_view path, win::DWORD access, win::DWORD shareMode, win::DWORD creation,
                          win::DWORD flags) override;
  win::BOOL ReadFile(win::HANDLE file, void* buffer, win::DWORD toRead, win::DWORD* read) override;
  win::BOOL WriteFile(win::HANDLE file, const void* buffer, win::DWORD toWrite, win::DWORD* written) override;
  win::DWORD SetFilePointer(win::HANDLE file, win::LONG distance, win::LONG* distanceHigh, win::DWORD method) override;
  win::BOOL SetFilePointerEx(win::HANDLE file, int64_t distance, int64_t* newPosition, win::DWORD method) override;
  win::BOOL GetFileSizeEx(win::HANDLE file, int64_t* size) override;
  win::BOOL SetEndOfFile(win::HANDLE file) override;
  win::BOOL FlushFileBuffers(win::HANDLE file) override;
  win::BOOL CreatePipe(win::HANDLE* readPipe, win::HANDLE* writePipe, const win::SECURITY_ATTRIBUTES* attributes,
                       win::DWORD size) override;
  win::BOOL DeleteFileW(std::u16string_view path) override;
  win::BOOL CopyFileW(std::u16string_view from, std::u16string_view to, win::BOOL failIfExists) override;
  win::BOOL MoveFileW(std::u16string_view from, std::u16string_view to) override;
  win::BOOL MoveFileExW(std::u16string_view from, std::u16string_view to, win::DWORD flags) override;
  win::BOOL CreateDirectoryW(std::u16string_view path) override;
  win::BOOL CreateDirectoryW(std::u16string_view path, const win::SECURITY_ATTRIBUTES* attributes) override;
  win::DWORD GetNamedSecurityInfoW(std::u16string_view path, win::DWORD objectType, win::DWORD securityInfo,
                                   win::ACL* dacl, win::BOOL* present) override;
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
};

// Security descriptors in the API's self-relative form, built from and read into the project's
// plain SID and ACL values.
class NativeDescriptor {
 public:
  // False with the last error set when an entry cannot be expressed.
  bool Build(const win::SECURITY_DESCRIPTOR& sd);
  ::SECURITY_DESCRIPTOR* get() { return &sd_; }

 private:
  ::SECURITY_DESCRIPTOR sd_{};
  std::vector<DWORD> acl_;  // DWORD-aligned, as an ACL must be
};

// The DACL's entries that were set on the object itself (not inherited from its parent).
win::ACL ExplicitEntries(const ::ACL* dacl);

}  // namespace win32
