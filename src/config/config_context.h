// The site settings and the sealed store that every configuration operation works on. A program
// keeps one ConfigContext for its whole run; the operations of this module take it explicitly.
#pragma once

#include <cstdint>
#include <string>

#include "config/sealed_store.h"
#include "crypto/digest.h"
#include "logging/ilogger.h"

namespace qz {

inline constexpr uint32_t kDefaultMenu = 0xF0;
inline constexpr int32_t kDefaultHttpPort = 80;
inline constexpr int32_t kDefaultHttpsPort = 443;

// Field limits in bytes, terminator included.
inline constexpr size_t kSerialField = 40;
inline constexpr size_t kServerField = 80;
inline constexpr size_t kPathField = 260;

struct SiteSettings {
  std::string serial;             // ANSI; empty when none is registered
  std::u16string installFolder;
  std::string installFolderAnsi;
  uint32_t clientId = 0;          // 0: the server has not assigned one
  std::string server;             // ANSI
  std::string pkServer;           // ANSI; empty when none
  int32_t httpPort = 0;
  int32_t httpsPort = 0;
  uint32_t menu = kDefaultMenu;
  Digest configDigest{};          // of the stored server.cfg
  Digest definitionDigest{};      // of the module definition file last fetched
  std::string agentGuid;          // 32 characters once known
};

// Transitional, until every caller uses the store: the earlier cipher members as views of the
// store's keys. The site view's SetPassword sets the site serial; the base view ignores it.
class StoreCipherView final : public IqzAES {
 public:
  StoreCipherView(SealedStore& store, bool site) : store_(store), site_(site) {}
  void SetPassword(std::string_view password) override {
    if (site_) store_.SetSiteSerial(password);
  }
  int Encrypt(std::span<uint8_t> out, std::span<const uint8_t> in) override { return Key()->Encrypt(out, in); }
  int Decrypt(std::span<uint8_t> out, std::span<const uint8_t> in) override { return Key()->Decrypt(out, in); }
  int SaveEncrypted(std::string_view ansiPath, std::string_view text) override {
    return Key()->SaveEncrypted(ansiPath, text);
  }
  int LoadEncrypted(std::string_view ansiPath, std::string* out, size_t outSize) override {
    return Key()->LoadEncrypted(ansiPath, out, outSize);
  }

 private:
  std::shared_ptr<qzAES> Key() const { return site_ ? store_.Site() : store_.Base(); }
  SealedStore& store_;
  bool site_;
};

struct ConfigContext {
  SiteSettings settings;
  // The sealed registry values and the stored server.cfg, each under its own key.
  SealedStore store;
  StoreCipherView registryCipher{store, true};
  StoreCipherView fileCipher{store, false};
  // Null: the operations log nothing (the installer's forms, or before a log exists).
  ILogger* logger = nullptr;

  template <class... A>
  void Log(std::u16string_view tag, std::u16string_view func, int level, std::u16string_view fmt,
           const A&... a) {
    if (logger) logger->Log(tag, func, level, fmt, a...);
  }
};

}  // namespace qz
