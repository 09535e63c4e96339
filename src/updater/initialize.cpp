#include "updater/initialize.h"

#include <vector>

#include "config/agent_identity.h"
#include "config/configure.h"
#include "config/registry_layout.h"
#include "crypto/secrets.h"
#include "logging/logger.h"
#include "platform/file_util.h"
#include "platform/platform.h"
#include "protocol/certificates.h"
#include "protocol/server_queries.h"
#include "updater/file_placement.h"

namespace qz {

using namespace win;

namespace {

constexpr char16_t kLogPrefix[] = u"qzUpdater";

int OpenLog(UpdaterContext& u) {
  if (int rc = u.logger->Open(u.workingFolder + u"\\logs", kLogPrefix)) return rc;
  u.logger->SetLogLevel(kLogDebug);
  return 0;
}

void SetUpArchiveReader(UpdaterContext& u) {
  u.archive.SetLogger(u.logger.get());
  u.archive.SetWorkingFolder(u.workingFolder);
}

}  // namespace

bool SetUpServerSession(UpdaterContext& u) {
  AgentQuery& query = TheAgentQuery();
  u.agent.logger = u.logger.get();
  u.agent.query = &query;
  u.agent.signer = &u.signer;
  u.agent.config = &u.config;
  u.agent.certs = &u.certs;
  u.certs.ca.SetCertificateCipher(&u.certCipher);
  u.certs.fileSigning.SetCertificateCipher(&u.certCipher);
  SetHookCertificates(&u.certs);
  if (!query.Initialize(u.logger.get())) return false;
  SetResponseHook(&IsValidCertificate);
  const SiteSettings& s = u.config.settings;
  return SetManagerServer(u.agent, s.server, static_cast<uint32_t>(s.httpPort), static_cast<uint32_t>(s.httpsPort));
}

bool PrepareInstall(UpdaterContext& u) {
  SiteSettings& s = u.config.settings;
  CommonRegKey common;
  if (CreateKeyTree(&common) != 0) return false;
  u.certCipher.SetKeyInput(secrets::CertKeyInput());
  u.setupFolder = Files().ExpandEnvironmentStringsW(kSetupFolderTemplate);

  // The tree was just deleted, so this is the default folder unless another program raced us. No
  // serial is known yet: the site key is still the never-keyed one, so such a value does not open.
  if (!u.config.store.ReadInstallFolder(common, &s.installFolder))
    s.installFolder = DefaultInstallFolder();
  s.installFolderAnsi = WideToAnsi(s.installFolder);
  if (s.installFolder.size() + 1 > MAX_PATH || s.installFolderAnsi.size() + 1 > MAX_PATH) return false;
  if (!CreateFolderPath(s.installFolder)) return false;
  u.workingFolder = s.installFolder;

  if (OpenLog(u) != 0) return false;

  if (!ReadConfigure(u.config, &u.configRecord, common, u.setupFolder, false, false)) return false;
  common.Close();
  GetAgentGUID(u.config);
  u.serverAddress = Ipv4HostOrder(s.server);

  PlaceCertificatesAndDrivers(u);

  if (!Files().SetCurrentDirectoryW(s.installFolder)) return false;
  if (!WriteConfigure(u.config)) return false;

  u.logger->SetLogLevel(kLogInfo);
  if (!SetUpServerSession(u)) return false;
  SetUpArchiveReader(u);
  return true;
}

int Initialize(UpdaterContext& u) {
  if (int rc = ReadSiteSettings(u.config)) return 3000 + rc;
  u.workingFolder = u.config.settings.installFolder;
  if (OpenLog(u) != 0) return 1;
  u.certCipher.SetKeyInput(secrets::CertKeyInput());
  if (!SetUpServerSession(u)) return 1;
  GetAgentGUID(u.config);
  SetUpArchiveReader(u);
  u.bindings.Create(*u.logger);
  return 0;
}

}  // namespace qz
