#include "updater/release_stamp.h"

#include <tinyxml2.h>

#include "config/registry_layout.h"
#include "crypto/definition_stamp.h"
#include "platform/platform.h"

namespace qz {

namespace {

using namespace win;

constexpr char16_t kTag[] = u"TarlinUpdater";
constexpr char16_t kFunc[] = u"DownloadAgentModules";

}  // namespace

uint32_t ReadHighestBuild(UpdaterRun& u) {
  CommonRegKey common;
  if (OpenCommonKey(KEY_READ, &common) != ERROR_SUCCESS) return 0;
  uint32_t build = 0;
  if (u.config.store.ReadHighestBuild(common, &build) != ERROR_SUCCESS) build = 0;
  return build;
}

bool RecordHighestBuild(UpdaterRun& u, uint32_t build) {
  if (build <= ReadHighestBuild(u)) return true;
  CommonRegKey common;
  if (OpenCommonKey(KEY_READ | KEY_WRITE, &common) != ERROR_SUCCESS) return false;
  return u.config.store.WriteHighestBuild(common, build) == ERROR_SUCCESS;
}

bool AcceptDefinitionStamp(UpdaterRun& u, const tinyxml2::XMLElement* root) {
  DefinitionStamp stamp;
  switch (ReadDefinitionStamp(root, &stamp)) {
    case StampError::None:
      break;
    case StampError::BadBuild:
      u.logger->Log(kTag, kFunc, kLogFatal, u"Invalid build attribute: %s", root->Attribute(kBuildAttribute));
      u.logger->Log(kTag, kFunc, kLogFatal, u"잘못된 모듈 정의 파일 발견");
      return false;
    case StampError::BadExpiry:
      u.logger->Log(kTag, kFunc, kLogFatal, u"Invalid expires attribute: %s", root->Attribute(kExpiresAttribute));
      u.logger->Log(kTag, kFunc, kLogFatal, u"잘못된 모듈 정의 파일 발견");
      return false;
  }
  // A release held back past its expiry (a frozen or replayed server) is not installed.
  if (stamp.hasExpiry && Time().GetSystemTimeMs() > stamp.expiresMs) {
    u.logger->Log(kTag, kFunc, kLogFatal, u"Definition file expired at %s: refused", stamp.expires);
    return false;
  }
  if (stamp.hasBuild) {
    // An older release, validly signed, would bring back what a later one fixed.
    const uint32_t highest = ReadHighestBuild(u);
    if (stamp.build < highest) {
      u.logger->Log(kTag, kFunc, kLogFatal, u"Definition file of build %u refused: build %u is installed",
                    stamp.build, highest);
      return false;
    }
    u.plan.signedBuild = stamp.build;
  }
  return true;
}

}  // namespace qz
