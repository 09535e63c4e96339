// The state of one updater run that every workflow reaches: the command, the OS facts, the site
// settings with their sealed store, the logger, the certificate cipher and the folders.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "config/config_context.h"
#include "config/configure.h"
#include "crypto/aes.h"
#include "crypto/crypto_util.h"
#include "logging/enc_logger.h"
#include "crypto/zip_archive.h"
#include "protocol/agent_query.h"
#include "protocol/certificates.h"
#include "protocol/os_identity.h"
#include "syscontrol/agent_ipc.h"
#include "syscontrol/context.h"
#include "updater/entry.h"

namespace qz {

inline constexpr char16_t kSetupFolderTemplate[] = u"%systemdrive%\\bc8f992f5df34654945e6e32a5aa400c";

struct UpdaterContext {
  UpdaterContext();

  UpdaterCommand command;
  OsInformation os;
  // Settings from the registry (or server.cfg in install mode) and the sealed store.
  ConfigContext config;
  // What server.cfg said in install mode (showMsg among it).
  ConfigRecord configRecord;
  // Encrypted records; closed until the mode's initialisation opens it.
  std::unique_ptr<EncLogger> logger;
  // Opens the encrypted certificate files.
  qzAES certCipher;
  std::u16string setupFolder;
  std::u16string workingFolder;
  // The server address as an IPv4 number in host byte order; 0xFFFFFFFF for a host name.
  uint32_t serverAddress = 0xFFFFFFFFu;
  bool success = false;
  // The three RPC bindings of the agent's processes (none in install mode).
  AgentBindings bindings;
  // The server session: the request digests' key templates and the context of every command.
  qzCryptoUtil signer;
  AgentContext agent;
  // The CA and file-signing certificates (keyed with certCipher) and the package reader.
  AgentCertificates certs;
  ZipArchive archive;

  // What the system-control work needs of this run.
  SysContext Sys();
};

// The current run's state. NewUpdaterContext replaces it with a fresh one (each UpdaterMain call).
UpdaterContext& Updater();
UpdaterContext& NewUpdaterContext();

}  // namespace qz
