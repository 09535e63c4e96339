// What the fuzz targets share: a fixed clock, UTF-8 as the code page, containers in memory, and a
// certificate that opens every signature block to a record the target chooses (so inputs reach the
// unpacker without an RSA key that could sign them).
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>

#include "crypto/digest.h"
#include "crypto/zip_archive.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace qzfuzz {

class FixedTime : public win::ITime {
 public:
  uint64_t GetSystemTimeMs() override { return 1735689600000ull; }  // 2025-01-01
  win::SYSTEMTIME GetSystemTime() override { return win::SystemTimeFromUnixMs(GetSystemTimeMs()); }
  win::SYSTEMTIME GetLocalTime() override { return GetSystemTime(); }
  win::SYSTEMTIME UtcMsToLocal(uint64_t ms) override { return win::SystemTimeFromUnixMs(ms); }
  uint64_t GetTickCount64() override { return 0; }
  void Sleep(win::DWORD) override {}
  win::HANDLE CreateEventW(win::BOOL, win::BOOL) override { return nullptr; }
  win::BOOL SetEvent(win::HANDLE) override { return win::FALSE; }
  win::BOOL ResetEvent(win::HANDLE) override { return win::FALSE; }
  win::DWORD WaitForSingleObject(win::HANDLE, win::DWORD, win::WaitKind) override { return 0xFFFFFFFFu; }
};

class Utf8Os : public win::IOsInfo {
 public:
  win::BOOL GetVersionExW(win::OSVERSIONINFOEXW*) override { return win::FALSE; }
  win::BOOL VerifyVersionInfoW(const win::OSVERSIONINFOEXW&, win::DWORD, win::ULONGLONG) override {
    return win::FALSE;
  }
  win::BOOL GetNativeSystemInfo(win::SYSTEM_INFO*) override { return win::FALSE; }
  void GetSystemInfo(win::SYSTEM_INFO* info) override { *info = {}; }
  win::BOOL IsWow64Process(win::BOOL* w) override {
    *w = win::FALSE;
    return win::TRUE;
  }
  win::LANGID GetUserDefaultUILanguage() override { return 0x409; }
  win::UINT GetACP() override { return win::CP_UTF8; }
  std::u16string MultiByteToWide(win::UINT, std::string_view b) override { return win::Utf8ToWide(b); }
  std::string WideToMultiByte(win::UINT, std::u16string_view t) override { return win::WideToUtf8(t); }
  std::u16string GetComputerNameW() override { return u"FUZZ"; }
};

inline void UsePlatform() {
  static win::Platform* platform = [] {
    auto* p = new win::Platform;
    p->SetTime(std::make_unique<FixedTime>());
    p->SetOs(std::make_unique<Utf8Os>());
    win::Platform::SetCurrent(p);
    return p;
  }();
  (void)platform;
}

class MemoryStream : public qz::IContainerStream {
 public:
  MemoryStream(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Read(void* buffer, uint32_t n, uint32_t* got) override {
    const size_t k = std::min<size_t>(n, size_ - at_);
    if (k) std::memcpy(buffer, data_ + at_, k);
    at_ += k;
    *got = static_cast<uint32_t>(k);
    return true;
  }
  bool Tell(int64_t* p) override {
    *p = static_cast<int64_t>(at_);
    return true;
  }
  bool Seek(int64_t p) override {
    if (p < 0 || static_cast<size_t>(p) > size_) return false;
    at_ = static_cast<size_t>(p);
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

class NullSink : public qz::IEntrySink {
 public:
  bool Create(std::string_view) override { return true; }
  bool Write(const uint8_t*, size_t) override { return true; }
  void Close() override {}
};

// Opens any block to the record of the payload it is given.
class RecordCert : public qz::IRSACert {
 public:
  void SignFor(const uint8_t* payload, size_t size) {
    record_.fill(0);
    record_[0] = 1;
    for (int i = 0; i < 8; ++i) record_[8 + i] = static_cast<uint8_t>(static_cast<uint64_t>(size) >> (8 * i));
    const qz::Digest d = qz::DigestMemory(std::span(payload, size));
    std::copy(d.begin(), d.end(), record_.begin() + 16);
  }
  int Load(std::string_view, const qz::IRSACert*) override { return -1; }
  std::string_view serial() const override { return "1000"; }
  std::string_view subjectKeyId() const override { return "00"; }
  int PublicDecrypt(std::span<uint8_t> out, std::span<const uint8_t> in) const override {
    if (in.size() != 256 || out.size() < record_.size()) return -1;
    std::copy(record_.begin(), record_.end(), out.begin());
    return static_cast<int>(record_.size());
  }

 private:
  std::array<uint8_t, 48> record_{};
};

// The container header that RecordCert accepts, followed by the payload.
inline std::string Wrap(const uint8_t* payload, size_t size) {
  std::array<uint8_t, 256> block{};
  const uint32_t check = qz::ContainerCheckValue(block);
  std::string out;
  for (uint32_t v : {qz::kContainerMagic, check}) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
  }
  out.append(256, '\0');
  out.append(reinterpret_cast<const char*>(payload), size);
  return out;
}

}  // namespace qzfuzz
