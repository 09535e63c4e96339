#include "updater/initialize.h"

#include <vector>

#include "config/agent_identity.h"
#include "config/configure.h"
#include "config/registry_layout.h"
#include "crypto/secrets.h"
#include "logging/logger.h"
#include "platform/platform.h"

namespace qz {

using namespace win;

namespace {

constexpr char16_t kLogPrefix[] = u"qzUpdater";
constexpr uint32_t kInvalidAddress = 0xFFFFFFFFu;

int OpenLog(UpdaterContext& u) {
  if (int rc = u.logger->Open(u.workingFolder + u"\\logs", kLogPrefix)) return rc;
  u.logger->SetLogLevel(kLogDebug);
  return 0;
}

// One part of an address: decimal, octal after a leading 0, hex after 0x.
bool ParsePart(std::string_view s, uint64_t* v) {
  if (s.empty()) return false;
  unsigned base = 10;
  if (s.size() > 1 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
    if (s.empty()) return false;
  } else if (s.size() > 1 && s[0] == '0') {
    base = 8;
    s.remove_prefix(1);
  }
  uint64_t n = 0;
  for (char c : s) {
    unsigned d;
    if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
    else return false;
    if (d >= base) return false;
    n = n * base + d;
    if (n > 0xFFFFFFFFull) return false;
  }
  *v = n;
  return true;
}

}  // namespace

uint32_t Ipv4HostOrder(std::string_view text) {
  std::vector<uint64_t> parts;
  while (true) {
    const size_t dot = text.find('.');
    uint64_t v = 0;
    if (!ParsePart(text.substr(0, dot), &v)) return kInvalidAddress;
    parts.push_back(v);
    if (dot == std::string_view::npos) break;
    if (parts.size() == 4) return kInvalidAddress;
    text.remove_prefix(dot + 1);
  }
  // The last part fills every byte the earlier ones leave.
  const size_t lead = parts.size() - 1;
  for (size_t i = 0; i < lead; ++i)
    if (parts[i] > 0xFF) return kInvalidAddress;
  const uint64_t lastLimit = lead == 0 ? 0xFFFFFFFFull : (1ull << (8 * (4 - lead))) - 1;
  if (parts.back() > lastLimit) return kInvalidAddress;
  uint32_t address = 0;
  for (size_t i = 0; i < lead; ++i) address |= static_cast<uint32_t>(parts[i]) << (24 - 8 * i);
  return address | static_cast<uint32_t>(parts.back());
}

bool PrepareInstall(UpdaterContext& u) {
  SiteSettings& s = u.config.settings;
  RegKey common;
  if (CreateKeyTree(&common) != 0) return false;
  u.certCipher.SetKeyInput(secrets::CertKeyInput());
  u.setupFolder = Files().ExpandEnvironmentStringsW(kSetupFolderTemplate);

  // The tree was just deleted, so this is the default folder unless another program raced us.
  if (!ReadInstallFolder(u.config.registryCipher, common.get(), &s.installFolder))
    s.installFolder = DefaultInstallFolder();
  s.installFolderAnsi = WideToAnsi(s.installFolder);
  if (s.installFolder.size() + 1 > MAX_PATH || s.installFolderAnsi.size() + 1 > MAX_PATH) return false;
  if (CreateFolderPath(s.installFolder) != 0) return false;
  u.workingFolder = s.installFolder;

  if (OpenLog(u) != 0) return false;
  u.config.registryCipher.SetPassword("");
  u.config.fileCipher.SetPassword("");

  if (!ReadConfigure(u.config, &u.configRecord, common.get(), u.setupFolder, false, false)) return false;
  common.Close();
  GetAgentGUID(u.config);
  u.serverAddress = Ipv4HostOrder(s.server);

  // The certificate copy, the driver clean-up and placement and the network filters come with
  // the file-placement and driver work.

  if (!Files().SetCurrentDirectoryW(s.installFolder)) return false;
  if (!WriteConfigure(u.config)) return false;

  // The web-query set-up with the certificate test and the archive reader come with the transport.
  return true;
}

int Initialize(UpdaterContext& u) {
  if (int rc = ReadSiteSettings(u.config)) return 3000 + rc;
  u.workingFolder = u.config.settings.installFolder;
  if (OpenLog(u) != 0) return 1;
  u.certCipher.SetKeyInput(secrets::CertKeyInput());
  // The web-query set-up comes with the transport.
  GetAgentGUID(u.config);
  // The archive reader comes with its module.
  u.bindings.Create(*u.logger);
  return 0;
}

}  // namespace qz
