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

struct ConfigContext {
  SiteSettings settings;
  // The sealed registry values and the stored server.cfg, each under its own key.
  SealedStore store;
  // Null: the operations log nothing (the installer's forms, or before a log exists).
  ILogger* logger = nullptr;

  template <class... A>
  void Log(std::u16string_view tag, std::u16string_view func, int level, std::u16string_view fmt,
           const A&... a) {
    if (logger) logger->Log(tag, func, level, fmt, a...);
  }
};

}  // namespace qz
