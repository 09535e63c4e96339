// A registry that passes every call through except the ones a test makes fail: opening or
// creating named keys, setting named values.
#pragma once

#include <memory>
#include <set>
#include <string>

#include "platform/platform.h"
#include "platform/text.h"

namespace qztest {

class FaultRegistry : public win::IRegistry {
 public:
  explicit FaultRegistry(std::unique_ptr<win::IRegistry> inner) : inner_(std::move(inner)) {}

  // Key paths as passed to the open/create calls (case-insensitive), value names as set.
  std::set<std::u16string> failKeys;
  std::set<std::u16string> failValues;
  // Key paths whose deletion fails (opening them still works).
  std::set<std::u16string> failDeletes;

  // Swaps itself into the current platform; the previous registry comes back on destruction.
  static FaultRegistry& Install() {
    auto& p = win::Platform::Current();
    auto fault = std::make_unique<FaultRegistry>(nullptr);
    FaultRegistry& ref = *fault;
    ref.inner_ = p.SetRegistry(std::move(fault));
    return ref;
  }
  // Hands back what it wrapped.
  std::unique_ptr<win::IRegistry> Release() { return std::move(inner_); }
  static void Uninstall() {
    auto& p = win::Platform::Current();
    auto* self = dynamic_cast<FaultRegistry*>(&p.Registry());
    if (self) p.SetRegistry(std::move(self->inner_));
  }

  win::LONG RegOpenKeyExW(win::HKEY k, std::u16string_view s, win::DWORD o, win::REGSAM sam, win::HKEY* r) override {
    if (FailsKey(s)) return win::ERROR_ACCESS_DENIED;
    return inner_->RegOpenKeyExW(k, s, o, sam, r);
  }
  win::LONG RegCreateKeyExW(win::HKEY k, std::u16string_view s, win::DWORD rsv, const char16_t* c, win::DWORD o,
                            win::REGSAM sam, void* sec, win::HKEY* r, win::DWORD* d) override {
    if (FailsKey(s)) return win::ERROR_ACCESS_DENIED;
    return inner_->RegCreateKeyExW(k, s, rsv, c, o, sam, sec, r, d);
  }
  win::LONG RegCloseKey(win::HKEY k) override { return inner_->RegCloseKey(k); }
  win::LONG RegQueryValueExW(win::HKEY k, std::u16string_view n, win::DWORD* t, win::BYTE* d, win::DWORD* cb) override {
    return inner_->RegQueryValueExW(k, n, t, d, cb);
  }
  win::LONG RegQueryValueExA(win::HKEY k, std::string_view n, win::DWORD* t, win::BYTE* d, win::DWORD* cb) override {
    return inner_->RegQueryValueExA(k, n, t, d, cb);
  }
  win::LONG RegSetValueExW(win::HKEY k, std::u16string_view n, win::DWORD t, const win::BYTE* d,
                           win::DWORD cb) override {
    if (failValues.count(std::u16string(n))) return win::ERROR_ACCESS_DENIED;
    return inner_->RegSetValueExW(k, n, t, d, cb);
  }
  win::LONG RegSetValueExA(win::HKEY k, std::string_view n, win::DWORD t, const win::BYTE* d,
                           win::DWORD cb) override {
    if (failValues.count(win::Utf8ToWide(n))) return win::ERROR_ACCESS_DENIED;
    return inner_->RegSetValueExA(k, n, t, d, cb);
  }
  win::LONG RegDeleteValueW(win::HKEY k, std::u16string_view n) override { return inner_->RegDeleteValueW(k, n); }
  win::LONG RegEnumKeyExW(win::HKEY k, win::DWORD i, char16_t* n, win::DWORD* c) override {
    return inner_->RegEnumKeyExW(k, i, n, c);
  }
  win::LONG RegEnumValueW(win::HKEY k, win::DWORD i, char16_t* n, win::DWORD* c, win::DWORD* t, win::BYTE* d,
                          win::DWORD* cb) override {
    return inner_->RegEnumValueW(k, i, n, c, t, d, cb);
  }
  win::LONG RegQueryInfoKeyW(win::HKEY k, win::DWORD* s, win::DWORD* v) override {
    return inner_->RegQueryInfoKeyW(k, s, v);
  }
  win::LONG RegDeleteKeyExW(win::HKEY k, std::u16string_view s, win::REGSAM v) override {
    if (FailsKey(s) || FailsDelete(s)) return win::ERROR_ACCESS_DENIED;
    return inner_->RegDeleteKeyExW(k, s, v);
  }
  win::LONG SHDeleteKeyW(win::HKEY k, std::u16string_view s) override {
    if (FailsKey(s) || FailsDelete(s)) return win::ERROR_ACCESS_DENIED;
    return inner_->SHDeleteKeyW(k, s);
  }

 private:
  bool FailsKey(std::u16string_view s) const {
    for (const auto& k : failKeys)
      if (win::EqualsNoCase(k, s)) return true;
    return false;
  }
  bool FailsDelete(std::u16string_view s) const {
    for (const auto& k : failDeletes)
      if (win::EqualsNoCase(k, s)) return true;
    return false;
  }

  std::unique_ptr<win::IRegistry> inner_;
};

}  // namespace qztest
