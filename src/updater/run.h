// One run of the updater: everything its modes work on, built once by the entry and handed down.
// The server session's parts point at each other (the agent context at the query, the signer, the
// certificates and the settings); they are wired once, here, and live exactly as long as the run.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/config_context.h"
#include "config/configure.h"
#include "crypto/aes.h"
#include "crypto/crypto_util.h"
#include "crypto/digest.h"
#include "crypto/zip_archive.h"
#include "logging/enc_logger.h"
#include "platform/file_util.h"
#include "protocol/agent_query.h"
#include "protocol/alive_cycle.h"
#include "protocol/certificates.h"
#include "protocol/os_identity.h"
#include "syscontrol/agent_ipc.h"
#include "syscontrol/context.h"
#include "syscontrol/driver_service.h"
#include "updater/entry.h"

namespace qz {

inline constexpr char16_t kSetupFolderTemplate[] = u"%systemdrive%\\bc8f992f5df34654945e6e32a5aa400c";
inline constexpr char16_t kModuleFolderName[] = u"module";

// The folders a run works in, absolute, fixed by the mode's initialisation.
struct UpdaterFolders {
  std::u16string install;  // the agent's install folder
  std::u16string module;   // "<install>\module": where an update prepares the files it installs
  std::u16string setup;    // install mode: the folder the installer unpacked into
};

// A file this run wrote into the module folder and digested: the digest, and the size and write
// time the file had then, by which the install step knows it is still those bytes.
struct CheckedFile {
  Digest digest{};
  uint64_t size = 0;
  uint64_t written = 0;
};

// What this run's definition lets the install step do: the files it may take from the module
// folder, each with the SHA-256 it must have, and the installed files it retires.
struct InstallPlan {
  std::map<std::u16string, Digest> files;  // by case-folded name
  std::vector<std::u16string> removals;
  std::map<std::u16string, CheckedFile> checked;  // by case-folded name
  // The definition's checksum of the new configuration, recorded once that is installed.
  std::optional<Digest> configChecksum;
  // The build number the definition carries signed, when it carries one.
  std::optional<uint32_t> signedBuild;
};

class UpdaterRun {
 public:
  // logger: the run's log (a fresh, closed one when null).
  explicit UpdaterRun(const UpdaterCommand& command = UpdaterCommand(), std::unique_ptr<EncLogger> logger = nullptr);
  ~UpdaterRun();
  UpdaterRun(const UpdaterRun&) = delete;
  UpdaterRun& operator=(const UpdaterRun&) = delete;

  const UpdaterCommand command;
  OsInformation os;
  // Settings from the registry (or server.cfg in install mode) and the sealed store.
  ConfigContext config;
  // What server.cfg said in install mode (showMsg among it).
  ConfigRecord configRecord;
  // Encrypted records; closed until the mode's initialisation opens it.
  std::unique_ptr<EncLogger> logger;
  // Opens the encrypted certificate files.
  qzAES certCipher;
  bool success = false;
  InstallPlan plan;
  // The three RPC bindings of the agent's processes (none in install mode).
  AgentBindings bindings;
  // The drivers this run probed, started or stopped.
  DriverRecords drivers;
  // The server session: the query, the request digests' key templates, the CA and file-signing
  // certificates (keyed with certCipher) and the context of every command.
  AgentQuery query;
  qzCryptoUtil signer;
  AgentCertificates certs;
  AgentContext agent;
  ZipArchive archive;
  // What the system-control work needs of this run.
  SysContext sys;
  // The workflows make the install folder current (the programs they start inherit it); the
  // directory the run began in comes back when the run ends.
  win::ScopedCurrentDirectory workDirectory;
  // Declared last: it is stopped before the session it uses goes.
  AliveCycle alive;

  const UpdaterFolders& folders() const { return folders_; }
  // Once the install folder is known (from the registry, or made in install mode).
  void FixFolders(std::u16string install, std::u16string setup = u"");

 private:
  UpdaterFolders folders_;
};

}  // namespace qz
