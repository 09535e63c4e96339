// The installer's settings document (server.cfg of the setup folder), its registry step and its
// writer of the agent's stored server.cfg.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_context.h"

namespace qz {

// Reading results.
inline constexpr int kSettingsNotLoaded = 31;
inline constexpr int kSettingsNoRoot = 32;
inline constexpr int kSettingsNoSerial = 33;
inline constexpr int kSettingsNoServer = 34;
inline constexpr int kSettingsNoProductKind = 35;
inline constexpr int kSettingsNoMessage = 36;
inline constexpr int kSettingsNoShowUi = 37;
// An over-long serial or server gives its missing-element code; an over-long pk_server this one.
inline constexpr int kSettingsPkServerTooLong = 38;

// Writer results.
inline constexpr int kServerConfigNotCreated = -3002;
inline constexpr int kServerConfigShortWrite = -3003;

// A program of the addbin list.
struct ExtraProgram {
  bool wait = false;
  bool exec = false;
  bool copy = false;
  std::u16string fileName;  // expanded
  std::u16string path;      // expanded
  std::u16string options;   // expanded
};

struct InstallerSettings {
  std::string serial;       // ANSI
  std::string server;       // ANSI
  std::string productKind;  // ANSI
  std::u16string message;
  std::u16string showUi;
  std::u16string companyName;
  std::string pkServer;     // ANSI
  int32_t port = kDefaultHttpPort;
  int32_t sslPort = kDefaultHttpsPort;
  uint32_t menu = kDefaultMenu;
  bool showLogo = false;
  // Left as it was when the document has no addbin element.
  std::vector<ExtraProgram> extras;
};

// Fills settings from the document at ansiPath. 0 or 31..38; fields read before a failure stay filled.
int ReadInstallerSettings(std::string_view ansiPath, InstallerSettings* settings);
// The same over the document's bytes (the publisher tool checks an installer's document with it).
int ParseInstallerSettings(std::string_view text, InstallerSettings* settings);

// Rebuilds the agent's tree from the settings the preparation read and makes sure the agent has a
// GUID. 0, or the first error: 1..9 key tree, 20 serial, 21 server, 10..13 PC keeper server, 23
// HTTP port, 24 HTTPS port, 25 install folder.
int InstallerRegistryStep(ConfigContext& ctx, const InstallerSettings& settings, std::u16string_view installFolder);

// installFolder\server.cfg in the stored form (menu as "%X"), then its digest as value09 under the
// site key (the registry step's serial). 0, -3002 (not created) or -3003 (not fully written).
int WriteInstallerServerConfig(ConfigContext& ctx, const InstallerSettings& settings,
                               std::u16string_view installFolder);

}  // namespace qz
