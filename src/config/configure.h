// server.cfg: the plain source form and the stored (sealed) form, the updater's reader, the
// mirroring of its values into the registry and the writer of the stored form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "config/config_context.h"
#include "config/reg_key.h"

namespace qz {

inline constexpr char16_t kServerConfigName[] = u"server.cfg";
// The plain text of the document, and its sealed form.
inline constexpr size_t kConfigTextBuffer = 4096;

struct ConfigRecord {
  std::string serial;    // ANSI
  std::string server;    // ANSI
  std::string pkServer;  // ANSI; empty when none
  int32_t httpPort = kDefaultHttpPort;
  int32_t httpsPort = kDefaultHttpsPort;
  uint32_t menu = kDefaultMenu;
  bool showMsg = false;
};

// The document both writers produce; menuFormat is "%08X" (updater) or "%X" (installer).
std::string FormatServerConfig(std::string_view serial, std::string_view server, std::string_view pkServer,
                               int32_t httpPort, int32_t httpsPort, uint32_t menu, std::string_view menuFormat);
inline constexpr char kUpdaterMenuFormat[] = "%08X";
inline constexpr char kInstallerMenuFormat[] = "%X";

// Parses the document's core elements. False with the log line the failure calls for.
class Configure {
 public:
  // folder\server.cfg, plain or the stored (sealed) form.
  static bool Read(ConfigContext& ctx, std::u16string_view folder, bool sealed, ConfigRecord* record);
};

// Reads folder\server.cfg and mirrors it into the open Common key (write access): the serial
// under the base key, then the site key of that serial for the rest, which the store keeps.
// Update mode keeps a registered serial (and seals under it) and skips the install folder and
// the digest.
bool ReadConfigure(ConfigContext& ctx, ConfigRecord* record, const CommonRegKey& common, std::u16string_view folder,
                   bool updateMode, bool sealed);

// Common\value11 and PcKeeper\slot01 (the PcKeeper key only while text is not empty).
bool UpdatePcKeeperInfo(ConfigContext& ctx, const CommonRegKey& common, std::string_view pkServer);

// Writes the stored form from the settings in memory into folder\server.cfg and records its
// digest as value09.
bool WriteConfigure(ConfigContext& ctx, std::u16string_view folder);

}  // namespace qz
