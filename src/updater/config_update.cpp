#include "updater/config_update.h"

#include <tinyxml2.h>

#include "config/configure.h"
#include "config/registry_layout.h"
#include "platform/file_util.h"
#include "platform/platform.h"
#include "protocol/response_fields.h"
#include "updater/module_download.h"
#include "updater/workflow_log.h"

namespace qz {

namespace {

using namespace win;


}  // namespace

void ReadServerConfigChecksum(UpdaterRun& u, Digest* checksum) {
  constexpr char16_t kFunc[] = u"ReadServerConfigChecksum";
  checksum->fill(0);
  AgentRegKey agent;
  if (OpenAgentKey(KEY_READ, &agent) != ERROR_SUCCESS) {
    Log(u, kFunc, kLogWarning, u"Fail to open key");
    return;
  }
  if (u.config.store.ReadConfigChecksum(agent, checksum) != ERROR_SUCCESS) {
    checksum->fill(0);
    Log(u, kFunc, kLogWarning, u"Fail to read checksum");
  }
}

void WriteServerConfigChecksum(UpdaterRun& u, const Digest& checksum) {
  constexpr char16_t kFunc[] = u"WriteServerConfigChecksum";
  AgentRegKey agent;
  if (OpenAgentKey(KEY_WRITE, &agent) != ERROR_SUCCESS) {
    Log(u, kFunc, kLogWarning, u"Fail to open key");
    return;
  }
  if (u.config.store.WriteConfigChecksum(agent, checksum) != ERROR_SUCCESS)
    Log(u, kFunc, kLogWarning, u"Fail to write checksum");
}

void UpdateConfigFileAndApply(UpdaterRun& u, const tinyxml2::XMLElement* root) {
  constexpr char16_t kFunc[] = u"UpdateConfigFileAndApply";
  const tinyxml2::XMLElement* config = root->FirstChildElement("config");
  if (!config) return;
  std::u16string name;
  if (!ReadModuleName(config, &name)) {
    Log(u, kFunc, kLogWarning, u"설정 파일 이름을 찾을 수 없음");
    return;
  }
  if (!IsPlainFileName(name)) {
    Log(u, kFunc, kLogWarning, u"Invalid config file name: %s", name);
    return;
  }
  SiteSettings& s = u.config.settings;
  const bool present = PathExists(Fmt(u"%s\\%s", u.folders().install, name));
  Digest recorded{};
  ReadServerConfigChecksum(u, &recorded);
  Digest expected{};
  if (!ReadChecksumAttribute(config, &expected)) {
    Log(u, kFunc, kLogWarning, u"체크섬 정보를 찾을 수 없음");
    return;
  }
  if (present && recorded == expected) return;

  if (DownloadWithRetry(u, name, expected, kConfigAttempts, false) != kModuleReady) {
    Log(u, kFunc, kLogWarning, u"%s: 설정 파일 다운로드 실패", name);
    return;
  }
  // The downloaded file is the plain source form. Unless it is replaced by the stored form below,
  // it must not stay where the installation would put it over the agent's stored server.cfg.
  const std::u16string fetched = Fmt(u"%s\\%s", u.folders().module, name);
  auto discardFetched = [&] { DeleteFileNowOrAtRestart(fetched); };

  CommonRegKey common;
  if (OpenCommonKey(KEY_READ | KEY_WRITE, &common) != ERROR_SUCCESS) {
    Log(u, kFunc, kLogWarning, u"Fail to open common reg key");
    discardFetched();
    return;
  }
  ConfigRecord record;
  if (ReadConfigure(u.config, &record, common, u.folders().module, true, false)) {
    Log(u, kFunc, kLogSystem, u"Updated agent config file");
    // Into the module folder: from there it is installed with the modules, the old one backed up.
    Digest stored{};
    if (!WriteConfigure(u.config, u.folders().module)) {
      Log(u, kFunc, kLogWarning, u"Fail to write agent config file");
      discardFetched();
    } else if (DigestFile(std::u16string_view(Fmt(u"%s\\%s", u.folders().module, kServerConfigName)), &stored)) {
      u.plan.files[FoldCase(std::u16string(kServerConfigName))] = stored;
      // Recorded once it is installed: an update cut short before that fetches it again.
      u.plan.configChecksum = expected;
      common.Close();
      return;
    }
  } else {
    // A refusal can come after the site key of the file's serial was set; the rest of the run
    // seals under the registered one.
    u.config.store.SetSiteSerial(s.serial);
    discardFetched();
  }
  common.Close();
  WriteServerConfigChecksum(u, expected);
}

}  // namespace qz
