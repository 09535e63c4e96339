#include "updater/context.h"

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

}  // namespace qz
