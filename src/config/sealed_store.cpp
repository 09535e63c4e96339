#include "config/sealed_store.h"

#include "config/config_context.h"
#include "config/registry_keys.h"
#include "config/sealed_value.h"
#include "crypto/aes.h"

namespace qz {

using namespace win;

namespace {

std::string LittleEndian(uint64_t v, size_t bytes) {
  std::string out(bytes, '\0');
  for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<char>(v >> (8 * i));
  return out;
}

}  // namespace

SealedStore::SealedStore() : site_(std::make_shared<qzAES>()) {}

void SealedStore::SetSiteSerial(std::string_view serial) {
  std::lock_guard guard(lock_);
  if (siteSerial_ && *siteSerial_ == serial) return;
  auto site = std::make_shared<qzAES>();
  site->SetPassword(serial);
  site_ = std::move(site);
  siteSerial_ = std::string(serial);
}

std::shared_ptr<qzAES> SealedStore::Base() const {
  std::lock_guard guard(lock_);
  if (!base_) {
    auto base = std::make_shared<qzAES>();
    base->SetPassword("");
    base_ = std::move(base);
  }
  return base_;
}

std::shared_ptr<qzAES> SealedStore::Site() const {
  std::lock_guard guard(lock_);
  return site_;
}

LONG SealedStore::ReadSerial(const CommonRegKey& common, std::string* serial) const {
  return ReadSealedText(*Base(), common.get(), kValueSerial, kSerialField, serial, kSerialSealedBuffer);
}

LONG SealedStore::WriteSerial(const CommonRegKey& common, std::string_view serial) const {
  return WriteSealedText(*Base(), common.get(), kValueSerial, serial, kSerialSealedBuffer);
}

bool SealedStore::ReadInstallFolder(const CommonRegKey& common, std::u16string* folder) const {
  return qz::ReadInstallFolder(*Site(), common.get(), folder);
}

bool SealedStore::WriteInstallFolder(const CommonRegKey& common, std::u16string_view folder) const {
  return qz::WriteInstallFolder(*Site(), common.get(), folder);
}

LONG SealedStore::ReadClientId(const CommonRegKey& common, uint32_t* id) const {
  return ReadSealedDword(*Site(), common.get(), kValueClientId, id);
}

LONG SealedStore::WriteClientId(const CommonRegKey& common, uint32_t id) const {
  return WriteSealedDword(*Site(), common.get(), kValueClientId, id);
}

LONG SealedStore::ReadServer(const CommonRegKey& common, std::string* server) const {
  return ReadSealedText(*Site(), common.get(), kValueServer, kServerField, server);
}

LONG SealedStore::WriteServer(const CommonRegKey& common, std::string_view server) const {
  return WriteSealedText(*Site(), common.get(), kValueServer, server);
}

LONG SealedStore::ReadPkServer(const CommonRegKey& common, std::string* server) const {
  return ReadSealedText(*Site(), common.get(), kValuePkServer, kServerField, server);
}

LONG SealedStore::WritePkServer(const CommonRegKey& common, std::string_view server) const {
  return WriteSealedText(*Site(), common.get(), kValuePkServer, server);
}

LONG SealedStore::ReadHttpPort(const CommonRegKey& common, uint32_t* port) const {
  return ReadSealedDword(*Site(), common.get(), kValueHttpPort, port);
}

LONG SealedStore::WriteHttpPort(const CommonRegKey& common, uint32_t port) const {
  return WriteSealedDword(*Site(), common.get(), kValueHttpPort, port);
}

LONG SealedStore::ReadHttpsPort(const CommonRegKey& common, uint32_t* port) const {
  return ReadSealedDword(*Site(), common.get(), kValueHttpsPort, port);
}

LONG SealedStore::WriteHttpsPort(const CommonRegKey& common, uint32_t port) const {
  return WriteSealedDword(*Site(), common.get(), kValueHttpsPort, port);
}

LONG SealedStore::ReadMenu(const CommonRegKey& common, uint32_t* menu) const {
  return ReadSealedDword(*Site(), common.get(), kValueMenu, menu);
}

LONG SealedStore::WriteMenu(const CommonRegKey& common, uint32_t menu) const {
  return WriteSealedDword(*Site(), common.get(), kValueMenu, menu);
}

LONG SealedStore::ReadHighestBuild(const CommonRegKey& common, uint32_t* build) const {
  return ReadSealedDword(*Site(), common.get(), kValueHighestBuild, build);
}

LONG SealedStore::WriteHighestBuild(const CommonRegKey& common, uint32_t build) const {
  return WriteSealedDword(*Site(), common.get(), kValueHighestBuild, build);
}

LONG SealedStore::ReadConfigDigest(const CommonRegKey& common, Digest* digest) const {
  return ReadSealedDigest(*Site(), common.get(), kValueConfigDigest, digest);
}

LONG SealedStore::WriteConfigDigest(const CommonRegKey& common, const Digest& digest) const {
  return WriteSealedDigest(*Site(), common.get(), kValueConfigDigest, digest);
}

LONG SealedStore::ReadDefinitionDigest(const CommonRegKey& common, Digest* digest) const {
  return ReadSealedDigest(*Site(), common.get(), kValueDefinitionDigest, digest);
}

LONG SealedStore::WriteDefinitionDigest(const CommonRegKey& common, const Digest& digest) const {
  return WriteSealedDigest(*Site(), common.get(), kValueDefinitionDigest, digest);
}

LONG SealedStore::WritePcKeeperServer(const PcKeeperRegKey& pcKeeper, std::string_view server) const {
  return WriteSealedText(*Site(), pcKeeper.get(), kValueSlot01, server);
}

LONG SealedStore::ReadAgentBuild(const AgentRegKey& agent, uint32_t* build) const {
  return ReadSealedDword(*Site(), agent.get(), kValueAgentBuild, build);
}

LONG SealedStore::WriteAgentBuild(const AgentRegKey& agent, uint32_t build) const {
  return WriteSealedDword(*Site(), agent.get(), kValueAgentBuild, build);
}

LONG SealedStore::ReadConfigChecksum(const AgentRegKey& agent, Digest* checksum) const {
  return ReadSealedDigest(*Site(), agent.get(), kValueConfigChecksum, checksum);
}

LONG SealedStore::WriteConfigChecksum(const AgentRegKey& agent, const Digest& checksum) const {
  return WriteSealedDigest(*Site(), agent.get(), kValueConfigChecksum, checksum);
}

LONG SealedStore::ReadPlainDownload(const AgentRegKey& agent, uint32_t* flag) const {
  return ReadSealedDword(*Site(), agent.get(), kValuePlainDownload, flag);
}

LONG SealedStore::WriteUnsentText(const AgentRegKey& agent, std::u16string_view text) const {
  std::string bytes;
  for (char16_t c : text) bytes += LittleEndian(c, 2);
  bytes += LittleEndian(0, 2);
  return WriteSealedValue(*Site(), agent.get(), kValueUnsentText, bytes);
}

LONG SealedStore::WriteUnsentKind(const AgentRegKey& agent, uint32_t kind) const {
  return WriteSealedValue(*Site(), agent.get(), kValueUnsentKind, LittleEndian(kind, 4));
}

LONG SealedStore::WriteUnsentTime(const AgentRegKey& agent, uint64_t time) const {
  return WriteSealedValue(*Site(), agent.get(), kValueUnsentTime, LittleEndian(time, 8));
}

int SealedStore::SaveConfigFile(std::string_view ansiPath, std::string_view text) const {
  return Base()->SaveEncrypted(ansiPath, text);
}

int SealedStore::LoadConfigFile(std::string_view ansiPath, std::string* text, size_t capacity) const {
  return Base()->LoadEncrypted(ansiPath, text, capacity);
}

}  // namespace qz
