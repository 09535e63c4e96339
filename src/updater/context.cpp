#include "updater/context.h"

#include "config/registry_layout.h"

namespace qz {

namespace {
std::unique_ptr<UpdaterContext> gUpdater;
}  // namespace

UpdaterContext::UpdaterContext() : logger(std::make_unique<EncLogger>()) { config.logger = logger.get(); }

UpdaterContext& Updater() {
  if (!gUpdater) gUpdater = std::make_unique<UpdaterContext>();
  return *gUpdater;
}

UpdaterContext& NewUpdaterContext() {
  gUpdater = std::make_unique<UpdaterContext>();
  return *gUpdater;
}

SysContext UpdaterContext::Sys() {
  SysContext sys;
  sys.logger = logger.get();
  sys.bindings = command.install ? nullptr : &bindings;
  sys.readInstallFolder = [this](const CommonRegKey& common, std::u16string* folder) {
    return config.store.ReadInstallFolder(common, folder);
  };
  return sys;
}

}  // namespace qz
