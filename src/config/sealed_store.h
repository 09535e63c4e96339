// The agent's sealed values and its stored server.cfg, each under the key it is sealed with. The
// store owns both keys: the base key (empty password) and the site key (the site serial as the
// password). Every accessor names its value, so no caller picks or re-keys a cipher.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "config/reg_key.h"
#include "crypto/digest.h"
#include "platform/types.h"

namespace qz {

class qzAES;

class SealedStore {
 public:
  SealedStore();
  SealedStore(const SealedStore&) = delete;
  SealedStore& operator=(const SealedStore&) = delete;

  // Builds the site key for serial; the serial it already holds keeps the key as it is. Until the
  // first call the site key is a cipher that was never keyed (all-zero key and IV), so a value
  // sealed by anyone else does not open with it. The empty serial gives the base key.
  void SetSiteSerial(std::string_view serial);

  // Common\value06, under the base key: the serial text, at most 39 characters.
  win::LONG ReadSerial(const CommonRegKey& common, std::string* serial) const;
  win::LONG WriteSerial(const CommonRegKey& common, std::string_view serial) const;

  // The other Common values, under the site key.
  // value02: false when it cannot be read (an empty text gives the default folder) or, when
  // written, needs more than 260 bytes as ANSI text.
  bool ReadInstallFolder(const CommonRegKey& common, std::u16string* folder) const;
  bool WriteInstallFolder(const CommonRegKey& common, std::u16string_view folder) const;
  win::LONG ReadClientId(const CommonRegKey& common, uint32_t* id) const;
  win::LONG WriteClientId(const CommonRegKey& common, uint32_t id) const;
  // value03 and value11: texts of at most 79 characters.
  win::LONG ReadServer(const CommonRegKey& common, std::string* server) const;
  win::LONG WriteServer(const CommonRegKey& common, std::string_view server) const;
  win::LONG ReadPkServer(const CommonRegKey& common, std::string* server) const;
  win::LONG WritePkServer(const CommonRegKey& common, std::string_view server) const;
  win::LONG ReadHttpPort(const CommonRegKey& common, uint32_t* port) const;
  win::LONG WriteHttpPort(const CommonRegKey& common, uint32_t port) const;
  win::LONG ReadHttpsPort(const CommonRegKey& common, uint32_t* port) const;
  win::LONG WriteHttpsPort(const CommonRegKey& common, uint32_t port) const;
  win::LONG ReadMenu(const CommonRegKey& common, uint32_t* menu) const;
  win::LONG WriteMenu(const CommonRegKey& common, uint32_t menu) const;
  // value09: the digest of the stored server.cfg.
  win::LONG ReadConfigDigest(const CommonRegKey& common, Digest* digest) const;
  win::LONG WriteConfigDigest(const CommonRegKey& common, const Digest& digest) const;
  // value10: the digest of the module definition file last fetched.
  win::LONG ReadDefinitionDigest(const CommonRegKey& common, Digest* digest) const;
  win::LONG WriteDefinitionDigest(const CommonRegKey& common, const Digest& digest) const;
  // value31: the highest signed build installed; a definition of a lower build is refused.
  win::LONG ReadHighestBuild(const CommonRegKey& common, uint32_t* build) const;
  win::LONG WriteHighestBuild(const CommonRegKey& common, uint32_t build) const;

  // PcKeeper\slot01, under the site key.
  win::LONG WritePcKeeperServer(const PcKeeperRegKey& pcKeeper, std::string_view server) const;

  // Agent values, under the site key.
  win::LONG ReadAgentBuild(const AgentRegKey& agent, uint32_t* build) const;
  win::LONG WriteAgentBuild(const AgentRegKey& agent, uint32_t build) const;
  win::LONG ReadConfigChecksum(const AgentRegKey& agent, Digest* checksum) const;
  win::LONG WriteConfigChecksum(const AgentRegKey& agent, const Digest& checksum) const;
  win::LONG ReadPlainDownload(const AgentRegKey& agent, uint32_t* flag) const;
  // The last unsent report: UTF-16 text stored with its terminator, a 4-byte kind, an 8-byte time.
  win::LONG WriteUnsentText(const AgentRegKey& agent, std::u16string_view text) const;
  win::LONG WriteUnsentKind(const AgentRegKey& agent, uint32_t kind) const;
  win::LONG WriteUnsentTime(const AgentRegKey& agent, uint64_t time) const;

  // The stored form of server.cfg, under the base key (qzAES SaveEncrypted / LoadEncrypted results).
  int SaveConfigFile(std::string_view ansiPath, std::string_view text) const;
  int LoadConfigFile(std::string_view ansiPath, std::string* text, size_t capacity) const;

 private:
  // A key once built is never changed, so a copy handed out stays valid while the site moves on
  // (the alive thread seals while the main thread may set another serial).
  std::shared_ptr<qzAES> Base() const;
  std::shared_ptr<qzAES> Site() const;

  mutable std::mutex lock_;
  mutable std::shared_ptr<qzAES> base_;  // built at its first use
  std::shared_ptr<qzAES> site_;
  std::optional<std::string> siteSerial_;  // none: never keyed
};

}  // namespace qz
