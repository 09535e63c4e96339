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
#include "updater/install_transaction.h"

namespace qz {

using namespace win;

namespace {

constexpr char16_t kLogPrefix[] = u"qzUpdater";

int OpenLog(UpdaterRun& u) {
  if (int rc = u.logger->Open(u.folders().install + u"\\logs", kLogPrefix)) return rc;
  u.logger->SetLogLevel(kLogDebug);
  return 0;
}

}  // namespace

bool SetUpServerSession(UpdaterRun& u) {
  AgentQuery& query = u.query;
  if (!query.Initialize(u.logger.get())) return false;
  BindCertificateCheck(query, u.certs);
  const SiteSettings& s = u.config.settings;
  return SetManagerServer(u.agent, s.server, static_cast<uint32_t>(s.httpPort), static_cast<uint32_t>(s.httpsPort));
}

bool CheckInstallConfig(UpdaterRun& u) {
  const std::u16string setup = Files().ExpandEnvironmentStringsW(kSetupFolderTemplate);
  ConfigContext quiet;
  ConfigRecord record;
  if (Configure::Read(quiet, setup, false, &record)) return true;
  // Read again with the log open, where the install's own log would be, to record why.
  const std::u16string install = DefaultInstallFolder();
  if (CreateFolderPath(install)) {
    u.FixFolders(install, setup);
    if (OpenLog(u) == 0) Configure::Read(u.config, setup, false, &record);
  }
  return false;
}

bool PrepareInstall(UpdaterRun& u) {
  SiteSettings& s = u.config.settings;
  CommonRegKey common;
  if (CreateKeyTree(&common) != 0) return false;
  u.certCipher.SetKeyInput(secrets::CertKeyInput());

  // The tree was just deleted, so this is the default folder unless another program raced us. No
  // serial is known yet: the site key is still the never-keyed one, so such a value does not open.
  if (!u.config.store.ReadInstallFolder(common, &s.installFolder))
    s.installFolder = DefaultInstallFolder();
  s.installFolderAnsi = WideToAnsi(s.installFolder);
  if (s.installFolder.size() + 1 > MAX_PATH || s.installFolderAnsi.size() + 1 > MAX_PATH) return false;
  if (!CreateFolderPath(s.installFolder)) return false;
  u.FixFolders(s.installFolder, Files().ExpandEnvironmentStringsW(kSetupFolderTemplate));

  if (OpenLog(u) != 0) return false;
  // Over an existing agent: an installation it had cut short is settled before anything is placed.
  RecoverInterruptedInstall(u);

  if (!ReadConfigure(u.config, &u.configRecord, common, u.folders().setup, false, false)) return false;
  common.Close();
  GetAgentGUID(u.config);

  PlaceCertificatesAndDrivers(u);

  // Every file is named by its full path; the current directory is for the programs the run starts.
  if (!u.workDirectory.Enter(s.installFolder)) return false;
  if (!WriteConfigure(u.config, s.installFolder)) return false;

  u.logger->SetLogLevel(kLogInfo);
  return SetUpServerSession(u);
}

int Initialize(UpdaterRun& u) {
  if (int rc = ReadSiteSettings(u.config)) return 3000 + rc;
  u.FixFolders(u.config.settings.installFolder);
  if (OpenLog(u) != 0) return 1;
  u.certCipher.SetKeyInput(secrets::CertKeyInput());
  if (!SetUpServerSession(u)) return 1;
  GetAgentGUID(u.config);
  u.bindings.Create(*u.logger);
  return 0;
}

}  // namespace qz
