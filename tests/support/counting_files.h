// A file system that passes every call on to the one it wraps and counts what went through.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/files.h"

namespace qztest {

// Passes every call through and counts the reads and the bytes written, to show what was read
// or written.
class CountingFiles : public win::IFileSystem {
 public:
  explicit CountingFiles(std::unique_ptr<win::IFileSystem> inner) : inner_(std::move(inner)) {}
  int reads = 0;
  win::DWORD bytesAsked = 0;
  std::atomic<uint64_t> bytesWritten{0};

  win::HANDLE CreateFileW(std::u16string_view p, win::DWORD a, win::DWORD s, win::DWORD c, win::DWORD f) override {
    return inner_->CreateFileW(p, a, s, c, f);
  }
  win::BOOL ReadFile(win::HANDLE h, void* b, win::DWORD n, win::DWORD* r) override {
    ++reads;
    bytesAsked += n;
    return inner_->ReadFile(h, b, n, r);
  }
  win::BOOL WriteFile(win::HANDLE h, const void* b, win::DWORD n, win::DWORD* w) override {
    const win::BOOL ok = inner_->WriteFile(h, b, n, w);
    if (ok && w) bytesWritten += *w;
    return ok;
  }
  // Hands back what it wrapped.
  std::unique_ptr<win::IFileSystem> Release() { return std::move(inner_); }
  win::DWORD SetFilePointer(win::HANDLE h, win::LONG d, win::LONG* hi, win::DWORD m) override {
    return inner_->SetFilePointer(h, d, hi, m);
  }
  win::BOOL SetFilePointerEx(win::HANDLE h, int64_t d, int64_t* n, win::DWORD m) override {
    return inner_->SetFilePointerEx(h, d, n, m);
  }
  win::BOOL GetFileSizeEx(win::HANDLE h, int64_t* s) override { return inner_->GetFileSizeEx(h, s); }
  win::BOOL SetEndOfFile(win::HANDLE h) override { return inner_->SetEndOfFile(h); }
  win::BOOL FlushFileBuffers(win::HANDLE h) override { return inner_->FlushFileBuffers(h); }
  win::BOOL DeleteFileW(std::u16string_view p) override { return inner_->DeleteFileW(p); }
  win::BOOL CopyFileW(std::u16string_view a, std::u16string_view b, win::BOOL f) override {
    return inner_->CopyFileW(a, b, f);
  }
  win::BOOL MoveFileW(std::u16string_view a, std::u16string_view b) override { return inner_->MoveFileW(a, b); }
  win::BOOL MoveFileExW(std::u16string_view a, std::u16string_view b, win::DWORD f) override {
    return inner_->MoveFileExW(a, b, f);
  }
  win::BOOL CreateDirectoryW(std::u16string_view p) override { return inner_->CreateDirectoryW(p); }
  win::BOOL RemoveDirectoryW(std::u16string_view p) override { return inner_->RemoveDirectoryW(p); }
  win::DWORD GetFileAttributesW(std::u16string_view p) override { return inner_->GetFileAttributesW(p); }
  win::BOOL SetFileAttributesW(std::u16string_view p, win::DWORD a) override { return inner_->SetFileAttributesW(p, a); }
  win::HANDLE FindFirstFileW(std::u16string_view p, win::WIN32_FIND_DATAW* d) override {
    return inner_->FindFirstFileW(p, d);
  }
  win::BOOL FindNextFileW(win::HANDLE h, win::WIN32_FIND_DATAW* d) override { return inner_->FindNextFileW(h, d); }
  win::BOOL FindClose(win::HANDLE h) override { return inner_->FindClose(h); }
  std::u16string GetCurrentDirectoryW() override { return inner_->GetCurrentDirectoryW(); }
  win::BOOL SetCurrentDirectoryW(std::u16string_view p) override { return inner_->SetCurrentDirectoryW(p); }
  std::u16string GetModuleFileNameW() override { return inner_->GetModuleFileNameW(); }
  std::u16string GetFullPathNameW(std::u16string_view p) override { return inner_->GetFullPathNameW(p); }
  std::u16string ExpandEnvironmentStringsW(std::u16string_view t) override {
    return inner_->ExpandEnvironmentStringsW(t);
  }
  win::BOOL GetEnvironmentVariableW(std::u16string_view n, std::u16string* v) override {
    return inner_->GetEnvironmentVariableW(n, v);
  }
  win::DWORD GetLogicalDrives() override { return inner_->GetLogicalDrives(); }
  std::u16string GetLogicalDriveStringsW() override { return inner_->GetLogicalDriveStringsW(); }
  win::UINT GetDriveTypeW(std::u16string_view r) override { return inner_->GetDriveTypeW(r); }
  win::BOOL GetVolumeInformationW(std::u16string_view r, std::u16string* n, win::DWORD* s) override {
    return inner_->GetVolumeInformationW(r, n, s);
  }
  win::BOOL GetDiskFreeSpaceExW(std::u16string_view p, win::ULONGLONG* a, win::ULONGLONG* b,
                                win::ULONGLONG* c) override {
    return inner_->GetDiskFreeSpaceExW(p, a, b, c);
  }

 private:
  std::unique_ptr<win::IFileSystem> inner_;
};

}  // namespace qztest
