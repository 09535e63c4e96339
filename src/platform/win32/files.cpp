// The file system service on kernel32: handles, names, attributes, the process's folder and
// environment, and volumes. Errors are the API's own.
#include <utility>
#include <vector>

#include "platform/win32/files_internal.h"
#include "platform/win32/services.h"

namespace win32 {

namespace {

win::BOOL Result(BOOL ok) {
  KeepLastError();
  return ok ? TRUE : FALSE;
}

win::BOOL Fail(DWORD code) {
  ::SetLastError(code);
  KeepLastError();
  return FALSE;
}

// An API that fills a buffer of n characters and returns the length written, or the size needed
// (terminator included) when the buffer is too small: asked until it fits.
template <class F>
std::u16string Sized(F&& call) {
  std::vector<wchar_t> buf(MAX_PATH + 1);
  for (int round = 0; round < 4; ++round) {
    const DWORD n = call(buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) return U(buf.data(), n);
    buf.resize(n + 1);
  }
  return {};
}

const wchar_t* OrNull(const std::u16string& s) { return s.empty() ? nullptr : W(s); }

}  // namespace

win::HANDLE Win32Files::CreateFileW(std::u16string_view path, win::DWORD access, win::DWORD shareMode,
                                    win::DWORD creation, win::DWORD flags) {
  HANDLE h = ::CreateFileW(W(Z(path)), access, shareMode, nullptr, creation, flags, nullptr);
  KeepLastError();
  return h;
}

win::BOOL Win32Files::ReadFile(win::HANDLE file, void* buffer, win::DWORD toRead, win::DWORD* read) {
  DWORD got = 0;
  const BOOL ok = ::ReadFile(Handle(file), buffer, toRead, &got, nullptr);
  if (read) *read = got;
  return Result(ok);
}

win::BOOL Win32Files::WriteFile(win::HANDLE file, const void* buffer, win::DWORD toWrite, win::DWORD* written) {
  DWORD put = 0;
  const BOOL ok = ::WriteFile(Handle(file), buffer, toWrite, &put, nullptr);
  if (written) *written = put;
  return Result(ok);
}

win::DWORD Win32Files::SetFilePointer(win::HANDLE file, win::LONG distance, win::LONG* distanceHigh,
                                      win::DWORD method) {
  ::LONG high = distanceHigh ? *distanceHigh : 0;
  // The low part may itself be 0xFFFFFFFF: the last error tells.
  ::SetLastError(NO_ERROR);
  const DWORD low = ::SetFilePointer(Handle(file), distance, distanceHigh ? &high : nullptr, method);
  KeepLastError();
  if (distanceHigh && !(low == INVALID_SET_FILE_POINTER && ::GetLastError() != NO_ERROR)) *distanceHigh = high;
  return low;
}

win::BOOL Win32Files::SetFilePointerEx(win::HANDLE file, int64_t distance, int64_t* newPosition, win::DWORD method) {
  LARGE_INTEGER move, pos;
  move.QuadPart = distance;
  pos.QuadPart = 0;
  const BOOL ok = ::SetFilePointerEx(Handle(file), move, &pos, method);
  if (ok && newPosition) *newPosition = pos.QuadPart;
  return Result(ok);
}

win::BOOL Win32Files::GetFileSizeEx(win::HANDLE file, int64_t* size) {
  LARGE_INTEGER s;
  s.QuadPart = 0;
  const BOOL ok = ::GetFileSizeEx(Handle(file), &s);
  if (ok && size) *size = s.QuadPart;
  return Result(ok);
}

win::BOOL Win32Files::SetEndOfFile(win::HANDLE file) { return Result(::SetEndOfFile(Handle(file))); }

win::BOOL Win32Files::FlushFileBuffers(win::HANDLE file) { return Result(::FlushFileBuffers(Handle(file))); }

win::BOOL Win32Files::CreatePipe(win::HANDLE* readPipe, win::HANDLE* writePipe,
                                 const win::SECURITY_ATTRIBUTES* attributes, win::DWORD size) {
  if (!readPipe || !writePipe) return Fail(ERROR_INVALID_PARAMETER);
  ::SECURITY_ATTRIBUTES sa{};
  sa.nLength = sizeof(sa);
  sa.bInheritHandle = attributes && attributes->bInheritHandle ? TRUE : FALSE;
  HANDLE r = nullptr, w = nullptr;
  const BOOL ok = ::CreatePipe(&r, &w, &sa, size);
  if (ok) {
    *readPipe = r;
    *writePipe = w;
  }
  return Result(ok);
}

win::BOOL Win32Files::DeleteFileW(std::u16string_view path) { return Result(::DeleteFileW(W(Z(path)))); }

win::BOOL Win32Files::CopyFileW(std::u16string_view from, std::u16string_view to, win::BOOL failIfExists) {
  return Result(::CopyFileW(W(Z(from)), W(Z(to)), failIfExists ? TRUE : FALSE));
}

win::BOOL Win32Files::MoveFileW(std::u16string_view from, std::u16string_view to) {
  return MoveFileExW(from, to, MOVEFILE_COPY_ALLOWED);
}

win::BOOL Win32Files::MoveFileExW(std::u16string_view from, std::u16string_view to, win::DWORD flags) {
  // Only an operation put off until the restart may leave the target out (a deletion); the API
  // itself records it in PendingFileRenameOperations.
  const bool delayed = (flags & MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
  if (to.empty() && !delayed) return Fail(ERROR_INVALID_PARAMETER);
  // Windows refuses a copy put off until the restart; Wine would record it as a rename.
  if (delayed && (flags & MOVEFILE_COPY_ALLOWED)) return Fail(ERROR_INVALID_PARAMETER);
  const std::u16string target(to);
  return Result(::MoveFileExW(W(Z(from)), to.empty() ? nullptr : W(target), flags));
}

win::BOOL Win32Files::CreateDirectoryW(std::u16string_view path) {
  return Result(::CreateDirectoryW(W(Z(path)), nullptr));
}

win::BOOL Win32Files::RemoveDirectoryW(std::u16string_view path) { return Result(::RemoveDirectoryW(W(Z(path)))); }

win::DWORD Win32Files::GetFileAttributesW(std::u16string_view path) {
  const DWORD a = ::GetFileAttributesW(W(Z(path)));
  KeepLastError();
  return a;
}

win::BOOL Win32Files::SetFileAttributesW(std::u16string_view path, win::DWORD attributes) {
  return Result(::SetFileAttributesW(W(Z(path)), attributes));
}

std::u16string Win32Files::GetCurrentDirectoryW() {
  auto out = Sized([](wchar_t* b, DWORD n) { return ::GetCurrentDirectoryW(n, b); });
  KeepLastError();
  return out;
}

win::BOOL Win32Files::SetCurrentDirectoryW(std::u16string_view path) {
  return Result(::SetCurrentDirectoryW(W(Z(path))));
}

std::u16string Win32Files::GetModuleFileNameW() {
  // This call returns the size it truncated to, not the size it needs: grow until it fits.
  std::vector<wchar_t> buf(MAX_PATH + 1);
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    KeepLastError();
    if (n == 0) return {};
    if (n < buf.size() - 1 || buf.size() >= 32768) return U(buf.data(), n);
    buf.resize(buf.size() * 2);
  }
}

std::u16string Win32Files::GetFullPathNameW(std::u16string_view path) {
  const std::u16string p(path);
  auto out = Sized([&](wchar_t* b, DWORD n) { return ::GetFullPathNameW(W(p), n, b, nullptr); });
  KeepLastError();
  return out;
}

std::u16string Win32Files::ExpandEnvironmentStringsW(std::u16string_view text) {
  const std::u16string t(text);
  // The count returned includes the terminator.
  std::vector<wchar_t> buf(t.size() + 64);
  for (int round = 0; round < 4; ++round) {
    const DWORD n = ::ExpandEnvironmentStringsW(W(t), buf.data(), static_cast<DWORD>(buf.size()));
    KeepLastError();
    if (n == 0) return t;
    if (n <= buf.size()) return U(buf.data(), n - 1);
    buf.resize(n);
  }
  return t;
}

win::BOOL Win32Files::GetEnvironmentVariableW(std::u16string_view name, std::u16string* value) {
  const std::u16string n(name);
  std::vector<wchar_t> buf(256);
  for (int round = 0; round < 4; ++round) {
    ::SetLastError(NO_ERROR);
    const DWORD got = ::GetEnvironmentVariableW(W(n), buf.data(), static_cast<DWORD>(buf.size()));
    const DWORD err = ::GetLastError();
    if (got == 0 && err != NO_ERROR) return Fail(err);
    if (got < buf.size()) {
      if (value) *value = U(buf.data(), got);
      return Result(TRUE);
    }
    buf.resize(got);
  }
  return Fail(ERROR_NOT_ENOUGH_MEMORY);
}

win::DWORD Win32Files::GetLogicalDrives() {
  const DWORD mask = ::GetLogicalDrives();
  KeepLastError();
  return mask;
}

std::u16string Win32Files::GetLogicalDriveStringsW() {
  std::vector<wchar_t> buf(4 * 26 + 2);
  for (int round = 0; round < 4; ++round) {
    const DWORD n = ::GetLogicalDriveStringsW(static_cast<DWORD>(buf.size()), buf.data());
    KeepLastError();
    if (n == 0) return std::u16string(1, u'\0');
    // n leaves out the list's final terminator.
    if (n < buf.size()) return U(buf.data(), n + 1);
    buf.resize(n + 1);
  }
  return std::u16string(1, u'\0');
}

win::UINT Win32Files::GetDriveTypeW(std::u16string_view root) {
  const std::u16string r(root);
  const UINT type = ::GetDriveTypeW(OrNull(r));
  KeepLastError();
  return type;
}

win::BOOL Win32Files::GetVolumeInformationW(std::u16string_view root, std::u16string* volumeName,
                                            win::DWORD* serialNumber) {
  const std::u16string r(root);
  wchar_t name[MAX_PATH + 1] = {};
  DWORD serial = 0;
  const BOOL ok = ::GetVolumeInformationW(OrNull(r), name, MAX_PATH + 1, &serial, nullptr, nullptr, nullptr, 0);
  if (ok) {
    if (volumeName) *volumeName = U(name);
    if (serialNumber) *serialNumber = serial;
  }
  return Result(ok);
}

win::BOOL Win32Files::GetDiskFreeSpaceExW(std::u16string_view path, win::ULONGLONG* freeToCaller,
                                          win::ULONGLONG* total, win::ULONGLONG* totalFree) {
  const std::u16string p(path);
  ULARGE_INTEGER caller, all, free;
  caller.QuadPart = all.QuadPart = free.QuadPart = 0;
  const BOOL ok = ::GetDiskFreeSpaceExW(OrNull(p), &caller, &all, &free);
  if (ok) {
    if (freeToCaller) *freeToCaller = caller.QuadPart;
    if (total) *total = all.QuadPart;
    if (totalFree) *totalFree = free.QuadPart;
  }
  return Result(ok);
}

std::unique_ptr<win::IFileSystem> MakeFiles() { return std::make_unique<Win32Files>(); }

}  // namespace win32
