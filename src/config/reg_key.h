// Open registry keys that close themselves, and the typed keys of the agent's tree: a sealed value
// can only be handed the key it lives in. Code outside this module opens them here, never by path.
#pragma once

#include <string_view>

#include "platform/registry.h"
#include "platform/types.h"

namespace qz {

// Closes the key it holds.
class RegKey {
 public:
  RegKey() = default;
  explicit RegKey(win::HKEY key) : key_(key) {}
  ~RegKey() { Close(); }
  RegKey(RegKey&& o) noexcept : key_(o.release()) {}
  RegKey& operator=(RegKey&& o) noexcept {
    if (this != &o) {
      Close();
      key_ = o.release();
    }
    return *this;
  }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  win::HKEY get() const { return key_; }
  win::HKEY* put() {
    Close();
    return &key_;
  }
  win::HKEY release() {
    win::HKEY k = key_;
    key_ = nullptr;
    return k;
  }
  void Close();
  explicit operator bool() const { return key_ != nullptr; }

 private:
  win::HKEY key_ = nullptr;
};

// HKLM\...\KSM\Common, Agent and PcKeeper.
class CommonRegKey : public RegKey {};
class AgentRegKey : public RegKey {};
class PcKeeperRegKey : public RegKey {};

// RegOpenKeyExW with the given rights; the registry's result.
win::LONG OpenCommonKey(win::REGSAM access, CommonRegKey* key);
win::LONG OpenAgentKey(win::REGSAM access, AgentRegKey* key);
// Opens the Agent key, or creates it when it does not open.
win::LONG OpenOrCreateAgentKey(AgentRegKey* key);

// Opens HKLM\subKey, or creates it when it does not open.
win::LONG OpenOrCreateKey(std::u16string_view subKey, win::HKEY* key);

}  // namespace qz
