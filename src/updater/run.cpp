#include "updater/run.h"

#include "config/registry_layout.h"
#include "platform/text.h"

namespace qz {

UpdaterRun::UpdaterRun(const UpdaterCommand& cmd, std::unique_ptr<EncLogger> log)
    : command(cmd), logger(log ? std::move(log) : std::make_unique<EncLogger>()) {
  config.logger = logger.get();
  archive.SetLogger(logger.get());
  certs.ca.SetCertificateCipher(&certCipher);
  certs.fileSigning.SetCertificateCipher(&certCipher);
  agent.logger = logger.get();
  agent.query = &query;
  agent.signer = &signer;
  agent.config = &config;
  agent.certs = &certs;
  agent.restart = command.restart;
  sys.logger = logger.get();
  // Install mode has no agent to call: every remote call then takes the exception path.
  sys.bindings = command.install ? nullptr : &bindings;
  sys.readInstallFolder = [this](const CommonRegKey& common, std::u16string* folder) {
    return config.store.ReadInstallFolder(common, folder);
  };
}

UpdaterRun::~UpdaterRun() { alive.Stop(); }

void UpdaterRun::FixFolders(std::u16string install, std::u16string setup) {
  folders_.module = win::Fmt(u"%s\\%s", install, kModuleFolderName);
  folders_.install = std::move(install);
  folders_.setup = std::move(setup);
}

}  // namespace qz
